'use strict';
// What the FlashDrive tests share beyond the harness: exact error checks, a drive with
// a mounted partition (so a job calls udisksctl and can be held there), and waiting
// for a job's thread to end.
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const { disk, sandbox } = require('./harness.js');

const FRESH_STATS =
  '{"completed":0.000000,"eta":0.000000,"duration":0,"speed":0.000000,"speedmin":0.000000,' +
  '"speedmax":0.000000,"speedavg":0.000000,"avgblocks":400,"numwriteerrs":0,"numerrs":0,"errque":""}';

const JOB_RUNNING = 'a job is running on this device';

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Native failures arrive as plain Errors, argument failures as TypeErrors; the
// message must match exactly, with nothing added, and the engine's code where given.
function throwsExactly(kind, fn, message, code) {
  assert.throws(fn, (err) => {
    assert.strictEqual(Object.getPrototypeOf(err), kind.prototype, `expected a ${kind.name}, got ${err && err.stack}`);
    assert.strictEqual(err.message, message);
    if (code !== undefined) assert.strictEqual(err.code, code, message);
    return true;
  });
}
const throwsError = (fn, message, code) => throwsExactly(Error, fn, message, code);
const throwsTypeError = (fn, message) => throwsExactly(TypeError, fn, message);

// Polls `condition` until it returns a truthy value, which is returned.
async function until(what, condition, limitMs = 30000) {
  const started = Date.now();
  for (;;) {
    const value = condition();
    if (value) return value;
    if (Date.now() - started > limitMs) throw new Error(`timed out waiting for ${what}`);
    await sleep(10);
  }
}

// A job counts as running until its thread has ended (end pause included); the block
// size setter of the same job kind is refused until then, so a call that stores the
// value already set tells when the thread is gone.
async function jobThreadEnded(storeSameBlockSize) {
  await until('the job thread to end', () => {
    try {
      storeSameBlockSize();
      return true;
    } catch (err) {
      if (err.message !== JOB_RUNNING) throw err;
      return false;
    }
  });
}

// Lists the sandbox drive with one mounted partition: every job then runs
// "udisksctl unmount" for it, where the stand-in can hold the job.
function listMounted(box, { size, sector = 512, file = box.drivePath, name = 'fakesd' } = {}) {
  const part = {
    name: `${name}1`, path: `${file}-part1`, type: 'part', size: Math.floor(size / 2), model: null, vendor: null,
    'phy-sec': sector, 'log-sec': sector, rm: true, hotplug: true, label: 'STICK', fstype: 'vfat', uuid: null,
    ptuuid: null, parttype: null, partlabel: null, mountpoint: '/media/stand-in',
  };
  box.list([disk({ name, file, size, sector, children: [part] })]);
}

// While the returned hold is not released, every udisksctl call of a job waits.
function holdUnmount(box) {
  const file = path.join(box.dir, 'udisksctl.hold');
  fs.writeFileSync(file, '');
  process.env.FAKE_UDISKSCTL_HOLD = file;
  return { release: () => fs.rmSync(file, { force: true }) };
}

// A sandbox for tests that run jobs. A job thread outlives a failed assertion; were the
// sandbox removed under it, its end steps would run the machine's own tools. So the
// teardown first runs the `unblock` steps (releasing holds), then waits until no job of
// a watched FlashDrive runs (setting a block size is refused until then), and only then
// removes the sandbox.
function jobSandbox(t, options) {
  const box = sandbox(options);
  const watched = [];
  const unblock = [];
  t.after(async () => {
    try {
      for (const step of unblock) step();
      for (const fd of watched) {
        await jobThreadEnded(() => fd.setWriteBlock(0));
        await jobThreadEnded(() => fd.setValidateBlock(0));
      }
    } finally {
      box.cleanup();
    }
  });
  box.watch = (fd) => {
    watched.push(fd);
    return fd;
  };
  box.onTeardown = (step) => unblock.push(step);
  box.hold = () => {
    const hold = holdUnmount(box);
    unblock.push(hold.release);
    return hold;
  };
  return box;
}

const countCalls = (box, prefix) => box.calls().filter((line) => line.startsWith(prefix)).length;

// Waits until the tool log holds `count` lines starting with `prefix`.
async function callsLogged(box, prefix, count) {
  await until(`${count} "${prefix}" calls`, () => countCalls(box, prefix) >= count);
}

// Fills the drive file with a byte that neither the image nor the zero fill holds.
function fillDrive(box, size, byte = 0xa5) {
  fs.writeFileSync(box.drivePath, Buffer.alloc(size, byte));
}

module.exports = {
  FRESH_STATS, JOB_RUNNING, sleep, throwsError, throwsTypeError, until, jobThreadEnded, listMounted,
  jobSandbox, countCalls, callsLogged, fillDrive,
};
