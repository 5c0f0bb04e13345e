'use strict';
// Images from URLs through the promise API, against a server of the test's own on
// 127.0.0.1 (url-server.js): the download streamed onto the drives, its resumes, the
// checksums, the cache, and the first MiB written last. The signatures are checked in
// test/native/origin and through the command line (cli-url.test.js).
const test = require('node:test');
const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const { disk, sandbox } = require('./harness');
const { serve } = require('./url-server');
const api = require('../../index.js');

const PASSWORD = 'pw';
const MiB = 1024 * 1024;
const flash = (options) => api.flash({ password: PASSWORD, blockSize: 256 * 1024, ...options });
const failure = (promise) => promise.then(() => assert.fail('the promise resolved'), (err) => err);
const sha256 = (bytes) => crypto.createHash('sha256').update(bytes).digest('hex');
const zeros = (size) => Buffer.alloc(size);

// An image that compresses (repeated random runs), 3 MiB and a bit, and its xz file.
function makeImage(box) {
  const run = crypto.randomBytes(64 * 1024);
  const bytes = Buffer.concat([...Array(48)].map((_, i) => (i % 3 ? run : crypto.randomBytes(64 * 1024)))).subarray(0, 3 * MiB + 5000);
  const raw = path.join(box.dir, 'os.img');
  fs.writeFileSync(raw, bytes);
  execFileSync('xz', ['-k', '-T2', '--block-size=1MiB', raw]);
  return { bytes, raw, xz: fs.readFileSync(`${raw}.xz`) };
}

const noFiles = () => ({});
const blank = (file) => fs.writeFileSync(file, Buffer.alloc(8 * MiB, 0xaa));

// A sandbox with `count` file drives of 8 MiB filled with 0xAA, the image, and a server
// of the image (raw and xz) and of the files `files(image)` gives.
async function setUp(t, { count = 1, files = noFiles, tls } = {}) {
  const box = sandbox({ sudoPassword: PASSWORD });
  const drives = [...Array(count)].map((_, i) => path.join(box.dir, `sd${i}.img`));
  drives.forEach(blank);
  box.list(drives.map((file, i) => disk({ name: `sd${i}`, file, size: 8 * MiB })));
  const image = makeImage(box);
  const server = await serve({ '/os.img.xz': { bytes: image.xz }, '/os.img': { bytes: image.bytes }, ...files(image) }, { tls });
  t.after(async () => {
    await server.close();
    box.cleanup();
  });
  return { box, drives, image, server, stored: (i = 0) => fs.readFileSync(drives[i]) };
}

test('an xz image over HTTP lands as the same file does from the disk; inspect() reads its records', async (t) => {
  const { image, server, stored } = await setUp(t, { count: 2 });
  const url = server.url('/os.img.xz');
  assert.deepEqual(await api.inspect(url), { format: 'xz', fileSize: image.xz.length, size: image.bytes.length });
  assert.deepEqual(await api.inspect(`${image.raw}.xz`), { format: 'xz', fileSize: image.xz.length, size: image.bytes.length });

  const reports = [];
  const fromUrl = await flash({ image: url, drive: 'sd0', onProgress: (p) => reports.push(p) });
  await flash({ image: `${image.raw}.xz`, drive: 'sd1' });
  assert.ok(stored(0).equals(stored(1)), 'the drives differ');
  assert.ok(stored(0).subarray(0, image.bytes.length).equals(image.bytes));
  assert.deepEqual(fromUrl.image, { format: 'xz', size: image.bytes.length });
  assert.deepEqual(fromUrl.report.source, {
    location: url, fromCache: false, downloaded: image.xz.length, resumes: 0, checksum: 'not checked', sha256: '',
  });
  const writes = reports.filter((p) => p.phase === 'write');
  assert.ok(writes.every((p, i) => i === 0 || (p.bytes >= writes[i - 1].bytes && p.sourceBytes >= writes[i - 1].sourceBytes)));
  assert.deepEqual([writes.at(-1).sourceBytes, writes.at(-1).sourceTotal], [image.xz.length, image.xz.length]);
});

test('a drop at 40 % resumes with the bytes exact; without ranges, one restart or ENETWORK once bytes were written', async (t) => {
  const files = ({ xz, bytes }) => ({
    '/drop.img.xz': { bytes: xz, dropAfter: Math.floor(xz.length * 0.4) },
    '/early.img': { bytes, noRanges: true, dropAfter: 1000 },
    '/late.img': { bytes, noRanges: true, dropAfter: Math.floor(bytes.length * 0.6) },
  });
  const { drives, image, server, stored } = await setUp(t, { files });
  for (const name of ['/drop.img.xz', '/early.img']) {
    const result = await flash({ image: server.url(name), drive: 'sd0' });
    assert.equal(result.report.source.resumes, 1, name);
    assert.ok(stored().subarray(0, image.bytes.length).equals(image.bytes), name);
  }
  blank(drives[0]);
  const err = await failure(flash({ image: server.url('/late.img'), drive: 'sd0' }));
  assert.equal(err.code, 'ENETWORK');
  assert.match(err.message, /^download failed: the server cannot resume the download after \d+ bytes$/);
  assert.ok(stored().subarray(0, MiB).equals(zeros(MiB)), 'the first MiB is not zero');
});

test('checksums: a wrong sha256 or a wrong line fails with the first MiB zero; a missing line leaves the drive untouched', async (t) => {
  const files = ({ xz, bytes }) => ({
    '/altered.img': { bytes, alter: 2 * MiB },
    '/SHA256SUMS': { bytes: Buffer.from(`${sha256('other')}  os.img.xz\n`) },
    '/NOLINE': { bytes: Buffer.from(`${sha256(xz)}  other.img.xz\n`) },
    '/BSD': { bytes: Buffer.from(`SHA256 (os.img.xz) = ${sha256(xz)}\n`) },
  });
  const { drives, image, server, stored } = await setUp(t, { files });
  const url = server.url('/os.img.xz');
  const expected = (digest) => `image checksum mismatch: expected ${digest}, got ${sha256(image.xz)}`;
  for (const [options, digest] of [[{ sha256: '0'.repeat(64) }, '0'.repeat(64)], [{ checksums: server.url('/SHA256SUMS') }, sha256('other')]]) {
    const err = await failure(flash({ image: url, drive: 'sd0', ...options }));
    assert.deepEqual([err.code, err.message], ['ECHECKSUM', expected(digest)]);
    assert.ok(stored().subarray(0, MiB).equals(zeros(MiB)), 'the first MiB is not zero');
    assert.ok(stored().subarray(MiB, image.bytes.length).equals(image.bytes.subarray(MiB)));
    assert.equal(err.report.source.checksum, 'mismatched');
  }
  // A mirror that serves a flipped byte: the first MiB stays zero.
  const altered = await failure(flash({ image: server.url('/altered.img'), drive: 'sd0', sha256: sha256(image.bytes) }));
  assert.equal(altered.code, 'ECHECKSUM');
  assert.ok(stored().subarray(0, MiB).equals(zeros(MiB)), 'the first MiB is not zero');

  blank(drives[0]);
  const refused = await failure(flash({ image: url, drive: 'sd0', checksums: server.url('/NOLINE') }));
  assert.deepEqual([refused.code, refused.message], ['ECHECKSUM', `no checksum for os.img.xz in ${server.url('/NOLINE')}`]);
  assert.ok(stored().equals(Buffer.alloc(8 * MiB, 0xaa)), 'the drive was touched');

  const local = await flash({ image: `${image.raw}.xz`, drive: 'sd0', checksums: server.url('/BSD') });
  assert.equal(local.report.source.checksum, 'matched');
});

test('the cache: a second write takes the image from it with the server stopped', async (t) => {
  const { box, drives, image, server, stored } = await setUp(t);
  process.env.XDG_CACHE_HOME = path.join(box.dir, 'cache');
  const options = { image: server.url('/os.img.xz'), drive: 'sd0', cache: true, sha256: sha256(image.xz) };
  const first = await flash(options);
  assert.deepEqual([first.report.source.fromCache, first.report.source.checksum], [false, 'matched']);
  assert.deepEqual(api.listCache().map((e) => [e.sha256, e.url, e.size]), [[sha256(image.xz), options.image, image.xz.length]]);

  await server.close();
  blank(drives[0]);
  const second = await flash(options);
  assert.deepEqual([second.report.source.fromCache, second.report.source.downloaded], [true, 0]);
  assert.ok(stored().subarray(0, image.bytes.length).equals(image.bytes));
  assert.equal(api.clearCache(), 1);
});

test('the cache without a digest: found by URL while the ETag holds, downloaded again once the file changed', async (t) => {
  const { box, image, server, stored } = await setUp(t);
  process.env.XDG_CACHE_HOME = path.join(box.dir, 'cache');
  const options = { image: server.url('/os.img'), drive: 'sd0', cache: true };
  const fromCache = async () => (await flash(options)).report.source.fromCache;
  assert.deepEqual([await fromCache(), await fromCache()], [false, true]);
  const other = crypto.randomBytes(image.bytes.length);
  server.replace('/os.img', other);
  assert.equal(await fromCache(), false);
  assert.ok(stored().subarray(0, other.length).equals(other));
  assert.equal(api.listCache().length, 2);
});

test('a cancelled download leaves the first MiB zero', async (t) => {
  const files = ({ bytes }) => ({ '/slow.img': { bytes, throttle: 2 * MiB } });
  const { image, server, stored } = await setUp(t, { files });
  const controller = new AbortController();
  const onProgress = (p) => {
    if (p.sourceBytes > 2 * MiB) controller.abort();
  };
  const err = await failure(flash({ image: server.url('/slow.img'), drive: 'sd0', signal: controller.signal, onProgress }));
  assert.equal(err.name, 'AbortError');
  const drive = stored();
  assert.ok(drive.subarray(0, MiB).equals(zeros(MiB)), 'the first MiB is not zero');
  assert.ok(drive.subarray(MiB, MiB + 256 * 1024).equals(image.bytes.subarray(MiB, MiB + 256 * 1024)), 'nothing was written');
});

test('an abort settles within a second in every request of the opening, the drive untouched', async (t) => {
  const sums = ({ bytes }) => Buffer.from(`${sha256(bytes)}  os.img\n`);
  const files = (image) => ({
    '/trickled/os.img': { bytes: image.bytes, trickle: 0 },
    '/trickled/os.img.xz': { bytes: image.xz, trickle: 1 },  // its body, then the index trickles
    '/trickled/SHA256SUMS': { bytes: sums(image), trickle: 0 },
    '/SHA256SUMS': { bytes: sums(image) },
    '/SHA256SUMS.gpg': { bytes: Buffer.alloc(100), trickle: 0 },
    '/trickled/os.img.bmap': { bytes: Buffer.alloc(100), trickle: 0 },
  });
  const { box, server, stored } = await setUp(t, { files });
  const keyring = path.join(box.dir, 'keyring.gpg');
  fs.writeFileSync(keyring, '');
  const phases = [
    { phase: 'checksums file', trickled: '/trickled/SHA256SUMS', options: { checksums: server.url('/trickled/SHA256SUMS') } },
    { phase: 'signature', trickled: '/SHA256SUMS.gpg', options: { checksums: server.url('/SHA256SUMS'), keyring } },
    { phase: 'block map', trickled: '/trickled/os.img.bmap', options: { blockMap: server.url('/trickled/os.img.bmap') } },
    { phase: 'xz index', trickled: '/trickled/os.img.xz', image: '/trickled/os.img.xz', requests: 2 },
    { phase: 'body', trickled: '/trickled/os.img', image: '/trickled/os.img' },
  ];
  const before = stored();
  for (const { phase, trickled, options, image = '/os.img', requests = 1 } of phases) {
    const controller = new AbortController();
    const written = failure(flash({ image: server.url(image), drive: 'sd0', signal: controller.signal, ...options }));
    await server.requested(trickled, server.requests(trickled) + requests);
    const abortedAt = Date.now();
    controller.abort();
    const err = await written;
    assert.equal(err.code, 'ABORT_ERR', phase);
    assert.ok(Date.now() - abortedAt < 1000, `${phase}: settled ${Date.now() - abortedAt} ms after the abort`);
  }
  assert.ok(stored().equals(before), 'the drive was touched');
});

test('a group write from one URL onto 3 drives downloads it once', async (t) => {
  const { image, server, stored } = await setUp(t, { count: 3 });
  const { results } = await flash({ image: server.url('/os.img.xz'), drives: ['sd0', 'sd1', 'sd2'] });
  assert.deepEqual(results.map((r) => r.status), ['ok', 'ok', 'ok']);
  for (const i of [0, 1, 2]) assert.ok(stored(i).subarray(0, image.bytes.length).equals(image.bytes), `drive ${i}`);
  // Besides the one download, only the range requests that read the xz index.
  assert.equal(server.wholeDownloads('/os.img.xz'), 1);
  assert.ok(results.every((r) => r.report.source.downloaded === image.xz.length));
});

test('HTTPS with a certificate the test makes, named by CURL_CA_BUNDLE', async (t) => {
  const dir = fs.mkdtempSync(path.join(require('node:os').tmpdir(), 'flasher-tls-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const [key, cert] = ['key.pem', 'cert.pem'].map((name) => path.join(dir, name));
  execFileSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes', '-days', '1',
    '-subj', '/CN=127.0.0.1', '-addext', 'subjectAltName=IP:127.0.0.1', '-keyout', key, '-out', cert], { stdio: 'pipe' });
  const files = () => ({ '/moved.img': { bytes: Buffer.alloc(1), redirect: 'http://127.0.0.1:9/os.img' } });
  const { image, server, stored } = await setUp(t, { files, tls: { key: fs.readFileSync(key), cert: fs.readFileSync(cert) } });
  delete process.env.CURL_CA_BUNDLE;  // the machine's own authorities do not know the test's certificate
  const untrusted = await failure(flash({ image: server.url('/os.img'), drive: 'sd0' }));
  assert.equal(untrusted.code, 'ENETWORK');
  process.env.CURL_CA_BUNDLE = cert;
  await flash({ image: server.url('/os.img'), drive: 'sd0' });
  assert.ok(stored().subarray(0, image.bytes.length).equals(image.bytes));
  const downgraded = await failure(flash({ image: server.url('/moved.img'), drive: 'sd0' }));
  assert.equal(downgraded.code, 'ENETWORK');
  assert.match(downgraded.message, /redirect to another protocol was refused/);
});

test('without libcurl an image at a URL fails with ENETWORK', (t) => {
  const box = sandbox({ sudoPassword: PASSWORD });
  t.after(() => box.cleanup());
  const libraries = path.join(box.dir, 'lib');
  fs.mkdirSync(libraries);
  fs.writeFileSync(path.join(libraries, 'libcurl.so.4'), '');  // found first, and no library
  const script = `require(${JSON.stringify(path.join(__dirname, '../../index.js'))})
    .inspect('http://127.0.0.1:9/x.img').catch((err) => console.log(err.code, err.message))`;
  const out = execFileSync(process.execPath, ['-e', script], { env: { ...box.env, LD_LIBRARY_PATH: libraries }, encoding: 'utf8' });
  assert.equal(out, 'ENETWORK libcurl is not available\n');
});
