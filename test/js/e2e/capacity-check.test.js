'use strict';
// The capacity check on the fault device: a counterfeit drive is refused before the
// first image byte, a genuine one is written; either keeps its contents wherever the
// image does not write.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const h = require('./e2e-helpers.js');
const { whyNoFaultDevice, flashOntoFaultDevice, fillWithPattern } = require('./fault-device.js');

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

// A drive that drops writes past any size, and one that wraps at a power of two.
for (const [pastKeep, keep, where] of [['drop', 40 * MiB + 512, '40 MiB + 512 B'], ['wrap', 16 * MiB, '16 MiB']]) {
  test(`a counterfeit drive that ${pastKeep}s past ${where} of 64 MiB gets no image byte and keeps its contents`, { skip, timeout: 60000 }, async (t) => {
    const undo = new h.Undo();
    t.after(() => undo.runAll());
    const { fault, bytes, flash } = await flashOnto(undo, { size: 64 * MiB, keep, pastKeep }, 8 * MiB);
    const before = fillWithPattern(fault);
    const stats = await h.writeAndWait(flash, 64 * KiB);
    assert.match(stats.errque, /^drive holds fewer bytes than it reports \(about \d+ bytes usable\)$/);
    const usable = Number(/about (\d+)/.exec(stats.errque)[1]);
    assert.ok(usable >= keep - 4 * MiB && usable <= keep + 4 * KiB, `${usable} bytes estimated of ${keep}`);
    const imageBlocks = new Set(blocksOf(bytes));
    const after = fs.readFileSync(fault.loopDevice);
    assert.ok(!blocksOf(after).some((b) => imageBlocks.has(b)), 'no 4 KiB block of the image reached the drive');
    assert.ok(after.subarray(0, keep).equals(before.subarray(0, keep)), 'the bytes it keeps are as they were');
  });
}

test('a genuine 20 MB/s drive passes the check and is left as it was where the image does not write', { skip, timeout: 60000 }, async (t) => {
  const undo = new h.Undo();
  t.after(() => undo.runAll());
  const { fault, bytes, flash } = await flashOnto(undo, { size: 64 * MiB, rate: 20e6 }, 256 * KiB + 100);
  const before = fillWithPattern(fault);
  const checked = await h.writeAndWait(flash, 64 * KiB);
  assert.strictEqual(checked.errque, '');
  const kept = fs.readFileSync(fault.backingFile);
  assert.ok(kept.subarray(0, bytes.length).equals(bytes), 'the image is on the drive');
  assert.ok(kept.subarray(bytes.length + 64 * KiB).equals(before.subarray(bytes.length + 64 * KiB)), 'as it was past the image');

  flash.setCapacityCheck(false);
  const unchecked = await h.writeAndWait(flash, 64 * KiB);
  t.diagnostic(`capacity check on a 20 MB/s drive: ${checked.duration - unchecked.duration} ms (job ${checked.duration} ms with it, ${unchecked.duration} ms without)`);
});

test('a block-mapped image leaves the drive as it was in the ranges it does not map', { skip, timeout: 60000 }, async (t) => {
  const undo = new h.Undo();
  t.after(() => undo.runAll());
  const { fault, bytes, flash } = await flashOnto(undo, { size: 64 * MiB }, 8 * MiB);
  const before = fillWithPattern(fault);
  const mapped = [[0, 2 * MiB], [5 * MiB, 6 * MiB]];
  flash.setBlockMap(h.blockMapFile(h.tempDir(undo), bytes, mapped));
  const stats = await h.writeAndWait(flash, 64 * KiB);
  assert.strictEqual(stats.errque, '');
  const expected = Buffer.from(before);
  for (const [start, end] of mapped) bytes.copy(expected, start, start, end);
  assert.ok(fs.readFileSync(fault.backingFile).equals(expected), 'mapped ranges written, every other byte as it was');
});
