'use strict';
// Run by prebuilds.test.js inside the Debian 11 root, by the official Node.js binary of
// the architecture: loads the prebuilt flasher and sudo addons named on the command
// line, writes an xz image compressed in blocks (decoded on several threads) onto a
// file drive that the stand-in lsblk lists, verifies it, and asks the sudo addon about
// two passwords. Prints what it saw as JSON.
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const { sandbox, waitForEnd } = require('./harness');

const [flasherAddon, sudoAddon] = process.argv.slice(2);
const { FlashDrive, inspectImage } = require(flasherAddon);
const { checkPassword } = require(sudoAddon);

async function main() {
  const box = sandbox({ diskSize: 4 << 20, whoami: 'root', sudoPassword: 'stand-in password' });
  try {
    const image = box.image(3 << 20);
    execFileSync('xz', ['--threads=2', '--block-size=1MiB', '--keep', image.file]);
    const drive = new FlashDrive();
    drive.setDrive('fakesd');
    drive.setImage(`${image.file}.xz`);
    drive.setWriteBlock(65536);
    drive.setValidateBlock(65536);
    drive.startWrite();
    const written = await waitForEnd(() => drive.getWriteStats(), 120000);
    drive.startValidate();
    const verified = await waitForEnd(() => drive.getValidateStats(), 120000);
    console.log(JSON.stringify({
      inspected: inspectImage(`${image.file}.xz`),
      written: { completed: written.completed, errque: written.errque },
      verified: { completed: verified.completed, errque: verified.errque, numwriteerrs: verified.numwriteerrs },
      driveHoldsImage: fs.readFileSync(box.drivePath).subarray(0, image.bytes.length).equals(image.bytes),
      passwords: [checkPassword('stand-in password'), checkPassword('wrong')],
    }));
  } finally {
    box.cleanup();
  }
}

main();
