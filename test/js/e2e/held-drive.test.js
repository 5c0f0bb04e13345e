'use strict';
// The finishing steps hold the whole drive exclusively. A partition of the loop device
// that stays mounted (its unmount fails: the mount is busy) keeps the hold from being
// taken: the first-boot files step fails with EBUSY naming the partition and its mount
// point, and the FAT partition keeps its bytes.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const h = require('./e2e-helpers.js');
const { fatImage, whyNoFatTools } = require('../harness');

const MiB = 1024 * 1024;
const skip = h.whyNotRoot() || whyNoFatTools() || false;
if (skip) console.log(`# held drive tests skipped: ${skip}`);

test('first-boot files onto a drive with a mounted partition fail with EBUSY, the FAT untouched', { skip, timeout: 60000 }, async (t) => {
  const undo = new h.Undo();
  t.after(() => undo.runAll());
  const dir = h.tempDir(undo);
  const image = fatImage(dir); // partition 1 FAT, partition 2 from 7 MiB
  h.run('mkfs.ext2', ['-q', '-F', '-E', `offset=${7 * MiB}`, image, '1024']);
  const backing = path.join(dir, 'drive.img');
  fs.writeFileSync(backing, Buffer.alloc(16 * MiB));
  const drive = h.attachLoop(undo, backing);
  h.listAsRemovable(undo, drive);
  const { FlashDrive } = require('../../../index.js');
  const flash = new FlashDrive();
  flash.setDrive(path.basename(drive));
  flash.setImage(image);
  flash.setFiles([{ partition: 1, path: '/hostname', content: 'pi' }]);
  assert.equal((await h.writeAndWait(flash, MiB)).errque, '');

  h.run('partx', ['-a', drive]);
  const mountPoint = h.tempDir(undo, 'flasher-mounted-');
  h.run('mount', ['-o', 'ro', `${drive}p2`, mountPoint]);
  undo.add(`unmount ${mountPoint}`, () => h.run('umount', [mountPoint]));
  const busy = fs.openSync(mountPoint, 'r');
  undo.add('let the mount go', () => fs.closeSync(busy));

  await h.validateAndWait(flash, MiB);
  const report = JSON.parse(flash.getValidateReport());
  const expected = `cannot write onto ${drive}: partition ${drive}p2 is mounted at ${mountPoint}`;
  assert.deepEqual(report.steps.files, { status: 'failed', message: expected, files: [] });
  assert.ok(report.errors.some((e) => e.code === 'EBUSY' && e.message === expected), JSON.stringify(report.errors));
  assert.ok(h.readBytes(drive, 0, 8 * MiB).equals(fs.readFileSync(image)), 'the drive holds the image as written');
});
