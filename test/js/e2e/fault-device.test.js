'use strict';
// The fault device itself: each fault shows on the loop device as the tests expect.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const crypto = require('node:crypto');
const { spawnSync } = require('node:child_process');
const h = require('./e2e-helpers.js');
const { whyNoFaultDevice, openFaultDevice } = require('./fault-device.js');

const KiB = 1024;
const MiB = 1024 * KiB;
const skip = whyNoFaultDevice() || false;
if (skip) console.log(`# fault device tests skipped: ${skip}`);

// Direct reads and writes of whole 4 KiB sectors, past the loop device's page cache.
function dd(device, { at, read, data }) {
  const args = read
    ? [`if=${device}`, 'bs=4096', `skip=${at / 4096}`, `count=${read / 4096}`, 'iflag=direct']
    : [`of=${device}`, 'bs=64k', `seek=${at}`, 'oflag=direct,seek_bytes', 'iflag=fullblock'];
  const result = spawnSync('dd', args, { input: data, timeout: 30000 });
  return { ok: result.status === 0, bytes: result.stdout, said: result.stderr.toString() };
}

const sector = () => crypto.randomBytes(4096);
const zeros = Buffer.alloc(4096);

const cases = [
  ['a failing read range', { size: 4 * MiB, failRead: [[MiB, MiB + 4096]] }, (dev) => {
    assert.match(dd(dev, { at: MiB, read: 4096 }).said, /Input\/output error/);
    assert.ok(dd(dev, { at: MiB - 4096, read: 4096 }).ok, 'the sector before it reads');
    assert.ok(dd(dev, { at: MiB, data: sector() }).ok, 'writes there succeed');
  }],
  ['a failing write range', { size: 4 * MiB, failWrite: [[MiB, MiB + 4096]] }, (dev) => {
    assert.match(dd(dev, { at: MiB, data: sector() }).said, /Input\/output error/);
    assert.ok(dd(dev, { at: MiB + 4096, data: sector() }).ok, 'the sector after it takes writes');
    assert.ok(dd(dev, { at: MiB, read: 4096 }).ok, 'reads there succeed');
  }],
  ['a drive pulled out after 256 KiB written', { size: 4 * MiB, pullAfter: 256 * KiB }, (dev, fault) => {
    const data = crypto.randomBytes(512 * KiB);
    assert.match(dd(dev, { at: 0, data }).said, /Input\/output error[^]*262144 bytes/);
    assert.ok(!dd(dev, { at: 0, read: 4096 }).ok, 'reads fail once pulled');
    assert.ok(fs.readFileSync(fault.backingFile).subarray(0, 256 * KiB).equals(data.subarray(0, 256 * KiB)));
  }],
  ['a drive pulled out by a signal', { size: 4 * MiB }, (dev, fault) => {
    assert.ok(dd(dev, { at: 0, read: 4096 }).ok);
    fault.pull();
    assert.match(dd(dev, { at: 0, read: 4096 }).said, /Input\/output error/);
  }],
  ['a counterfeit drive that wraps', { size: 4 * MiB, keep: MiB }, (dev, fault) => {
    const data = sector();
    assert.ok(dd(dev, { at: 3 * MiB + 8192, data }).ok);
    assert.ok(dd(dev, { at: 8192, read: 4096 }).bytes.equals(data), 'it lands at offset mod 1 MiB');
    assert.strictEqual(fs.statSync(fault.backingFile).size, MiB);
  }],
  ['a counterfeit drive that drops', { size: 4 * MiB, keep: MiB, pastKeep: 'drop' }, (dev, fault) => {
    assert.ok(dd(dev, { at: 3 * MiB + 8192, data: sector() }).ok, 'the write seems to succeed');
    assert.ok(dd(dev, { at: 3 * MiB + 8192, read: 4096 }).bytes.equals(zeros), 'it reads back zeros');
    assert.ok(fs.readFileSync(fault.backingFile).equals(Buffer.alloc(MiB)), 'nothing was kept');
  }],
];

for (const [name, options, check] of cases) {
  test(`fault device: ${name}`, { skip, timeout: 60000 }, async (t) => {
    const undo = new h.Undo();
    t.after(() => undo.runAll());
    const fault = await openFaultDevice(undo, options);
    check(fault.loopDevice, fault);
  });
}
