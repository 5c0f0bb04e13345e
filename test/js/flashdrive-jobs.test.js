'use strict';
// Running jobs as JavaScript sees them: refusals while a job runs, cancelling a write
// in the middle of its blocks, and a validation that waits for the write.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const { execFileSync } = require('node:child_process');
const { disk, waitForEnd } = require('./harness.js');
const {
  FRESH_STATS, JOB_RUNNING, sleep, throwsError, throwsTypeError, until, jobThreadEnded, listMounted, jobSandbox,
  callsLogged, countCalls, fillDrive,
} = require('./flashdrive-helpers.js');
const { FlashDrive } = require('../../index.js');

const driveSize = 1 << 16;
const block = 4096;

// A root sandbox whose drive has a mounted partition, an image of two whole blocks and
// ten bytes, and a FlashDrive set up to write it.
function setUp(t) {
  const box = jobSandbox(t, { whoami: 'root', diskSize: driveSize });
  fillDrive(box, driveSize);
  listMounted(box, { size: driveSize });
  const image = box.image(2 * block + 10);
  const fd = box.watch(new FlashDrive());
  fd.setDrive('fakesd');
  fd.setImage(image.file);
  fd.setWriteBlock(block);
  fd.setValidateBlock(block);
  return { box, fd, image };
}

test('while a write runs, the settings it uses are refused', async (t) => {
  const { box, fd, image } = setUp(t);
  const other = box.image(3000, 'other.bin');
  const hold = box.hold();
  fd.startWrite();
  await callsLogged(box, 'udisksctl unmount', 1);

  const callsBefore = box.calls().length;
  assert.strictEqual(fd.getWriteStats(), FRESH_STATS);
  throwsError(() => fd.startWrite(), JOB_RUNNING);
  throwsError(() => fd.setDrive('nosuchdrive'), JOB_RUNNING);
  throwsError(() => fd.setImage(other.file), JOB_RUNNING);
  throwsError(() => fd.setPassword('secret'), JOB_RUNNING);
  throwsError(() => fd.setWriteBlock(512), JOB_RUNNING);
  // An argument error is still an argument error, and sets no cancel flag.
  throwsTypeError(() => fd.cancelWrite(1), 'cancel_write() takes no parameter');
  throwsTypeError(() => fd.setDrive(1), 'set_drive() takes one string parameter');
  // The validation's block size is not the write's.
  fd.setValidateBlock(1000);
  assert.deepStrictEqual(box.calls().slice(callsBefore), [], 'refused calls run no lsblk and no sudo');
  hold.release();

  const stats = await waitForEnd(() => fd.getWriteStats());
  assert.strictEqual(stats.completed, 100, 'not cancelled');
  assert.strictEqual(stats.errque, '');
  // Written in blocks of 4096: the zero fill reaches the end of the third block.
  const drive = fs.readFileSync(box.drivePath);
  assert.ok(drive.subarray(0, image.bytes.length).equals(image.bytes));
  assert.ok(drive.subarray(image.bytes.length, 3 * block).equals(Buffer.alloc(3 * block - image.bytes.length)));
  assert.strictEqual(drive[3 * block], 0xa5);

  await jobThreadEnded(() => fd.setWriteBlock(block));
  throwsError(() => fd.startValidate(), 'invalid read block size');
  // Drive and image are the ones chosen before the write.
  fd.setValidateBlock(block);
  fd.startValidate();
  const checked = await waitForEnd(() => fd.getValidateStats());
  assert.strictEqual(checked.completed, 100);
  assert.strictEqual(checked.numwriteerrs, 0);
});

test('a validation started during a write waits; cancelled, it never runs', async (t) => {
  const { box, fd } = setUp(t);
  const hold = box.hold();
  fd.startWrite();
  await callsLogged(box, 'udisksctl unmount', 1);

  fd.startValidate();
  throwsError(() => fd.startValidate(), JOB_RUNNING);
  throwsError(() => fd.setValidateBlock(512), JOB_RUNNING);
  throwsError(() => fd.setWriteBlock(512), JOB_RUNNING);
  assert.strictEqual(fd.getValidateStats(), FRESH_STATS);
  throwsTypeError(() => fd.cancelValidate(true), 'cancel_validate() takes no parameter');
  fd.cancelValidate();
  // The waiting validation ends while the write is still held.
  await jobThreadEnded(() => fd.setValidateBlock(block));
  const cancelled = JSON.parse(fd.getValidateStats());
  assert.strictEqual(cancelled.completed, 0);
  assert.strictEqual(cancelled.numwriteerrs, 0);
  throwsError(() => fd.setWriteBlock(block), JOB_RUNNING);

  hold.release();
  const written = await waitForEnd(() => fd.getWriteStats());
  assert.strictEqual(written.completed, 100, "the validation's cancel is not the write's");
  await jobThreadEnded(() => fd.setWriteBlock(block));
  assert.deepStrictEqual(JSON.parse(fd.getValidateStats()), cancelled, 'the validation never ran');
  assert.strictEqual(countCalls(box, 'udisksctl'), 1);
});

test('cancelValidate stops a running validation', async (t) => {
  const { box, fd } = setUp(t);
  // The drive does not hold the image: a validation run to its end would count differences.
  const hold = box.hold();
  fd.startValidate();
  await callsLogged(box, 'udisksctl unmount', 1);
  throwsError(() => fd.setValidateBlock(512), JOB_RUNNING);
  fd.setWriteBlock(block);
  fd.cancelValidate();
  hold.release();
  await jobThreadEnded(() => fd.setValidateBlock(block));
  const stats = JSON.parse(fd.getValidateStats());
  assert.strictEqual(stats.completed, 0);
  assert.strictEqual(stats.errque, '');
  // Only the first block was compared, and all of its bytes differ from the fill.
  assert.ok(stats.numwriteerrs > 0 && stats.numwriteerrs <= block, `numwriteerrs ${stats.numwriteerrs}`);

  // The raised flag does not reach the next validation.
  fd.startValidate();
  const full = await waitForEnd(() => fd.getValidateStats());
  assert.strictEqual(full.completed, 100);
  assert.ok(full.numwriteerrs > stats.numwriteerrs);
});

// Reads what the pipe holds now; false when it is empty.
function readAvailable(fd, chunks) {
  const buffer = Buffer.alloc(1 << 16);
  try {
    const n = fs.readSync(fd, buffer, 0, buffer.length, null);
    chunks.push(buffer.subarray(0, n));
    return n > 0;
  } catch (err) {
    if (err.code === 'EAGAIN') return false;
    throw err;
  }
}

test('cancelWrite ends a write after the block it is writing', async (t) => {
  // The drive is a named pipe: its first block of 1 MiB cannot be written before this
  // test reads it, so the cancel request surely arrives during that block.
  const box = jobSandbox(t, { whoami: 'root' });
  const pipe = path.join(box.dir, 'drive.fifo');
  execFileSync('mkfifo', [pipe]);
  box.list([disk({ file: pipe, size: 16 << 20 })]);
  const big = 1 << 20;
  const image = box.image(3 * big + 100);
  // Open for reading and writing: never blocks, and never sees an end of file.
  const reader = fs.openSync(pipe, fs.constants.O_RDWR | fs.constants.O_NONBLOCK);
  let open = true;
  // Should the test fail midway, closing the pipe makes the blocked write fail and end.
  box.onTeardown(() => open && fs.closeSync(reader));

  const fd = box.watch(new FlashDrive());
  fd.setDrive('fakesd');
  fd.setImage(image.file);
  fd.setWriteBlock(big);
  fd.setFirstBlockLast(false);  // the first block down the pipe is the image's
  fd.startWrite();
  const chunks = [];
  await until('the first bytes of the write', () => readAvailable(reader, chunks));
  fd.cancelWrite();
  const pause = 30;
  await sleep(pause);
  // Drain until the job's thread has ended.
  await until('the write to end', () => {
    while (readAvailable(reader, chunks));
    try {
      fd.setWriteBlock(big);
      return true;
    } catch (err) {
      if (err.message !== JOB_RUNNING) throw err;
      return false;
    }
  });
  while (readAvailable(reader, chunks));
  open = false;
  fs.closeSync(reader);

  const received = Buffer.concat(chunks);
  assert.strictEqual(received.length, big, 'exactly one block was written');
  assert.ok(received.equals(image.bytes.subarray(0, big)));
  const stats = JSON.parse(fd.getWriteStats());
  assert.strictEqual(stats.completed, 0);
  assert.strictEqual(stats.eta, 0);
  assert.strictEqual(stats.speed, 0);
  assert.strictEqual(stats.errque, '');
  // The job's clock ran from before the pipe was opened until this test drained it.
  assert.ok(stats.duration >= pause, `duration ${stats.duration}`);
});
