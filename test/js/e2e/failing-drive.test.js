'use strict';
// Write jobs on drives that fail, played by the fault device: a failing range leaves
// every other block in its place, a pulled drive ends the job at once, a cancel on a
// slow drive takes effect after the request in progress, a failed flush leaves the data
// incomplete. The job report says which.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const h = require('./e2e-helpers.js');
const { whyNoFaultDevice, openFaultDevice, flashOntoFaultDevice } = require('./fault-device.js');

const MiB = 1024 * 1024;
const block = MiB;
const skip = whyNoFaultDevice() || false;
if (skip) console.log(`# failing drive tests skipped: ${skip}`);

async function flashOnto(t, faults, imageSize) {
  const undo = new h.Undo();
  t.after(() => undo.runAll());
  return flashOntoFaultDevice(undo, faults, imageSize);
}

const report = (flash) => JSON.parse(flash.getWriteReport());

test('a failing range costs its own block only, and the verification counts exactly its bytes', { skip, timeout: 60000 }, async (t) => {
  const failing = [3 * MiB + 8192, 3 * MiB + 12288];
  const { fault, bytes, flash } = await flashOnto(t, { size: 8 * MiB, failWrite: [failing] }, 6 * MiB);
  flash.setFirstBlockLast(false);  // a failed write leaves what came before in place, the first MiB too
  const written = await h.writeAndWait(flash, block);
  assert.match(written.errque, /^failed to write block #3 with -?\d+\/1048576 bytes$/);
  const { errors, dataComplete } = report(flash);
  assert.deepStrictEqual(errors.map((e) => [e.phase, e.code, e.offset]), [['data', 'EIO', 3 * MiB]]);
  assert.strictEqual(dataComplete, false);

  const kept = fs.readFileSync(fault.backingFile);
  let differing = 0;
  for (let i = 0; i < bytes.length; i += 1) if (kept[i] !== bytes[i]) differing += 1;
  assert.ok(kept.subarray(0, 3 * MiB).equals(bytes.subarray(0, 3 * MiB)), 'the blocks before are in place');
  assert.ok(kept.subarray(4 * MiB, 6 * MiB).equals(bytes.subarray(4 * MiB)), 'the blocks after are in place, not shifted');
  assert.ok(differing >= failing[1] - failing[0] - 16, 'the failing range holds none of the image');
  const checked = await h.validateAndWait(flash, block);
  assert.strictEqual(checked.numwriteerrs, differing);
});

test('a drive whose cache flush fails has not received the data', { skip, timeout: 60000 }, async (t) => {
  const { flash } = await flashOnto(t, { size: 8 * MiB, failFlush: 'EIO' }, 2 * MiB);
  flash.setWriteMode('direct');
  const written = await h.writeAndWait(flash, block);
  assert.strictEqual(written.errque, 'failed to flush the drive: Input/output error');
  const { errors, dataComplete } = report(flash);
  assert.deepStrictEqual(errors.map((e) => [e.phase, e.reason, e.code]), [['data', 'EWRITE', 'EIO']]);
  assert.strictEqual(dataComplete, false);
});

for (const pullErrno of ['ENODEV', 'EIO']) {
  test(`a drive pulled out mid-write (${pullErrno}) ends the job at once with one message`, { skip, timeout: 60000 }, async (t) => {
    const { flash } = await flashOnto(t, { size: 64 * MiB, pullAfter: 8 * MiB, pullErrno }, 48 * MiB);
    const stats = await h.writeAndWait(flash, block);
    assert.strictEqual(stats.errque, 'drive was removed during the job');
    const { errors } = report(flash);
    assert.strictEqual(errors.at(-1).message, 'drive was removed during the job');
    assert.ok(errors.length <= 8, `no error per remaining block: ${errors.length}`);
  });
}

test('a drive pulled by a signal ends the job within a second', { skip, timeout: 60000 }, async (t) => {
  const { fault, flash } = await flashOnto(t, { size: 64 * MiB, rate: 20e6, pullErrno: 'ENODEV' }, 48 * MiB);
  flash.setWriteBlock(block);
  flash.startWrite();
  await h.sleep(300);
  fault.pull();
  const pulledAt = Date.now();
  for (;;) {
    const stats = JSON.parse(flash.getWriteStats());
    if (stats.duration > 0) break;
    assert.ok(Date.now() - pulledAt < 1000, 'the job went on for a second after the pull');
    await h.sleep(10);
  }
  await h.writeThreadEnded(flash, block);
  assert.strictEqual(JSON.parse(flash.getWriteStats()).errque, 'drive was removed during the job');
});

test('a cancel on a slow drive takes effect after the request in progress', { skip, timeout: 60000 }, async (t) => {
  // Each request waits 150 ms: the first block is still being written when the cancel comes.
  const { fault, bytes, flash } = await flashOnto(t, { size: 16 * MiB, delayUs: 150000 }, 8 * MiB);
  flash.setWriteBlock(block);
  flash.setFirstBlockLast(false);  // the block in progress is the image's first
  flash.startWrite();
  const inflight = `/sys/block/${path.basename(fault.loopDevice)}/inflight`;
  const writesInFlight = () => Number(fs.readFileSync(inflight, 'utf8').trim().split(/\s+/)[1]);
  while (writesInFlight() === 0) await h.sleep(5);
  flash.cancelWrite();
  await h.writeThreadEnded(flash, block);
  assert.strictEqual(JSON.parse(flash.getWriteStats()).completed, 0);
  const kept = fs.readFileSync(fault.backingFile);
  assert.ok(kept.subarray(0, block).equals(bytes.subarray(0, block)), 'the block in progress was finished');
  assert.ok(kept.subarray(block).equals(Buffer.alloc(kept.length - block)), 'nothing after it');
});

test('three drives at once, one pulled out mid-write: the other two finish and verify', { skip, timeout: 120000 }, async (t) => {
  const undo = new h.Undo();
  t.after(() => undo.runAll());
  const faults = [{ size: 32 * MiB }, { size: 32 * MiB, pullAfter: 4 * MiB, pullErrno: 'ENODEV' }, { size: 32 * MiB }];
  const drives = [];
  for (const options of faults) drives.push(await openFaultDevice(undo, options));
  h.listAsRemovable(undo, drives.map((d) => d.loopDevice));
  const image = path.join(h.tempDir(undo), 'image.bin');
  h.randomFile(image, 16 * MiB);
  const { flash } = require('../../../index.js');
  const { results } = await flash({ image, drives: drives.map((d) => d.loopDevice), blockSize: block });
  assert.deepEqual(results.map((r) => r.status), ['ok', 'failed', 'ok']);
  assert.equal(results[1].error.message, 'drive was removed during the job');
  assert.equal(results[1].error.code, 'EREMOVED');
  for (const i of [0, 2]) assert.deepEqual(results[i].verify.differingBytes, 0);
});
