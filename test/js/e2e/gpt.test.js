'use strict';
// The backup GPT moved to the end of a larger drive, with sgdisk (gdisk) as the outside
// oracle: a 64 MiB GPT image on a 128 MiB loop device; an MBR image is left as written.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const h = require('./e2e-helpers.js');

const MiB = 1024 * 1024;
const sgdisk = ['/usr/sbin/sgdisk', '/sbin/sgdisk'].find((p) => fs.existsSync(p));
const skip = h.whyNotRoot() || (!sgdisk && 'sgdisk is missing (Debian package gdisk; scripts/setup.sh installs it)') || false;
if (skip) console.log(`# GPT tests skipped: ${skip}`);

// flash() of the image `make` prepares onto a 128 MiB loop device.
async function flashOntoLoop(t, make) {
  const undo = new h.Undo();
  t.after(() => undo.runAll());
  const dir = h.tempDir(undo);
  const image = path.join(dir, 'image.img');
  make(image);
  const backing = path.join(dir, 'drive.img');
  fs.writeFileSync(backing, '');
  fs.truncateSync(backing, 128 * MiB);
  const drive = h.attachLoop(undo, backing);
  h.listAsRemovable(undo, drive);
  const api = require('../../../index.js');
  const result = await api.flash({ image, drive, blockSize: MiB });
  return { api, image, drive, result };
}

test('a GPT image gets its backup at the last LBA of the larger drive, and sgdisk finds no problem', { skip, timeout: 60000 }, async (t) => {
  const { api, image, drive, result } = await flashOntoLoop(t, (file) => {
    fs.writeFileSync(file, '');
    fs.truncateSync(file, 64 * MiB);
    h.run(sgdisk, ['-n', '1:2048:+16M', '-t', '1:ef00', '-n', '2:0:0', file]);
  });
  assert.equal(result.steps.gpt.status, 'done', result.steps.gpt.message);
  assert.match(h.run(sgdisk, ['-v', drive]), /No problems found/);
  const lastLba = 128 * MiB / 512 - 1;
  const backup = h.readBytes(drive, lastLba * 512, 512);
  assert.equal(backup.subarray(0, 8).toString(), 'EFI PART');
  assert.equal(backup.readBigUInt64LE(24), BigInt(lastLba));
  assert.deepEqual(result.steps.gpt.imageSectors, [{ offset: 0, length: 512 }, { offset: 512, length: 512 }]);

  // A later verification finds the drive differing from the image only there.
  const err = await api.verify({ image, drive, blockSize: MiB }).then(() => assert.fail('verify() resolved'), (e) => e);
  assert.equal(err.code, 'EVERIFY');
  assert.deepEqual(err.ranges, [{ offset: 0, length: 4096 }]);
});

test('an MBR image is left as written', { skip, timeout: 60000 }, async (t) => {
  const { api, image, drive, result } = await flashOntoLoop(t, (file) => {
    h.randomFile(file, 16 * MiB);
    h.run('sfdisk', ['-q', file], { input: 'label: dos\nstart=2048, type=83\n' });
  });
  assert.deepEqual([result.steps.gpt.status, result.steps.gpt.message], ['skipped', 'no GPT']);
  assert.equal((await api.verify({ image, drive, blockSize: MiB })).differingBytes, 0);
});
