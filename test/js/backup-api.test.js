'use strict';
// backup() over the stand-in tools, on file drives: the result and its progress
// reports, the refusals and their codes, and an abort that keeps nothing. The process
// asks once who it runs as: this file runs as alice throughout.
const test = require('node:test');
const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const { sandbox, systemTool } = require('./harness');
const api = require('../../index.js');

const PASSWORD = 'pw';
const backup = (options) => api.backup({ password: PASSWORD, ...options });
const MiB = 1024 * 1024;
const failure = (promise) => promise.then(() => assert.fail('the promise resolved'), (err) => err);

function aliceBox(diskSize) {
  const box = sandbox({ diskSize, whoami: 'alice', sudoPassword: PASSWORD });
  process.env.FAKE_SU_ACCOUNTS = 'alice';
  return box;
}

// A drive of random bytes, its partition table ending at `extent`, zeros from 1 MiB on
// up to 3 MiB.
function randomDrive(box, size, extent) {
  const bytes = crypto.randomBytes(size);
  bytes.fill(0, MiB, 3 * MiB);
  fs.writeFileSync(box.drivePath, bytes);
  execFileSync(systemTool('sfdisk'), ['-q', box.drivePath], { input: `label: dos\nstart=2048, size=${extent / 512 - 2048}\n` });
  return fs.readFileSync(box.drivePath);
}

test('backup() to a sparse .img: the result, the progress reports, and the drive opened through sudo', async (t) => {
  const box = aliceBox(16 * MiB);
  t.after(() => box.cleanup());
  const extent = 10 * MiB;
  const drive = randomDrive(box, 16 * MiB, extent);
  const output = path.join(box.dir, 'backup.img');
  const reports = [];
  const result = await backup({ drive: 'fakesd', output, onProgress: (p) => reports.push(p) });

  const sha256 = crypto.createHash('sha256').update(drive.subarray(0, extent)).digest('hex');
  assert.deepEqual(result, {
    bytesRead: extent, outputBytes: extent, sha256, blockMap: `${output}.bmap`, durationMs: result.durationMs,
    report: {
      errors: [], dataComplete: true, bytes: extent, image: { format: 'raw', size: extent, blockMap: true },
      backup: {
        output, extent: 'partitions', outputBytes: extent, sha256, blockMap: `${output}.bmap`, checksumFile: `${output}.sha256`,
      },
    },
  });
  assert.ok(fs.readFileSync(output).equals(drive.subarray(0, extent)));
  assert.ok(reports.every((r) => r.phase === 'backup' && r.drive.name === 'fakesd'));
  assert.ok(reports.every((r, i) => i === 0 || (r.bytes >= reports[i - 1].bytes && r.outputBytes >= reports[i - 1].outputBytes)));
  assert.deepEqual(reports.at(-1), { ...reports.at(-1), bytes: extent, total: extent, outputBytes: extent, eta: 0 });
  // Read access for this user alone, put back as it was after.
  const access = box.calls().filter((call) => call.startsWith('sudo -S -k setfacl'));
  assert.deepEqual(access.filter((call) => call.includes(' -m ')), [`sudo -S -k setfacl -m u:${process.getuid()}:r -- ${box.drivePath} [accepted]`]);
  assert.equal(access.filter((call) => call.includes(' --set ') && call.endsWith('[accepted]')).length, 1);
});

test('refusals: each with its code, and nothing written', async (t) => {
  const box = aliceBox(4 * MiB);
  t.after(() => box.cleanup());
  const taken = path.join(box.dir, 'taken.img');
  fs.writeFileSync(taken, 'an earlier backup');
  const cases = [
    [{ drive: 'nosuch', output: path.join(box.dir, 'a.img') }, 'ENODRIVE', /^required drive nosuch is not available$/],
    [{ drive: 'fakesd', output: taken }, 'EOUTPUT', /taken\.img exists/],
    [{ drive: 'fakesd', output: path.join(box.dir, 'a.bin') }, 'ERR_INVALID_ARG_VALUE', /does not tell its format/],
    [{ drive: 'fakesd', output: path.join(box.dir, 'a.zst'), level: 20 }, 'ERR_INVALID_ARG_VALUE', /^level must be .* 1 to 19 for zstd$/],
    [{ drive: 'fakesd', output: path.join(box.dir, 'a.img'), extent: 'half' }, 'ERR_INVALID_ARG_VALUE', /^options\.extent must be/],
  ];
  for (const [options, code, message] of cases) {
    const err = await failure(backup(options));
    assert.equal(err.code, code, err.stack);
    assert.match(err.message, message);
  }
  assert.deepEqual(fs.readdirSync(box.dir).sort(), ['drive.img', 'lsblk.json', 'taken.img', 'tool-calls.log']);
  assert.equal(fs.readFileSync(taken, 'utf8'), 'an earlier backup');
});

test('an abort in the middle rejects with AbortError and keeps no output', { timeout: 120000 }, async (t) => {
  const box = aliceBox(48 * MiB);
  t.after(() => box.cleanup());
  randomDrive(box, 48 * MiB, 48 * MiB - 512 * 1024);
  const controller = new AbortController();
  const onProgress = (p) => p.bytes > 0 && controller.abort();
  const output = path.join(box.dir, 'drive.img.gz');
  const err = await failure(backup({ drive: 'fakesd', output, level: 9, signal: controller.signal, onProgress }));
  assert.equal(err.name, 'AbortError');
  assert.ok(err.report.bytes > 0 && err.report.bytes < 48 * MiB, `${err.report.bytes} bytes read`);
  assert.deepEqual(fs.readdirSync(box.dir).filter((name) => name.includes('drive.img.')), []);
});
