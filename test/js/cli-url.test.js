'use strict';
// The flasher command with an image at a URL: the block map found next to it (left out
// where the signed checksums file does not list it), a signed
// checksums file, the cache, and the summary of the source.
const test = require('node:test');
const assert = require('node:assert/strict');
const { execFile, execFileSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const { root, sandbox } = require('./harness');
const { serve } = require('./url-server');

const cli = path.join(root, 'cli.js');
const MiB = 1024 * 1024;

function run(args, env) {
  return new Promise((resolve) => {
    const child = execFile(process.execPath, [cli, ...args], { env }, (err, stdout, stderr) =>
      resolve({ code: err ? err.code : 0, stdout, stderr }));
    child.stdin.end('pw\n');
  });
}

test('write from a URL: the map next to it, the signed checksums, the cache and the source in the summary', async (t) => {
  const box = sandbox({ diskSize: 8 * MiB, sudoPassword: 'pw' });
  t.after(() => box.cleanup());
  const image = box.image(2 * MiB + 300, 'os.img');
  execFileSync('xz', ['-k', image.file]);
  execFileSync('bmaptool', ['-q', 'create', '-o', path.join(box.dir, 'os.img.bmap'), image.file]);
  const home = path.join(box.dir, 'gpg');
  fs.mkdirSync(home, { mode: 0o700 });
  const gpg = (...args) => execFileSync('gpg', ['--homedir', home, '--batch', '--yes', ...args], { stdio: 'pipe' });
  gpg('--passphrase', '', '--quick-gen-key', 'distro <distro@example.org>', 'ed25519', 'sign', 'never');
  const keyring = path.join(box.dir, 'distro.gpg');
  fs.writeFileSync(keyring, gpg('--export'));
  const xz = fs.readFileSync(`${image.file}.xz`);
  const bmap = fs.readFileSync(path.join(box.dir, 'os.img.bmap'));
  const sha256 = (bytes) => crypto.createHash('sha256').update(bytes).digest('hex');
  const sums = path.join(box.dir, 'SHA256SUMS');
  fs.writeFileSync(sums, `${crypto.createHash('sha256').update(xz).digest('hex')}  os.img.xz\n`);
  const server = await serve({
    '/os.img.xz': { bytes: xz },
    '/os.img.bmap': { bytes: fs.readFileSync(path.join(box.dir, 'os.img.bmap')) },
    '/SHA256SUMS': { bytes: fs.readFileSync(sums) },
    '/SHA256SUMS.gpg': { bytes: gpg('--detach-sign', '-o', '-', sums) },
    '/listing-the-map/SHA256SUMS': { bytes: Buffer.concat([fs.readFileSync(sums), Buffer.from(`${sha256(bmap)}  os.img.bmap\n`)]) },
  });
  t.after(() => server.close());
  const env = { ...box.env, XDG_CACHE_HOME: path.join(box.dir, 'cache') };
  const url = server.url('/os.img.xz');
  const args = ['write', url, 'fakesd', '--yes', '--password-stdin', '--checksums', server.url('/SHA256SUMS'), '--keyring', keyring, '--cache'];

  const first = await run([...args, '--json'], env);
  assert.equal(first.code, 0, first.stderr);
  const lines = first.stdout.trim().split('\n').map((line) => JSON.parse(line));
  assert.equal(lines.find((l) => l.event === 'start').image.blockMap, server.url('/os.img.bmap'));
  assert.ok(lines.some((l) => l.event === 'progress' && l.sourceTotal === xz.length));
  assert.deepEqual(lines.find((l) => l.event === 'summary').source, {
    location: url, fromCache: false, downloaded: xz.length, resumes: 0, checksum: 'matched',
    sha256: crypto.createHash('sha256').update(xz).digest('hex'),
    // The signature covers the image's line only: the map found beside it could leave blocks out.
    blockMapUnused: `${server.url('/SHA256SUMS')} does not list os.img.bmap`,
  });
  assert.ok(fs.readFileSync(box.drivePath).subarray(0, image.bytes.length).equals(image.bytes));

  const second = await run(args, env);
  assert.equal(second.code, 0, second.stderr);
  assert.match(second.stdout, new RegExp(`^Source: ${url.replace(/[.]/g, '\\.')} \\(from the cache, checksum matched, block map not used: .* does not list os\\.img\\.bmap, every block written\\)$`, 'm'));
  assert.match(second.stdout, /^fakesd: ok /m);

  const listing = await run(['write', url, 'fakesd', '--yes', '--password-stdin', '--json', '--checksums',
    server.url('/listing-the-map/SHA256SUMS')], env);
  assert.equal(listing.code, 0, listing.stderr);
  assert.equal(JSON.parse(listing.stdout.trim().split('\n').at(-1)).source.blockMapUnused, undefined);

  const listed = await run(['cache', 'list'], env);
  assert.match(listed.stdout, new RegExp(`^1 cached image in .*\n[0-9a-f]{16} .* ${url.replace(/[.]/g, '\\.')}$`, 'm'));
  assert.equal((await run(['cache', 'clear'], env)).stdout, `removed 1 cached image from ${path.join(env.XDG_CACHE_HOME, 'flasher')}\n`);
});
