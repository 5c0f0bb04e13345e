'use strict';
// Run by a user who is not root: probes a wrong and a right password, then writes and
// validates the image through sudo, prints "writing" once the write moves bytes, and
// at the end what it saw as one JSON text.
// Usage: node sudo-user-program.js PACKAGE_DIR SETTINGS_JSON
const { FlashDrive, checkPassword } = require(process.argv[2]);
const { device, image, password, wrong, blockSize } = JSON.parse(process.argv[3]);

async function ended(getStats) {
  for (;;) {
    const stats = JSON.parse(getStats());
    if (stats.completed === 100 || stats.duration > 0) return stats;
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
}

async function main() {
  const seen = { checkWrong: checkPassword(wrong), checkRight: checkPassword(password) };
  const flash = new FlashDrive();
  try {
    flash.setPassword(wrong);
    seen.setWrong = 'accepted';
  } catch (err) {
    seen.setWrong = err.message;
  }
  flash.setPassword(password);
  flash.setDrive(device);
  flash.setImage(image);
  flash.setWriteBlock(blockSize);
  flash.setValidateBlock(blockSize);
  flash.startWrite();
  while (flash.getProgress().write.bytes === 0 && JSON.parse(flash.getWriteStats()).duration === 0) {
    await new Promise((resolve) => setTimeout(resolve, 5));
  }
  process.stdout.write('writing\n');
  seen.write = await ended(() => flash.getWriteStats());
  // The validation waits for the write thread's end, permission restore included.
  flash.startValidate();
  seen.validate = await ended(() => flash.getValidateStats());
  // The node's access list comes back after the validation has closed its statistics,
  // before its thread ends.
  for (;;) {
    try {
      flash.setValidateBlock(blockSize);
      break;
    } catch (err) {
      if (err.message !== 'a job is running on this device') throw err;
      await new Promise((resolve) => setTimeout(resolve, 20));
    }
  }
  process.stdout.write(JSON.stringify(seen));
}

main().catch((err) => {
  process.stderr.write(`${err.stack}\n`);
  process.exitCode = 1;
});
