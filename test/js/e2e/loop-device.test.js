'use strict';
// Write and validation through the package's JavaScript API onto a real block device:
// a loop device over a file of the test, listed by the stand-in lsblk as a removable
// disk while every other device of the machine is listed as the real lsblk prints it.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
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

test('flasher list, write and verify take a loop device with --loop, and only then', { skip, timeout: 120000 }, (t) => {
  const undo = new h.Undo();
  t.after(() => undo.runAll());
  const dir = h.tempDir(undo);
  const backing = path.join(dir, 'backing.img');
  fs.writeFileSync(backing, Buffer.alloc(8 * MiB));
  const device = h.attachLoop(undo, backing);
  const name = path.basename(device);
  // The stand-in lsblk passes the machine's listing through: the loop device stays a loop.
  h.setEnv(undo, { PATH: [h.e2eToolsDir, process.env.PATH].join(':') });
  const imagePath = path.join(dir, 'image.bin');
  const image = h.randomFile(imagePath, 3 * MiB);
  const cli = (...args) => spawnSync(process.execPath, [path.join(h.root, 'cli.js'), ...args], { encoding: 'utf8' });

  const listed = JSON.parse(cli('list', '--loop', '--json').stdout).find((d) => d.name === name);
  assert.deepStrictEqual([listed.loop, listed.backingFile, listed.writable], [true, fs.realpathSync(backing), true]);
  assert.ok(!JSON.parse(cli('list', '--all', '--json').stdout).some((d) => d.name === name), 'no loop device without --loop');

  const refused = cli('write', imagePath, name, '--yes', '--no-eject');
  assert.strictEqual(refused.status, 1, refused.stderr);
  assert.match(refused.stderr, new RegExp(`required drive ${name} is not available`));
  assert.ok(h.readBytes(device, 0, MiB).every((b) => b === 0), 'the refused write wrote nothing');

  const written = cli('write', imagePath, name, '--yes', '--no-eject', '--loop');
  assert.strictEqual(written.status, 0, written.stderr);
  assert.ok(h.readBytes(device, 0, image.length).equals(image), 'the loop device holds the image');
  const verified = cli('verify', imagePath, name, '--loop');
  assert.strictEqual(verified.status, 0, verified.stderr);
});
