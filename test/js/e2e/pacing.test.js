'use strict';
// A group write paces each drive on its own: of three fault drives at 40, 40 and
// 10 MB/s, the fast two finish their data before the slow one has written half of its
// own, and all three hold the image. The time ratios are the benchmark's (pacing part).
// Drives whose pace changes mid-write each still hold the image without a verification.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const h = require('./e2e-helpers.js');
const { whyNoFaultDevice, openFaultDevice } = require('./fault-device.js');

const MiB = 1024 * 1024;
const IMAGE = 64 * MiB;
const skip = whyNoFaultDevice() || false;
if (skip) console.log(`# pacing test skipped: ${skip}`);

test('a drive four times slower does not hold back the others', { skip, timeout: 120000 }, async (t) => {
  const { flash } = require('../../../index.js');
  const undo = new h.Undo();
  t.after(() => undo.runAll());
  const faults = [];
  for (const rate of [40e6, 40e6, 10e6]) faults.push(await openFaultDevice(undo, { size: IMAGE + 8 * MiB, rate }));
  const [fastA, fastB, slow] = faults.map((f) => f.loopDevice);
  h.listAsRemovable(undo, [fastA, fastB, slow]);
  const image = path.join(h.tempDir(undo), 'image.bin');
  const bytes = h.randomFile(image, IMAGE);

  const written = new Map();
  const slowBytesWhenFastDone = [];
  const { results } = await flash({
    image,
    drives: [fastA, fastB, slow],
    blockSize: MiB,
    verify: false,
    capacityCheck: false,
    writeMode: 'direct',
    onProgress: ({ drive, bytes: done, total }) => {
      const before = written.get(drive.path) || 0;
      written.set(drive.path, done);
      if (drive.path !== slow && done === total && before < total) slowBytesWhenFastDone.push(written.get(slow) || 0);
    },
  });

  assert.deepStrictEqual(results.map((r) => r.status), ['ok', 'ok', 'ok'], JSON.stringify(results.map((r) => r.error)));
  assert.strictEqual(slowBytesWhenFastDone.length, 2, 'both fast drives reported the end of their data');
  for (const slowBytes of slowBytesWhenFastDone) {
    assert.ok(slowBytes < IMAGE / 2, `the slow drive had written ${slowBytes} of ${IMAGE} bytes`);
  }
  for (const fault of faults) {
    assert.ok(h.readBytes(fault.backingFile, 0, IMAGE).equals(bytes), `${fault.loopDevice} holds the image`);
  }
});

// A drive slow at first goes on from the spool file and, fast then, passes one still on
// the ring, which slows down later and moves to the spool file too: the chunks between
// them must still be there for it, though nothing verifies the drives.
test('drives whose pace changes mid-write each hold the image byte for byte', { skip, timeout: 60000 }, async (t) => {
  const { flash } = require('../../../index.js');
  const undo = new h.Undo();
  t.after(() => undo.runAll());
  const size = 24 * MiB;
  const paces = { steady: { rate: 12e6 }, slowThenFast: { rate: 1e6, rateAfter: [MiB, 0] }, fastThenSlow: { rate: 12e6, rateAfter: [14 * MiB, 3e6] } };
  const faults = [];
  for (const pace of Object.values(paces)) faults.push(await openFaultDevice(undo, { size: size + 8 * MiB, ...pace }));
  const drives = faults.map((f) => f.loopDevice);
  h.listAsRemovable(undo, drives);
  const image = path.join(h.tempDir(undo), 'image.bin');
  const bytes = h.randomFile(image, size);

  const { results } = await flash({ image, drives, blockSize: 256 * 1024, verify: false, capacityCheck: false, writeMode: 'direct' });

  assert.deepStrictEqual(results.map((r) => r.status), ['ok', 'ok', 'ok'], JSON.stringify(results.map((r) => r.error)));
  for (const fault of faults) {
    assert.ok(h.readBytes(fault.backingFile, 0, size).equals(bytes), `${fault.loopDevice} holds the image`);
  }
});
