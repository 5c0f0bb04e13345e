'use strict';
// The capacity check on the fault device: a counterfeit drive is refused before the
// first image byte, a genuine one is written with no signature left past the image.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const h = require('./e2e-helpers.js');
const { whyNoFaultDevice, flashOntoFaultDevice } = require('./fault-device.js');

const KiB = 1024;
const MiB = 1024 * KiB;
const skip = whyNoFaultDevice() || false;
if (skip) console.log(`# capacity check tests skipped: ${skip}`);

async function flashOnto(undo, faults, imageSize) {
  const job = await flashOntoFaultDevice(undo, faults, imageSize);
  job.flash.setCapacityCheck(true);
  return job;
}

const blocksOf = (bytes) => Array.from({ length: bytes.length / (4 * KiB) }, (_, i) => h.sha256(bytes.subarray(i * 4 * KiB, (i + 1) * 4 * KiB)));

for (const pastKeep of ['wrap', 'drop']) {
  test(`a counterfeit drive that ${pastKeep}s past 16 of 64 MiB gets no image byte`, { skip, timeout: 60000 }, async (t) => {
    const undo = new h.Undo();
    t.after(() => undo.runAll());
    const { fault, bytes, flash } = await flashOnto(undo, { size: 64 * MiB, keep: 16 * MiB, pastKeep }, 8 * MiB);
    const stats = await h.writeAndWait(flash, 64 * KiB);
    assert.strictEqual(stats.errque, `drive holds fewer bytes than it reports (about ${16 * MiB} bytes usable)`);
    const imageBlocks = new Set(blocksOf(bytes));
    assert.ok(!blocksOf(fs.readFileSync(fault.backingFile)).some((b) => imageBlocks.has(b)), 'no 4 KiB block of the image reached the drive');
  });
}

test('a genuine 20 MB/s drive passes the check and keeps no signature past the image', { skip, timeout: 60000 }, async (t) => {
  const undo = new h.Undo();
  t.after(() => undo.runAll());
  const { fault, bytes, flash } = await flashOnto(undo, { size: 64 * MiB, rate: 20e6 }, 256 * KiB + 100);
  const checked = await h.writeAndWait(flash, 64 * KiB);
  assert.strictEqual(checked.errque, '');
  const kept = fs.readFileSync(fault.backingFile);
  assert.ok(kept.subarray(0, bytes.length).equals(bytes), 'the image is on the drive');
  assert.ok(kept.subarray(bytes.length + 64 * KiB).equals(Buffer.alloc(kept.length - bytes.length - 64 * KiB)), 'zeros past the image');

  flash.setCapacityCheck(false);
  const unchecked = await h.writeAndWait(flash, 64 * KiB);
  t.diagnostic(`capacity check on a 20 MB/s drive: ${checked.duration - unchecked.duration} ms (job ${checked.duration} ms with it, ${unchecked.duration} ms without)`);
});
