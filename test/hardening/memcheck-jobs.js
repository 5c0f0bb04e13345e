'use strict';
// Runs N rounds (argument, default 20) of one write and one validation on a drive that
// is a file of a sandbox, listed by the stand-in lsblk. Each round also takes the
// refusals a running job causes, so their error objects are made and dropped too.
// scripts/hardening.sh runs it under valgrind memcheck, once with 2 rounds and once
// with 20, and compares what leaked.
const assert = require('node:assert');
const { sandbox, waitForEnd } = require('../js/harness.js');
const { FlashDrive } = require('../../index.js');

const rounds = Number(process.argv[2] || 20);
const block = 4096;

function refusedWhileRunning(call) {
  assert.throws(call, { name: 'Error', message: 'a job is running on this device' });
}

// The statistics show a job's end a moment before its thread lets go of the device;
// a setting is accepted again once it has.
async function untilJobsEnded(drive, imageFile) {
  for (let tries = 0; ; tries += 1) {
    try {
      drive.setImage(imageFile);
      return;
    } catch (err) {
      if (tries > 600) throw err;
      await new Promise((resolve) => setTimeout(resolve, 20));
    }
  }
}

async function main() {
  const box = sandbox({ sudoPassword: 'pw' });
  try {
    // Not a whole number of blocks, so the padded last block is written too.
    const image = box.image(20 * block + 123);
    const drive = new FlashDrive();
    drive.setDrive('fakesd');
    drive.setImage(image.file);
    drive.setPassword('pw');
    drive.setWriteBlock(block);
    drive.setValidateBlock(block);

    for (let i = 0; i < rounds; i += 1) {
      drive.startWrite();
      // Queued behind the write: it starts when the write's thread has ended.
      drive.startValidate();
      refusedWhileRunning(() => drive.startWrite());
      refusedWhileRunning(() => drive.setImage(image.file));
      const written = await waitForEnd(() => drive.getWriteStats(), 120000);
      const validated = await waitForEnd(() => drive.getValidateStats(), 120000);
      assert.strictEqual(written.completed, 100, JSON.stringify(written));
      assert.strictEqual(written.errque, '', JSON.stringify(written));
      assert.strictEqual(validated.completed, 100, JSON.stringify(validated));
      assert.strictEqual(validated.numwriteerrs, 0, `round ${i}: ${JSON.stringify(validated)}`);
      assert.strictEqual(validated.errque, '', JSON.stringify(validated));
      await untilJobsEnded(drive, image.file);
    }
    console.log(`memcheck-jobs: ${rounds} rounds of write and validation passed`);
  } finally {
    box.cleanup();
  }
}

main().catch((err) => {
  console.error(err);
  process.exitCode = 1;
});
