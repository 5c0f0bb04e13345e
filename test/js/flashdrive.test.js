'use strict';
// FlashDrive from the package entry: construction, fresh statistics, and a whole write
// and validation on a drive that is a file listed by the stand-in lsblk.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const { sandbox, disk, waitForEnd } = require('./harness.js');
const {
  FRESH_STATS, throwsError, throwsTypeError, jobThreadEnded, listMounted, jobSandbox, callsLogged, countCalls,
  fillDrive,
} = require('./flashdrive-helpers.js');

const entry = require('../../index.js');
const { FlashDrive } = entry;

// The closed record of a job, as text: every number in its fixed format.
const CLOSED_STATS = new RegExp(
  '^\\{"completed":(100|0)\\.000000,"eta":0\\.000000,"duration":\\d+,"speed":0\\.000000,' +
    '"speedmin":\\d+\\.\\d{6},"speedmax":\\d+\\.\\d{6},"speedavg":\\d+\\.\\d{6},"avgblocks":400,' +
    '"numwriteerrs":\\d+,"numerrs":\\d+,"errque":"[^"]*"\\}$'
);

test('the package entry exports FlashDrive, both password checks and the promise API', () => {
  assert.strictEqual(typeof entry.FlashDrive, 'function');
  assert.strictEqual(typeof entry.checkPassword, 'function');
  assert.strictEqual(typeof entry.checkPasswordForUser, 'function');
  assert.deepStrictEqual(Object.keys(entry).sort(), [
    'FlashDrive', 'FlasherError', 'backup', 'cacheFolder', 'checkPassword', 'checkPasswordForUser', 'checkTargets',
    'clearCache', 'flash', 'inspect', 'inspectImage', 'listCache', 'listDrives', 'station', 'verify',
  ]);
  const methods = Object.getOwnPropertyNames(FlashDrive.prototype).filter((name) => name !== 'constructor');
  assert.deepStrictEqual(methods, [
    'setDrive', 'setImage', 'setPassword', 'setWriteBlock', 'startWrite', 'cancelWrite', 'getWriteStats',
    'setValidateBlock', 'startValidate', 'cancelValidate', 'getValidateStats', 'setBlockMap', 'setWriteMode',
    'getWriteReport', 'getValidateReport', 'setCapacityCheck', 'runWrite', 'runValidate', 'getProgress',
    'setRepairAttempts', 'setFixGpt', 'setEject', 'setFiles',
    'setBackup', 'startBackup', 'runBackup', 'cancelBackup', 'getBackupStats', 'getBackupReport', 'setSourceDrive',
    'setSha256', 'setChecksums', 'setKeyring', 'setCache', 'setStallTimeout', 'setFirstBlockLast', 'setAllowLoop',
    'setDigest',
  ]);
});

// Before any construction passed the check: a process makes a passed check once.
test('construction fails with the tool check text as a plain Error', (t) => {
  const box = sandbox();
  t.after(() => box.cleanup());
  process.env.FAKE_LSBLK_VERSION = '2.33.1';
  throwsError(() => new FlashDrive(), "please update 'util-linux' to version >= 2.34");
  delete process.env.FAKE_LSBLK_VERSION;
  process.env.FAKE_WHICH_MISSING = 'lsblk';
  throwsError(() => new FlashDrive(), "'lsblk' is not available => please install make sure 'util-linux' is installed");
});

test('construction checks lsblk once and lists the drives each time; arguments are ignored', (t) => {
  const box = sandbox();
  t.after(() => box.cleanup());
  const listing = () => box.calls();

  throwsTypeError(() => FlashDrive(), "Class constructors cannot be invoked without 'new'");
  assert.deepStrictEqual(listing(), [], 'a call without new must run no tool');

  const plain = new FlashDrive();
  const calls = listing();
  assert.deepStrictEqual(calls.map((line) => line.split(' ')[0]), ['which', 'lsblk', 'lsblk']);
  assert.deepStrictEqual(calls.slice(0, 2), ['which lsblk', 'lsblk --version']);

  const withArgs = new FlashDrive(1, 2);
  assert.deepStrictEqual(listing().slice(calls.length), calls.slice(2));
  assert.ok(plain instanceof FlashDrive && withArgs instanceof FlashDrive);
  withArgs.setDrive('fakesd');
});

test('a new object has fresh statistics, and reading them changes nothing', (t) => {
  const box = sandbox();
  t.after(() => box.cleanup());
  const fd = new FlashDrive();
  assert.strictEqual(fd.getWriteStats(), FRESH_STATS);
  assert.strictEqual(fd.getValidateStats(), FRESH_STATS);
  assert.strictEqual(fd.getValidateStats(), fd.getValidateStats());
  assert.deepStrictEqual(Object.keys(JSON.parse(FRESH_STATS)), [
    'completed', 'eta', 'duration', 'speed', 'speedmin', 'speedmax', 'speedavg', 'avgblocks', 'numwriteerrs',
    'numerrs', 'errque',
  ]);
});

test('two objects keep their own settings', (t) => {
  const box = sandbox({ whoami: 'root', diskSize: 1 << 16 });
  t.after(() => box.cleanup());
  const { file } = box.image(1000);
  const a = new FlashDrive();
  const b = new FlashDrive();
  a.setDrive('fakesd');
  a.setImage(file);
  a.setValidateBlock(1000);
  throwsError(() => b.startWrite(), 'required drive is unavailable or not set');
  throwsError(() => b.startValidate(), 'no image file provided');
  throwsError(() => a.startWrite(), 'invalid write block size');
  throwsError(() => a.startValidate(), 'invalid read block size');
  b.setWriteBlock(512);
  throwsError(() => a.startWrite(), 'invalid write block size');
});

test('a whole write and its validation', async (t) => {
  const driveSize = 1 << 20;
  const block = 65536;
  const box = jobSandbox(t, { whoami: 'root', diskSize: driveSize });
  fillDrive(box, driveSize);
  listMounted(box, { size: driveSize });
  const { file, bytes: image } = box.image(3 * block + 1000);
  const padded = 4 * block;

  const fd = box.watch(new FlashDrive());
  const other = new FlashDrive();
  fd.setDrive('fakesd');
  fd.setImage(file);
  fd.setWriteBlock(block);
  fd.setValidateBlock(4096.7);
  fd.cancelWrite(); // no job runs: the next start clears the flag
  fd.startWrite();
  const written = await waitForEnd(() => fd.getWriteStats());
  const writeText = fd.getWriteStats();
  assert.match(writeText, CLOSED_STATS);
  assert.strictEqual(written.completed, 100);
  assert.strictEqual(written.errque, '');
  assert.strictEqual(written.numerrs, 0);
  assert.strictEqual(written.numwriteerrs, 0);
  assert.ok(written.speedmax >= written.speedmin);

  // Accepted at once, while the write's thread is still in its end pause; it runs after.
  fd.startValidate();
  const checked = await waitForEnd(() => fd.getValidateStats());
  assert.strictEqual(checked.completed, 100);
  assert.strictEqual(checked.numwriteerrs, 0);
  assert.strictEqual(checked.errque, '');
  const validateText = fd.getValidateStats();
  assert.match(validateText, CLOSED_STATS);
  assert.strictEqual(fd.getValidateStats(), validateText);
  assert.strictEqual(other.getWriteStats(), FRESH_STATS);

  const drive = fs.readFileSync(box.drivePath);
  assert.strictEqual(drive.length, driveSize);
  assert.ok(drive.subarray(0, image.length).equals(image), 'the drive starts with the image');
  assert.ok(drive.subarray(image.length, padded).equals(Buffer.alloc(padded - image.length)), 'zero fill');
  assert.ok(drive.subarray(padded).equals(Buffer.alloc(driveSize - padded, 0xa5)), 'the rest is untouched');
  // Once per job, each job's partition unmounted.
  assert.strictEqual(countCalls(box, 'udisksctl unmount'), 2);

  // The write's statistics stay readable through a refused start.
  await jobThreadEnded(() => fd.setWriteBlock(block));
  fd.setWriteBlock(1000);
  throwsError(() => fd.startWrite(), 'invalid write block size');
  assert.strictEqual(fd.getWriteStats(), writeText);

  // A changed byte on the drive, inside the image's whole blocks.
  const handle = fs.openSync(box.drivePath, 'r+');
  t.after(() => fs.closeSync(handle));
  fs.writeSync(handle, Buffer.from([image[70000] ^ 0xff]), 0, 1, 70000);
  fd.startValidate();
  const oneChange = await waitForEnd(() => fd.getValidateStats());
  assert.strictEqual(oneChange.completed, 100);
  assert.strictEqual(oneChange.numwriteerrs, 1);

  // One more in the image's last partial block; the zero fill and the rest are not
  // part of the image and are not compared.
  fs.writeSync(handle, Buffer.from([image[image.length - 3] ^ 0x01]), 0, 1, image.length - 3);
  fs.writeSync(handle, Buffer.from([0x77]), 0, 1, image.length + 5);
  fs.writeSync(handle, Buffer.from([0x77]), 0, 1, padded + 5);
  // Held at its unmount, the new validation shows its statistics reset.
  const hold = box.hold();
  fd.startValidate();
  await callsLogged(box, 'udisksctl unmount', 4);
  assert.strictEqual(fd.getValidateStats(), FRESH_STATS);
  hold.release();
  const twoChanges = await waitForEnd(() => fd.getValidateStats());
  assert.strictEqual(twoChanges.completed, 100);
  assert.strictEqual(twoChanges.numwriteerrs, 2);
  assert.strictEqual(twoChanges.errque, '');
});

test('a hot-pluggable drive that is not removable is accepted', (t) => {
  const box = sandbox({ whoami: 'root' });
  t.after(() => box.cleanup());
  box.list([disk({ name: 'usbdisk', file: box.drivePath, rm: false, hotplug: true })]);
  const fd = new FlashDrive();
  fd.setDrive('usbdisk');
  throwsError(() => fd.startWrite(), 'no image file provided');
});
