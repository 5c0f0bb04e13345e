'use strict';
// Backups of loop devices with an MBR or a GPT, through the promise API, with the
// outside tools as oracles: sha256sum -c, bmaptool copy, xz -t and xz --list; the
// restore through flash(); a read error of the fault device; an output on the drive.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const h = require('./e2e-helpers.js');
const { whyNoFaultDevice, openFaultDevice } = require('./fault-device.js');

const skip = h.whyNotRoot() || (!h.hasTool('sgdisk') && 'sgdisk is missing (scripts/setup.sh installs gdisk)') || false;
const MiB = 1024 * 1024;
const SECTOR = 512;

function api() {
  return require('../../../index.js');
}

// A loop device over a file of `sizeMiB` MiB with the table `script` (sfdisk input, or
// a function that makes it), its partition nodes added with partx.
function partitionedDrive(undo, dir, name, sizeMiB, table) {
  const file = path.join(dir, `${name}.img`);
  fs.writeFileSync(file, '');
  fs.truncateSync(file, sizeMiB * MiB);
  const device = h.attachLoop(undo, file);
  if (typeof table === 'string') h.run('sfdisk', ['-q', device], { input: table });
  else table(device);
  h.run('partx', ['-a', device]);
  return device;
}

// Files of /usr in an ext4 file system on `partition`, unmounted again.
function fillWithFiles(undo, dir, partition) {
  h.run('mkfs.ext4', ['-q', '-F', '-E', 'lazy_itable_init=0,lazy_journal_init=0', partition]);
  const mountPoint = fs.mkdtempSync(path.join(dir, 'mnt-'));
  h.run('mount', [partition, mountPoint]);
  try {
    h.run('cp', ['-r', '/usr/include/linux', '/usr/lib/x86_64-linux-gnu/perl-base', mountPoint]);
  } finally {
    h.run('umount', [mountPoint]);
  }
}

// The end of the last partition, in bytes, as sfdisk lists it (for an MBR or a GPT).
function partitionsEnd(device) {
  const { partitiontable } = JSON.parse(h.run('sfdisk', ['--json', device]));
  return Math.max(...partitiontable.partitions.map((p) => (p.start + p.size) * SECTOR));
}

const blankDrive = (undo, dir, name, sizeMiB) => {
  const file = path.join(dir, `${name}.img`);
  fs.writeFileSync(file, '');
  fs.truncateSync(file, sizeMiB * MiB);
  return h.attachLoop(undo, file);
};

// The drives backed up: an MBR with an ext4 partition of files and one left empty, and
// a GPT likewise.
const TABLES = [
  ['an MBR', 'label: dos\nstart=2048, size=48M, type=83\nsize=16M, type=83\n'],
  ['a GPT', (device) => h.run('sgdisk', ['-o', '-n', '1:2048:+48M', '-n', '2:0:+16M', device])],
];

for (const [kind, table] of TABLES) {
  test(`a drive with ${kind} backed up to .zst: its checksum, its map through bmaptool, and the restore`, { skip, timeout: 300000 }, async (t) => {
    const undo = new h.Undo();
    t.after(() => undo.runAll());
    const dir = h.tempDir(undo);
    const source = partitionedDrive(undo, dir, 'source', 96, table);
    fillWithFiles(undo, dir, `${source}p1`);
    const extent = partitionsEnd(source);
    const [restored, copied] = ['restored', 'copied'].map((name) => blankDrive(undo, dir, name, 96));
    h.listAsRemovable(undo, [source, restored, copied]);

    const output = path.join(dir, 'source.img.zst');
    const result = await api().backup({ drive: source, output });
    assert.equal(result.bytesRead, extent);
    assert.equal(result.outputBytes, fs.statSync(output).size);
    assert.equal(result.blockMap, `${output}.bmap`);
    assert.equal(result.report.image.format, 'zstd');
    assert.match(h.run('sha256sum', ['-c', 'source.img.zst.sha256'], { cwd: dir }), /source\.img\.zst: OK/);
    assert.equal(fs.readFileSync(`${output}.sha256`, 'utf8').split(' ')[0], result.sha256);
    const sourceBytes = h.readBytes(source, 0, extent);

    // bmaptool reads the map, checks every range's SHA-256 and writes only those ranges.
    h.run('bmaptool', ['copy', '--bmap', `${output}.bmap`, output, copied]);
    assert.ok(h.readBytes(copied, 0, extent).equals(sourceBytes), 'bmaptool copy differs from the source');

    const written = await api().flash({ image: output, blockMap: `${output}.bmap`, drive: restored });
    assert.equal(written.verify.differingBytes, 0);
    assert.equal(written.report.image.blockMap, true);
    assert.ok(h.readBytes(restored, 0, extent).equals(sourceBytes), 'the restored drive differs from the source');
  });
}

test('a drive backed up to .xz in several blocks that xz checks', { skip, timeout: 300000 }, async (t) => {
  const undo = new h.Undo();
  t.after(() => undo.runAll());
  const dir = h.tempDir(undo);
  const source = partitionedDrive(undo, dir, 'source', 64, 'label: dos\nstart=2048, size=24M, type=83\nsize=8M, type=83\n');
  fillWithFiles(undo, dir, `${source}p1`);
  h.listAsRemovable(undo, source);

  const output = path.join(dir, 'source.img.xz');
  const result = await api().backup({ drive: source, output, level: 1, blockMap: false, checksum: false });
  assert.equal(result.bytesRead, partitionsEnd(source));
  assert.equal(result.blockMap, null);
  assert.deepEqual(fs.readdirSync(dir).filter((f) => f.startsWith('source.img.')), ['source.img.xz']);
  h.run('xz', ['-T0', '-t', output]);
  const blocks = h.run('xz', ['--robot', '--list', '-vv', output]).split('\n').filter((line) => line.startsWith('block\t'));
  assert.ok(blocks.length > 1, `${blocks.length} block`);
});

test('a read error of the drive mid-backup: EREAD at its offset, and no output left', { skip: whyNoFaultDevice() || false, timeout: 120000 }, async (t) => {
  const undo = new h.Undo();
  t.after(() => undo.runAll());
  const bad = 5 * MiB + 8192;
  const fault = await openFaultDevice(undo, { size: 16 * MiB, failRead: [[bad, bad + SECTOR]] });
  h.listAsRemovable(undo, fault.loopDevice);
  const dir = h.tempDir(undo);
  const err = await api().backup({ drive: fault.loopDevice, output: path.join(dir, 'drive.img.zst') }).then(
    () => assert.fail('the backup succeeded'), (e) => e);
  assert.equal(err.code, 'EREAD');
  assert.deepEqual(err.report.errors.map((e) => [e.reason, e.offset, e.code]), [['EREAD', bad, 'EIO']]);
  assert.deepEqual(fs.readdirSync(dir), []);
});

test('an output inside a mounted partition of the drive read is refused before anything', { skip, timeout: 120000 }, async (t) => {
  const undo = new h.Undo();
  t.after(() => undo.runAll());
  const dir = h.tempDir(undo);
  const source = partitionedDrive(undo, dir, 'source', 32, 'label: dos\nstart=2048, size=24M, type=83\n');
  h.run('mkfs.ext4', ['-q', '-F', `${source}p1`]);
  const mountPoint = fs.mkdtempSync(path.join(dir, 'mnt-'));
  h.run('mount', [`${source}p1`, mountPoint]);
  undo.add(`unmount ${mountPoint}`, () => h.unmountAll(`${source}p1`));
  h.listAsRemovable(undo, source);

  const err = await api().backup({ drive: source, output: path.join(mountPoint, 'backup.img') }).then(
    () => assert.fail('the backup succeeded'), (e) => e);
  assert.equal(err.code, 'EOUTPUT');
  assert.match(err.message, /lies on the drive being read/);
  assert.deepEqual(h.mountPoints(`${source}p1`), [mountPoint], 'the partition stays mounted');
  assert.deepEqual(fs.readdirSync(mountPoint), ['lost+found']);
});
