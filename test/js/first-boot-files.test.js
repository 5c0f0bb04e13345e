'use strict';
// First-boot files through flash(): a host name of each drive's own in a FAT partition
// (mkfs.vfat of dosfstools) after a group write onto two file drives, read with mtype
// (mtools); a partition that is not FAT or a malformed path refused before any byte is
// written; and the eject that the stand-in udisksctl records.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { execFileSync } = require('node:child_process');
const { disk, sandbox, systemTool, whyNoFatTools, fatImage } = require('./harness');
const api = require('../../index.js');

const PASSWORD = 'pw';
const MiB = 1024 * 1024;
const skip = whyNoFatTools() || false;
if (skip) console.log(`# first-boot file tests skipped: ${skip}`);

function twoDrives(box) {
  const second = path.join(box.dir, 'drive2.img');
  fs.writeFileSync(second, Buffer.alloc(16 * MiB));
  box.list([disk({ file: box.drivePath, size: 16 * MiB }), disk({ name: 'fakesd2', file: second, size: 16 * MiB })]);
  return [box.drivePath, second];
}

test('a group write gives each drive its own host name in the FAT partition', { skip }, async (t) => {
  const box = sandbox({ diskSize: 16 * MiB, sudoPassword: PASSWORD });
  t.after(() => box.cleanup());
  const image = fatImage(box.dir);
  const drives = twoDrives(box);
  const files = [{ partition: 1, path: '/etc/hostname', content: (drive, i) => `pi-${i}-${drive.name}\n` }];
  const { results } = await api.flash({ image, drives: ['fakesd', 'fakesd2'], password: PASSWORD, blockSize: MiB, files });

  assert.deepEqual(results.map((r) => r.steps.files.files), [0, 1].map((i) => [{ partition: 1, path: '/etc/hostname', bytes: 12 + i }]));
  const names = drives.map((drive) => execFileSync(systemTool('mtype'), ['-i', `${drive}@@${MiB}`, '::/etc/hostname'], { encoding: 'utf8' }));
  assert.deepEqual(names, ['pi-0-fakesd\n', 'pi-1-fakesd2\n']);
});

test('a partition that is not FAT, or a malformed path, is refused before any byte is written', { skip }, async (t) => {
  const box = sandbox({ diskSize: 16 * MiB, sudoPassword: PASSWORD });
  t.after(() => box.cleanup());
  const image = fatImage(box.dir);
  const refusals = [
    [{ partition: 2, path: 'x' }, 'EIMAGE', 'partition 2 of the image holds no FAT file system'],
    [{ partition: 1, path: '//x' }, 'ERR_INVALID_ARG_VALUE', 'the first-boot file path "//x" has an empty name (a doubled or trailing "/")'],
  ];
  for (const [file, code, message] of refusals) {
    const err = await api.flash({ image, drive: 'fakesd', password: PASSWORD, files: [{ ...file, content: 'y' }] })
      .then(() => assert.fail('flash() resolved'), (e) => e);
    assert.deepEqual([err.code, err.message], [code, message]);
    assert.ok(fs.readFileSync(box.drivePath).equals(Buffer.alloc(16 * MiB)), 'the drive is untouched');
  }
});

for (const udisks of ['there', 'missing']) {
  test(`eject with udisks ${udisks}`, async (t) => {
    const box = sandbox({ diskSize: 4 * MiB, sudoPassword: PASSWORD });
    t.after(() => box.cleanup());
    if (udisks === 'missing') process.env.FAKE_WHICH_MISSING = 'udisksctl';
    const result = await api.flash({ image: box.image(MiB).file, drive: 'fakesd', password: PASSWORD, eject: true });
    const powerOff = box.calls().filter((call) => call.startsWith('udisksctl power-off'));
    if (udisks === 'there') {
      assert.deepEqual([result.steps.eject.status, powerOff], ['done', [`udisksctl power-off -b ${box.drivePath}`]]);
    } else {
      assert.deepEqual([result.steps.eject, powerOff], [{ status: 'skipped', message: 'not ejected: udisksctl is not installed' }, []]);
    }
  });
}
