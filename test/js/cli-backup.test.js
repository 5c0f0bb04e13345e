'use strict';
// flasher backup over the stand-in tools: the summary with the output's SHA-256, the
// JSON lines, and a refusal before the password is asked for.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const { root, sandbox } = require('./harness');

const MiB = 1024 * 1024;
const flasher = (box, args, input) =>
  spawnSync(process.execPath, [path.join(root, 'cli.js'), ...args], { env: box.env, input, encoding: 'utf8' });

test('flasher backup: the summary, the JSON lines, and an existing output refused first', async (t) => {
  const box = sandbox({ diskSize: 8 * MiB, sudoPassword: 'pw' });
  t.after(() => box.cleanup());
  fs.writeFileSync(box.drivePath, crypto.randomBytes(8 * MiB));
  const output = path.join(box.dir, 'stick.img.zst');

  const made = flasher(box, ['backup', 'fakesd', output, '--password-stdin', '--no-bmap'], 'pw\n');
  assert.equal(made.status, 0, made.stderr);
  const sha256 = crypto.createHash('sha256').update(fs.readFileSync(output)).digest('hex');
  assert.match(made.stdout, new RegExp(`^Backed up 8\\.0 MiB in .* into ${output} \\(zstd\\): 8\\.0 MiB, 1\\.00:1$`, 'm'));
  assert.match(made.stdout, new RegExp(`^SHA-256: +${sha256}\\nBlock map: none$`, 'm'));
  assert.deepEqual(fs.readdirSync(box.dir).filter((f) => f.startsWith('stick')).sort(), ['stick.img.zst', 'stick.img.zst.sha256']);

  const refused = flasher(box, ['backup', 'fakesd', output], '');
  assert.equal(refused.status, 1);
  assert.match(refused.stderr, /stick\.img\.zst exists: give --force to replace it/);
  assert.doesNotMatch(refused.stderr, /password/);

  const again = flasher(box, ['backup', 'fakesd', output, '--force', '--format', 'xz', '--level', '0', '--json', '--password-stdin'], 'pw\n');
  assert.equal(again.status, 0, again.stderr);
  const lines = again.stdout.trim().split('\n').map((line) => JSON.parse(line));
  assert.ok(lines.some((l) => l.event === 'progress' && l.phase === 'backup' && l.outputBytes >= 0));
  const summary = lines.find((l) => l.event === 'summary');
  assert.equal(summary.ok, true);
  assert.equal(summary.result.report.image.format, 'xz');
  assert.equal(summary.result.sha256, crypto.createHash('sha256').update(fs.readFileSync(output)).digest('hex'));
  assert.equal(fs.existsSync(`${output}.bmap`), true);
});
