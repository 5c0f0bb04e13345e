'use strict';
// The repair after the verification on the fault device: writes lost once are written
// again and the drive verifies; writes lost always fail with EVERIFY and the ranges; a
// counterfeit that wraps, with no capacity check before, fails with ECAPACITY.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const h = require('./e2e-helpers.js');
const { whyNoFaultDevice, openFaultDevice } = require('./fault-device.js');

const KiB = 1024;
const MiB = 1024 * KiB;
const skip = whyNoFaultDevice() || false;
if (skip) console.log(`# repair tests skipped: ${skip}`);

// flash() onto one fault device with `faults`, an image of `imageSize` random bytes and
// no capacity check; resolves with the result or the error.
async function flashOnto(t, faults, imageSize, options = {}) {
  const undo = new h.Undo();
  t.after(() => undo.runAll());
  const fault = await openFaultDevice(undo, faults);
  h.listAsRemovable(undo, fault.loopDevice);
  const image = path.join(h.tempDir(undo), 'image.bin');
  h.randomFile(image, imageSize);
  const { flash } = require('../../../index.js');
  return flash({ image, drive: fault.loopDevice, blockSize: MiB, capacityCheck: false, ...options }).catch((err) => err);
}

const lost = { offset: MiB, length: 64 * KiB };

test('writes lost on the first try are written again and the drive verifies', { skip, timeout: 60000 }, async (t) => {
  const result = await flashOnto(t, { size: 32 * MiB, loseOnce: [[lost.offset, lost.offset + lost.length]] }, 8 * MiB);
  assert.equal(result.verify.differingBytes, 0);
  assert.equal(result.steps.repair.status, 'done');
  assert.ok(result.steps.repair.firstPassDifferingBytes > 60 * KiB, `${result.steps.repair.firstPassDifferingBytes}`);
  assert.deepEqual(result.steps.repair.ranges, [lost]);
  assert.deepEqual(result.steps.repair.passes.map((p) => p.ranges), [[lost], []]);
});

test('writes lost every time fail with EVERIFY and the ranges that still differ', { skip, timeout: 60000 }, async (t) => {
  const err = await flashOnto(t, { size: 32 * MiB, lose: [[lost.offset, lost.offset + lost.length]] }, 8 * MiB);
  assert.equal(err.code, 'EVERIFY', err.message);
  assert.match(err.message, /bytes differ between the drive and the image after 2 repairs$/);
  assert.deepEqual(err.ranges, [lost]);
  assert.equal(err.report.steps.repair.passes.length, 3);
});

test('a counterfeit that wraps past 16 MiB, unchecked before the write, fails with ECAPACITY', { skip, timeout: 60000 }, async (t) => {
  // In the image's order: the first MiB written last would overwrite what wrapped onto it.
  const err = await flashOnto(t, { size: 64 * MiB, keep: 16 * MiB, pastKeep: 'wrap' }, 24 * MiB, { firstBlockLast: false });
  assert.equal(err.code, 'ECAPACITY', err.message);
  assert.equal(err.message, `drive holds fewer bytes than it reports (about ${16 * MiB} bytes usable)`);
});
