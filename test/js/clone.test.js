'use strict';
// Clones over the stand-in tools: a drive named as the image is read once up to the
// end of its last partition and written onto file drives, through flash() and through
// flasher write; the source is never a target.
const test = require('node:test');
const assert = require('node:assert/strict');
const { execFileSync, spawnSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const { root, disk, sandbox, systemTool } = require('./harness');
const api = require('../../index.js');

const MiB = 1024 * 1024;
const EXTENT = (2048 + 16384) * 512; // one partition of 8 MiB from sector 2048

// A source drive of random bytes with one partition, and two blank target drives.
function drives(box) {
  fs.writeFileSync(box.drivePath, crypto.randomBytes(16 * MiB));
  execFileSync(systemTool('sfdisk'), ['-q', box.drivePath], { input: 'label: dos\nstart=2048, size=8M\n' });
  const targets = ['t1', 't2'].map((name) => path.join(box.dir, `${name}.img`));
  for (const file of targets) fs.writeFileSync(file, Buffer.alloc(16 * MiB));
  box.list([disk({ name: 'src', file: box.drivePath, size: 16 * MiB }),
    ...targets.map((file, i) => disk({ name: `t${i + 1}`, file, size: 16 * MiB }))]);
  return { source: fs.readFileSync(box.drivePath), targets };
}

function assertCloned(source, targets) {
  for (const file of targets) {
    const bytes = fs.readFileSync(file);
    assert.ok(bytes.subarray(0, EXTENT).equals(source.subarray(0, EXTENT)), `${file} differs from the source`);
    assert.ok(bytes.subarray(EXTENT).every((b) => b === 0), `${file} was written past the extent`);
  }
}

test('flash() with a drive as the image clones it onto two drives; the source is refused as a target', async (t) => {
  const box = sandbox({ sudoPassword: 'pw' });
  t.after(() => box.cleanup());
  const { source, targets } = drives(box);
  const { image, results } = await api.flash({ image: 'src', drives: ['t1', 't2'], password: 'pw' });
  assert.deepEqual([image.format, image.size, image.drive.name], ['raw', EXTENT, 'src']);
  assert.deepEqual(results.map((r) => [r.status, r.bytesWritten, r.verify.differingBytes]), [['ok', EXTENT, 0], ['ok', EXTENT, 0]]);
  assertCloned(source, targets);

  const refused = await api.flash({ image: box.drivePath, drives: ['t1', 'src'], password: 'pw' }).then(
    () => assert.fail('the clone onto its source was accepted'), (err) => err);
  assert.deepEqual([refused.code, refused.message], ['ENODRIVE', `${box.drivePath}: the source drive cannot be a target`]);
});

test('flasher write SOURCE T1 T2 clones the drive', (t) => {
  const box = sandbox({ sudoPassword: 'pw' });
  t.after(() => box.cleanup());
  const { source, targets } = drives(box);
  const run = (args) => spawnSync(process.execPath, [path.join(root, 'cli.js'), 'write', ...args, '--yes', '--password-stdin'],
    { env: box.env, input: 'pw\n', encoding: 'utf8' });
  const refused = run(['src', 't1', 'src']);
  assert.equal(refused.status, 1);
  assert.match(refused.stderr, /drive\.img: the source drive cannot be a target/);

  const cloned = run(['src', 't1', 't2']);
  assert.equal(cloned.status, 0, cloned.stderr);
  assert.match(cloned.stderr, /^Image: +the drive src, read up to the end of its last partition/m);
  assert.match(cloned.stdout, /^t2: ok \(9\.0 MiB written.*verified: 0 differing bytes[^)]*\)$/m);
  assertCloned(source, targets);
});
