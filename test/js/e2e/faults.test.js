'use strict';
// Faults of the outside world during a write: a drive that refuses every write, a drive
// that fills up part-way, an image that shrinks while it is written, and a mounted
// partition that stays busy (unmounted by the kernel once it is not). Each job ends, its
// statistics name the failure, nothing but the target changes, and this process goes on.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const { sandbox, disk } = require('../harness.js');
const h = require('./e2e-helpers.js');

const KiB = 1024;
const MiB = 1024 * KiB;
const block = 64 * KiB;
const skip = h.whyNotRoot() || false;
const { FlashDrive } = skip ? {} : require('../../../index.js');

// The stand-in lsblk lists one drive at `file`; the sandbox goes with `undo`.
function listedDrive(undo, file, size) {
  const box = sandbox();
  undo.add('remove the sandbox', () => box.cleanup());
  box.list([disk({ name: 'faultsd', file, size })]);
  return box;
}

// An image file of random bytes and a check that it is still what it was.
function imageOf(dir, size) {
  const file = path.join(dir, 'image.bin');
  const bytes = h.randomFile(file, size);
  return { file, bytes, unchanged: () => h.sha256(fs.readFileSync(file)) === h.sha256(bytes) };
}

const writeFailure = (index) => new RegExp(`^failed to write block #${index} with (-1|0)/${block} bytes$`);

test('a drive that refuses every write', { skip, timeout: 60000 }, async (t) => {
  const undo = new h.Undo();
  t.after(() => undo.runAll());
  const box = listedDrive(undo, '/dev/full', 4 * MiB);
  const image = imageOf(box.dir, 4 * block);
  const flash = new FlashDrive();
  flash.setDrive('faultsd');
  flash.setImage(image.file);

  const stats = await h.writeAndWait(flash, block);
  assert.match(stats.errque, writeFailure(3));
  assert.deepStrictEqual([stats.completed, stats.numerrs], [100, 4], 'one error for each block');
  assert.ok(image.unchanged(), 'the image is left as it was');
  assert.match(flash.getWriteStats(), /"numerrs":4,/, 'the object still answers');
});

test('a drive that fills up part-way', { skip, timeout: 60000 }, async (t) => {
  const undo = new h.Undo();
  t.after(() => undo.runAll());
  const dir = h.tempDir(undo);
  const mnt = path.join(dir, 'small');
  fs.mkdirSync(mnt);
  h.run('mount', ['-t', 'tmpfs', '-o', 'size=256k,mode=0700', 'flasher-e2e', mnt]);
  undo.add(`unmount ${mnt}`, () => h.run('umount', [mnt]));
  const drive = path.join(mnt, 'drive.img');
  fs.writeFileSync(drive, '');
  listedDrive(undo, drive, 4 * MiB);
  const image = imageOf(dir, 8 * block);
  const flash = new FlashDrive();
  flash.setDrive('faultsd');
  flash.setImage(image.file);
  flash.setFirstBlockLast(false);  // what fits is written in the image's order

  const stats = await h.writeAndWait(flash, block);
  const stored = fs.readFileSync(drive);
  const wholeBlocks = Math.floor(stored.length / block);
  assert.ok(stored.length > 0 && stored.length < image.bytes.length, `${stored.length} bytes fit on the drive`);
  assert.ok(stored.equals(image.bytes.subarray(0, stored.length)), 'what fits is the start of the image');
  assert.match(stats.errque, writeFailure(7));
  assert.deepStrictEqual([stats.completed, stats.numerrs], [100, 8 - wholeBlocks], 'one error for each block that did not fit');
  assert.deepStrictEqual(fs.readdirSync(mnt), ['drive.img']);
  assert.ok(image.unchanged(), 'the image is left as it was');

  // Read back, the drive ends early: the validation says where and counts no byte it
  // did not read.
  const validated = await h.validateAndWait(flash, block);
  assert.strictEqual(validated.errque,
    `failed to read device block #${wholeBlocks} with ${stored.length % block}/${block} bytes`);
  assert.deepStrictEqual([validated.completed, validated.numwriteerrs], [100, 0]);
});

// Reads what arrives on a FIFO opened without blocking, until `enough` says so.
async function readFifo(fd, chunks, enough) {
  const buffer = Buffer.alloc(block);
  for (;;) {
    let n = 0;
    try {
      n = fs.readSync(fd, buffer, 0, buffer.length, null);
    } catch (err) {
      if (err.code !== 'EAGAIN') throw err;
    }
    if (n > 0) chunks.push(Buffer.from(buffer.subarray(0, n)));
    if (enough(n)) return;
    if (n === 0) await h.sleep(2);
  }
}

test('an image that shrinks while it is written', { skip, timeout: 60000 }, async (t) => {
  const undo = new h.Undo();
  t.after(() => undo.runAll());
  const dir = h.tempDir(undo);
  // The drive is a FIFO, so the test decides how far the write gets before the image
  // shrinks: the job's reading can be at most the pipe's 64 KiB, the block being
  // written, the ring's 4 blocks and the one being read ahead of the FIFO's reader.
  const drive = path.join(dir, 'drive.fifo');
  h.run('mkfifo', [drive]);
  listedDrive(undo, drive, 4 * MiB);
  const image = imageOf(dir, 32 * block);
  const flash = new FlashDrive();
  flash.setDrive('faultsd');
  flash.setImage(image.file);
  flash.setWriteBlock(block);
  flash.setFirstBlockLast(false);  // the FIFO shows the blocks in the image's order

  const fifo = fs.openSync(drive, fs.constants.O_RDONLY | fs.constants.O_NONBLOCK);
  undo.add('close the FIFO', () => fs.closeSync(fifo));
  flash.startWrite();
  const chunks = [];
  const received = () => chunks.reduce((sum, c) => sum + c.length, 0);
  await readFifo(fifo, chunks, () => received() >= 2 * block);
  fs.truncateSync(image.file, 12 * block + 100);
  const ended = () => JSON.parse(flash.getWriteStats()).completed === 100;
  await readFifo(fifo, chunks, (n) => n === 0 && ended());
  await h.writeThreadEnded(flash, block);

  const stats = JSON.parse(flash.getWriteStats());
  assert.strictEqual(stats.errque, `failed to read image block #12 with 100/${block} bytes`);
  assert.strictEqual(stats.numerrs, 1);
  const written = Buffer.concat(chunks);
  assert.strictEqual(written.length, 12 * block, 'the write stops at the block the image could not deliver');
  assert.ok(written.equals(image.bytes.subarray(0, 12 * block)), 'every byte written came from the image');
});

test('as root without udisks, a mounted partition is unmounted by the kernel, or named with the reason it stays', { skip, timeout: 60000 }, async (t) => {
  const undo = new h.Undo();
  t.after(() => undo.runAll());
  const dir = h.tempDir(undo);
  const backing = path.join(dir, 'backing.img');
  fs.writeFileSync(backing, Buffer.alloc(24 * MiB));
  const device = h.attachLoop(undo, backing);
  const part = h.ext4Partition(device, 16);
  const mnt = path.join(dir, 'mnt');
  fs.mkdirSync(mnt);
  h.run('mount', ['-t', 'ext4', part, mnt]);
  undo.add(`unmount ${part}`, () => h.unmountAll(part));
  // A file held open keeps the file system busy.
  const held = fs.openSync(path.join(mnt, 'kept.txt'), 'w');
  fs.writeSync(held, 'a file on the stick\n');
  // The stand-in udisksctl after the lsblk of this folder: udisks is not there.
  const log = path.join(dir, 'tool-calls.log');
  h.listAsRemovable(undo, device, [h.toolsDir]);
  h.setEnv(undo, { FAKE_UDISKSCTL_STATUS: '1', FAKE_TOOL_LOG: log });
  // Outside the partition: its table in front of it and the free space behind it.
  const outside = () => Buffer.concat([h.readBytes(device, 0, MiB), h.readBytes(device, 17 * MiB, 7 * MiB)]);
  const before = h.sha256(outside());
  const image = imageOf(dir, 2 * MiB);
  const flash = new FlashDrive();
  flash.setDrive(path.basename(device));
  flash.setImage(image.file);

  const stats = await h.writeAndWait(flash, MiB);
  assert.strictEqual(stats.errque, `failed to unmount device: mount attempt #3 failed:failed to unmount ${part} from ${mnt}: ${mnt}: Device or resource busy`);
  assert.deepStrictEqual([stats.completed, stats.numerrs], [100, 1]);
  const unmounts = fs.readFileSync(log, 'utf8').split('\n').filter((l) => l.startsWith('udisksctl'));
  assert.deepStrictEqual(unmounts, Array(4).fill(`udisksctl unmount --block-device ${part}`), 'four attempts');
  assert.strictEqual(h.sha256(outside()), before, 'nothing was written onto the drive');
  assert.deepStrictEqual(h.mountPoints(part), [mnt]);

  fs.closeSync(held);
  const written = await h.writeAndWait(flash, MiB);
  assert.strictEqual(written.errque, '');
  assert.deepStrictEqual(h.mountPoints(part), [], 'unmounted by the kernel');
  assert.ok(h.readBytes(device, 0, image.bytes.length).equals(image.bytes), 'the image is on the drive');
});
