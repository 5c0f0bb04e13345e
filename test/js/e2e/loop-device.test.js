'use strict';
// Write and validation through the package's JavaScript API onto a real block device:
// a loop device over a file of the test, listed by the stand-in lsblk as a removable
// disk while every other device of the machine is listed as the real lsblk prints it.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const h = require('./e2e-helpers.js');

const skip = h.whyNotRoot() || false;
const KiB = 1024;
const MiB = 1024 * KiB;

// A disk of the machine that lsblk reports as neither removable nor hot-pluggable.
function internalDisk() {
  const listing = JSON.parse(h.run('lsblk', ['--json', '-o', 'name,type,rm,hotplug'], { env: { PATH: '/usr/sbin:/usr/bin:/sbin:/bin' } }));
  const found = listing.blockdevices.find((d) => d.type === 'disk' && d.rm === false && d.hotplug === false);
  return found ? found.name : null;
}

test('an image written onto a loop device and read back', { skip, timeout: 120000 }, async (t) => {
  const undo = new h.Undo();
  t.after(() => undo.runAll());
  const dir = h.tempDir(undo);
  const backing = path.join(dir, 'backing.img');
  fs.writeFileSync(backing, Buffer.alloc(8 * MiB, 0x5a));
  const device = h.attachLoop(undo, backing);
  h.listAsRemovable(undo, device);
  const imagePath = path.join(dir, 'image.bin');
  const image = h.randomFile(imagePath, 3 * MiB + 1000);

  const { FlashDrive } = require('../../../index.js');
  const flash = new FlashDrive();
  const machineDisk = internalDisk();
  if (machineDisk) {
    assert.throws(() => flash.setDrive(machineDisk), { message: 'drive is not external/removable' });
  }
  flash.setDrive(path.basename(device));
  flash.setImage(imagePath);

  const written = await h.writeAndWait(flash, MiB);
  assert.deepStrictEqual([written.completed, written.numerrs, written.errque], [100, 0, '']);
  const onDevice = h.readBytes(device, 0, 8 * MiB);
  assert.ok(onDevice.subarray(0, image.length).equals(image), 'the device holds the image');
  assert.ok(onDevice.subarray(image.length, 4 * MiB).every((b) => b === 0), 'the last block is padded with zeros');
  assert.ok(onDevice.subarray(4 * MiB).every((b) => b === 0x5a), 'nothing after the last block is written');

  // Another block size than the write's: 48 whole blocks and a residual part.
  let validated = await h.validateAndWait(flash, 64 * KiB);
  assert.deepStrictEqual([validated.completed, validated.numwriteerrs, validated.numerrs, validated.errque], [100, 0, 0, '']);

  // One byte changed on the medium is found.
  const offset = 2 * MiB + 77;
  const fd = fs.openSync(device, 'r+');
  try {
    fs.writeSync(fd, Buffer.from([image[offset] ^ 0xff]), 0, 1, offset);
    fs.fsyncSync(fd);
  } finally {
    fs.closeSync(fd);
  }
  validated = await h.validateAndWait(flash, 64 * KiB);
  assert.deepStrictEqual([validated.completed, validated.numwriteerrs, validated.errque], [100, 1, '']);
});
