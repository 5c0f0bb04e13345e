'use strict';
// The promise API over the stand-in tools: a write with its verification, the
// progress reports, an abort, and the code of each failure (those of a user who is not
// root: promise-api-user.test.js, since a process asks once who it runs as).
const test = require('node:test');
const assert = require('node:assert/strict');
const { execFileSync, execFile } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { disk, sandbox } = require('./harness');
const api = require('../../index.js');

// A caller who is not root gives the password that the stand-in sudo accepts.
const PASSWORD = 'pw';
const { listDrives } = api;
const flash = (options) => api.flash({ password: PASSWORD, ...options });
const verify = (options) => api.verify({ password: PASSWORD, ...options });

const MiB = 1024 * 1024;
const failure = (promise) => promise.then(() => assert.fail('the promise resolved'), (err) => err);

function fifoDrive(box, size) {
  const fifo = path.join(box.dir, 'drive.fifo');
  execFileSync('mkfifo', [fifo]);
  box.list([disk({ file: fifo, size })]);
  return fifo;
}

test('listDrives shows the drive, and flash writes the image and verifies it', async (t) => {
  const box = sandbox({ diskSize: 4 * MiB, sudoPassword: PASSWORD });
  t.after(() => box.cleanup());
  const image = box.image(MiB + 100);
  const drive = {
    name: 'fakesd', path: box.drivePath, size: 4 * MiB, model: 'Flash Disk', vendor: 'Test',
    removable: true, hotplug: true, sectorSize: 512, serial: 'FD0001', port: null, partitions: [],
  };
  assert.deepEqual(await listDrives(), [drive]);

  const result = await flash({ image: image.file, drive: 'fakesd', blockSize: 64 * 1024 });
  for (const ms of [result.durationMs, result.verify.durationMs]) assert.ok(Number.isInteger(ms) && ms >= 0);
  assert.deepEqual(result, {
    drive, image: { format: 'raw', size: MiB + 100 }, bytesWritten: MiB + 100, durationMs: result.durationMs,
    verify: { differingBytes: 0, ranges: [], durationMs: result.verify.durationMs },
    steps: {
      repair: { status: 'skipped', message: 'nothing differs', firstPassDifferingBytes: 0, ranges: [], passes: [{ differingBytes: 0, ranges: [] }] },
      gpt: { status: 'skipped', message: 'no GPT', sectors: [], imageSectors: [] },
      files: { status: 'skipped', message: 'none given', files: [] },
      eject: { status: 'skipped', message: 'not asked for' },
    },
    report: { errors: [], dataComplete: true, bytes: MiB + 100, image: { format: 'raw', size: MiB + 100, blockMap: false } },
  });
  assert.ok(fs.readFileSync(box.drivePath).subarray(0, MiB + 100).equals(image.bytes));
});

test('onProgress: bytes never decrease, every block shows, and 100 % comes once, last', async (t) => {
  const box = sandbox({ sudoPassword: PASSWORD });
  t.after(() => box.cleanup());
  const fifo = fifoDrive(box, 128 * MiB);
  const image = box.image(64 * MiB);
  const reports = [];
  let waiting = null;
  const onProgress = (progress) => {
    reports.push(progress);
    if (waiting && progress.bytes >= waiting.bytes) waiting.resolve();
  };
  const reported = (bytes) => new Promise((resolve) => {
    if (reports.some((r) => r.bytes >= bytes)) resolve();
    else waiting = { bytes, resolve };
  });
  // A FIFO holds no signatures to read back: no capacity check; and the blocks come in
  // the image's order.
  const job = flash({
    image: image.file, drive: 'fakesd', blockSize: 4 * MiB, verify: false, capacityCheck: false, firstBlockLast: false, onProgress,
  });

  // Each block waits for this reader, and the reader for the block's report.
  const drive = await fs.promises.open(fifo, 'r');
  const block = Buffer.alloc(4 * MiB);
  for (let done = 0; done < 64 * MiB; done += block.length) {
    for (let got = 0; got < block.length;) got += (await drive.read(block, got, block.length - got)).bytesRead;
    assert.ok(block.equals(image.bytes.subarray(done, done + block.length)), `block at ${done}`);
    await reported(done + block.length);
  }
  await drive.close();
  await job;

  assert.ok(reports.every((r) => r.phase === 'write' && r.total === 64 * MiB && r.drive.name === 'fakesd'));
  assert.ok(reports.every((r, i) => i === 0 || r.bytes >= reports[i - 1].bytes), 'bytes decreased');
  assert.ok(reports.filter((r) => r.bytes > 0 && r.bytes < 64 * MiB).length >= 15, 'a report per block');
  assert.deepEqual(reports.filter((r) => r.bytes === 64 * MiB), [reports.at(-1)]);
  assert.equal(reports.at(-1).eta, 0);
});

test('an abort in the middle rejects with AbortError after the end steps; the process then exits', { timeout: 60000 }, async (t) => {
  const box = sandbox({ sudoPassword: PASSWORD });
  t.after(() => box.cleanup());
  const fifo = fifoDrive(box, 64 * MiB);
  const image = box.image(8 * MiB);
  const program = path.join(__dirname, 'flash-abort-program.js');
  const stdout = await new Promise((resolve, reject) => {
    execFile(process.execPath, [program, image.file, String(MiB), fifo], { env: box.env }, (err, out) =>
      (err ? reject(err) : resolve(out)));
  });
  // The abort came during the second block, which the job finished before stopping;
  // the drive refresh of its end steps ran before the promise settled.
  assert.deepEqual(JSON.parse(stdout), { name: 'AbortError', consumed: [2 * MiB], toolCalls: box.calls().length });
});

test('a group write: one refused drive starts none and is named; an abort ends every drive', { timeout: 60000 }, async (t) => {
  const box = sandbox({ sudoPassword: PASSWORD });
  t.after(() => box.cleanup());
  const fifos = ['a', 'b', 'c'].map((name) => path.join(box.dir, `sd${name}.fifo`));
  for (const fifo of fifos) execFileSync('mkfifo', [fifo]);
  const listing = (sizes) => box.list(fifos.map((file, i) => disk({ name: path.basename(file), file, size: sizes[i] })));
  const image = box.image(8 * MiB);

  listing([64 * MiB, 4 * MiB, 64 * MiB]);
  const refused = await failure(flash({ image: image.file, drives: fifos, capacityCheck: false }));
  assert.equal(refused.code, 'ETOOSMALL');
  assert.equal(refused.message, `${fifos[1]}: drive is too small for given image (${8 * MiB} bytes decoded, the drive holds ${4 * MiB})`);

  listing([64 * MiB, 64 * MiB, 64 * MiB]);
  const program = path.join(__dirname, 'flash-abort-program.js');
  const stdout = await new Promise((resolve, reject) => {
    execFile(process.execPath, [program, image.file, String(MiB), ...fifos], { env: box.env }, (err, out) =>
      (err ? reject(err) : resolve(out)));
  });
  const settled = JSON.parse(stdout);
  assert.equal(settled.name, 'AbortError');
  assert.ok(settled.consumed.every((bytes) => bytes === MiB || bytes === 2 * MiB), `${settled.consumed}`);
});

// [code, message, sandbox options, the failing call]
const failures = [
  ['ENODRIVE', /^required drive nosuch is not available$/, {}, (box, image) => flash({ image, drive: 'nosuch' })],
  ['ENODRIVE', /^drive is not external\/removable$/, {}, (box, image) => {
    box.list([disk({ file: box.drivePath, rm: false, hotplug: false })]);
    return flash({ image, drive: 'fakesd' });
  }],
  ['ETOOSMALL', /^drive is too small for given image \(\d+ bytes decoded, the drive holds \d+\)$/, {},
    (box) => flash({ image: box.image(8 * MiB + 512).file, drive: 'fakesd' })],
  ['EIMAGE', /^failed to determine size of .*missing\.img : image file may not exist$/, {},
    (box) => flash({ image: path.join(box.dir, 'missing.img'), drive: 'fakesd' })],
  ['EIMAGE', /^.* is a directory, not an image file$/, {}, (box) => flash({ image: box.dir, drive: 'fakesd' })],
  ['EWRITE', /^failed to open device: Is a directory$/, {}, (box, image) => {
    box.list([disk({ file: box.dir, size: 8 * MiB })]);
    return flash({ image, drive: 'fakesd' });
  }],
  ['EVERIFY', /^\d+ bytes differ between the drive and the image$/, {}, (box, image) => verify({ image, drive: 'fakesd' })],
  ['EBUSY', /^a job is running on this device$/, {}, async (box, image) => {
    const both = await Promise.allSettled([flash({ image, drive: 'fakesd' }), flash({ image, drive: 'fakesd' })]);
    assert.deepEqual(both.map((r) => r.status).sort(), ['fulfilled', 'rejected']);
    throw both.find((r) => r.status === 'rejected').reason;
  }],
];

test('each failure rejects with its code and the engine text', async () => {
  for (const [code, message, options, call] of failures) {
    const box = sandbox({ diskSize: 8 * MiB, sudoPassword: PASSWORD, ...options });
    try {
      const image = box.image(4096);
      const err = await failure(call(box, image.file));
      assert.equal(err.code, code, `${code}: ${err.stack}`);
      assert.match(err.message, message);
      if (code === 'EVERIFY') assert.equal(err.differingBytes, image.bytes.filter((b) => b !== 0).length);
    } finally {
      box.cleanup();
    }
  }
});

test('an option key that no call takes is refused before anything runs, naming the nearest', async (t) => {
  const box = sandbox({ sudoPassword: PASSWORD });
  t.after(() => box.cleanup());
  const image = box.image(4096).file;
  for (const [call, options, message] of [
    [flash, { image, drive: 'fakesd', verfy: false }, 'options.verfy is not an option; did you mean options.verify?'],
    [verify, { image, drive: 'fakesd', writeMode: 'direct' }, 'options.writeMode is not an option; did you mean options.drive?'],
    [listDrives, { loops: true }, 'options.loops is not an option; did you mean options.loop?'],
  ]) {
    const err = await failure(call(options));
    assert.ok(err instanceof TypeError, err.stack);
    assert.equal(err.message, message);
  }
  assert.deepEqual(box.calls(), []);
});
