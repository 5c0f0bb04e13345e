'use strict';
// The settings and start checks of FlashDrive as JavaScript sees them: which check
// refuses first, with exactly which text, and what a refusal leaves behind.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const { sandbox, disk } = require('./harness.js');
const { FRESH_STATS, throwsError } = require('./flashdrive-helpers.js');
const { FlashDrive } = require('../../index.js');

// The sandbox drive (removable, 512-byte sectors) and an internal disk beside it, as
// alice: the process asks once who it runs as.
function setUp(t, { diskSize = 8192 } = {}) {
  const box = sandbox({ whoami: 'alice', sudoPassword: 'pw', diskSize });
  process.env.FAKE_SU_ACCOUNTS = 'alice';
  t.after(() => box.cleanup());
  box.list([
    disk({ name: 'fakesd', file: box.drivePath, size: diskSize }),
    disk({ name: 'fakeinternal', file: path.join(box.dir, 'internal.img'), size: diskSize, rm: false, hotplug: false }),
  ]);
  return { box, fd: new FlashDrive() };
}

test('startWrite runs its checks in order, each refusing with its own text and code', (t) => {
  const { box, fd } = setUp(t);
  const tooBig = box.image(8192 + 512, 'too-big.bin').file;

  // Nothing set at all: the drive check comes first.
  throwsError(() => fd.startWrite(), 'required drive is unavailable or not set', 'ENODRIVE');
  throwsError(() => fd.setDrive('fakeinternal'), 'drive is not external/removable', 'ENODRIVE');

  fd.setDrive('fakesd');
  throwsError(() => fd.startWrite(), 'password is not set', 'EPASSWORD');
  fd.setPassword('pw');
  throwsError(() => fd.startWrite(), 'no image file provided', 'EIMAGE');

  fd.setImage(tooBig);
  throwsError(() => fd.startWrite(), 'invalid write block size', 'EWRITE');
  fd.setWriteBlock(1000);
  throwsError(() => fd.startWrite(), 'invalid write block size', 'EWRITE');

  // An image larger than the drive is refused.
  fd.setWriteBlock(4096);
  throwsError(() => fd.startWrite(), 'drive is too small for given image', 'ETOOSMALL');

  assert.strictEqual(fd.getWriteStats(), FRESH_STATS, 'a refused start changes no statistics');
  assert.ok(!box.calls().some((line) => line.startsWith('udisksctl')), 'no job ran');
});

test('startValidate checks the image first, then the block size', (t) => {
  const { box, fd } = setUp(t);
  const { file } = box.image(1000);

  // No image, no drive, no block size: the image is named.
  throwsError(() => fd.startValidate(), 'no image file provided');
  fd.setValidateBlock(4096);
  throwsError(() => fd.startValidate(), 'no image file provided');

  // With an image but no drive, no block size can be a multiple of the sector size.
  fd.setImage(file);
  throwsError(() => fd.startValidate(), 'invalid read block size');

  fd.setDrive('fakesd');
  fd.setValidateBlock(1000);
  throwsError(() => fd.startValidate(), 'invalid read block size');
  fd.setValidateBlock(0);
  throwsError(() => fd.startValidate(), 'invalid read block size');
  assert.strictEqual(fd.getValidateStats(), FRESH_STATS);
});

test('setDrive refuses unknown and internal drives and keeps the earlier choice', (t) => {
  const { box, fd } = setUp(t);
  // A sector larger than the drive: the checks of a start end at the size, and no write starts.
  const { file } = box.image(8192 + 512);
  fd.setImage(file);
  fd.setPassword('pw');
  fd.setWriteBlock(512);

  const listings = () => box.calls().filter((line) => line.startsWith('lsblk --bytes')).length;
  const before = listings();
  fd.setDrive(box.drivePath); // found by its device path too
  throwsError(() => fd.setDrive('nosuchdrive'), 'required drive nosuchdrive is not available', 'ENODRIVE');
  assert.strictEqual(listings(), before + 2, 'each setDrive refreshes the listing');
  throwsError(() => fd.setDrive('fakeinternal'), 'drive is not external/removable', 'ENODRIVE');
  throwsError(() => fd.startWrite(), 'drive is too small for given image');
});

test('a drive that is no longer listed is refused by setDrive', (t) => {
  const { box, fd } = setUp(t);
  fd.setDrive('fakesd');
  box.list([]);
  throwsError(() => fd.setDrive('fakesd'), 'required drive fakesd is not available');
});

