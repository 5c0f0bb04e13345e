'use strict';
// Run by prebuilds.test.js inside the Debian 11 root, with the official Node.js binary
// of the architecture: loads the prebuilt flasher and sudo addons named on the command
// line, writes an xz image (compressed in blocks, so liblzma decodes on several
// threads) onto a file drive listed by the stand-in lsblk, verifies it, and asks the
// sudo addon about passwords. Prints what it saw as one line of JSON.
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const { sandbox, waitForEnd } = require('./harness');

const MiB = 1024 * 1024;
const [flasherAddon, sudoAddon] = process.argv.slice(2);
const { FlashDrive, inspectImage } = require(flasherAddon);
const { checkPassword } = require(sudoAddon);

async function main() {
  const box = sandbox({ diskSize: 4 * MiB, whoami: 'root', sudoPassword: 'stand-in password' });
  try {
    const image = box.image(3 * MiB);
    execFileSync('xz', ['--threads=2', '--block-size=1MiB', '--keep', image.file]);
    const compressed = `${image.file}.xz`;

    const drive = new FlashDrive();
    drive.setDrive('fakesd');
    drive.setImage(compressed);
    drive.setWriteBlock(64 * 1024);
    drive.setValidateBlock(64 * 1024);
    drive.startWrite();
    const written = await waitForEnd(() => drive.getWriteStats(), 120000);
    drive.startValidate();
    const verified = await waitForEnd(() => drive.getValidateStats(), 120000);
    const onDrive = fs.readFileSync(box.drivePath).subarray(0, image.bytes.length);
    process.stdout.write(`${JSON.stringify({
      inspected: inspectImage(compressed),
      written: { completed: written.completed, errque: written.errque },
      verified: { completed: verified.completed, errque: verified.errque, numwriteerrs: verified.numwriteerrs },
      driveHoldsImage: onDrive.equals(image.bytes),
      passwords: [checkPassword('stand-in password'), checkPassword('wrong')],
    })}\n`);
  } finally {
    box.cleanup();
  }
}

main().catch((err) => {
  process.stderr.write(`${err.stack}\n`);
  process.exitCode = 1;
});
