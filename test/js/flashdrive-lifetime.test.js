'use strict';
// How a running job and the Node.js process live together, seen from a parent: a child
// node process starts a write held at its unmount by the stand-in udisksctl, and the
// test releases it once it knows where the child stands.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const { spawn } = require('node:child_process');
const { root } = require('./harness.js');
const { until, jobSandbox, listMounted, countCalls, fillDrive } = require('./flashdrive-helpers.js');

const entry = path.join(root, 'index.js');
const driveSize = 1 << 16;

// A script that sets up a FlashDrive for the sandbox drive and `image`; `body` uses it as `fd`.
function childScript(image, body) {
  return `
    const { FlashDrive } = require(${JSON.stringify(entry)});
    function setUp() {
      const fd = new FlashDrive();
      fd.setDrive('fakesd');
      fd.setImage(${JSON.stringify(image)});
      fd.setWriteBlock(4096);
      return fd;
    }
    ${body}
  `;
}

// Runs a node child in the sandbox's environment; `state.exit` is set when it has ended.
function runChild(box, script, nodeOptions = []) {
  const child = spawn(process.execPath, [...nodeOptions, '-e', script], {
    env: { ...process.env },
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  const state = { exit: null, stdout: '', stderr: '' };
  child.stdout.on('data', (data) => (state.stdout += data));
  child.stderr.on('data', (data) => (state.stderr += data));
  const ended = new Promise((resolve) => {
    child.on('close', (code, signal) => {
      state.exit = { code, signal };
      resolve(state.exit);
    });
  });
  state.ended = () => ended;
  box.onTeardown(() => state.exit || child.kill('SIGKILL'));
  return state;
}

function setUp(t) {
  const box = jobSandbox(t, { whoami: 'root', diskSize: driveSize });
  fillDrive(box, driveSize);
  // A mounted partition: the job calls udisksctl, where the hold stops it.
  listMounted(box, { size: driveSize });
  const image = box.image(2 * 4096 + 123);
  return { box, image };
}

function assertDriveHolds(box, bytes) {
  const drive = fs.readFileSync(box.drivePath);
  assert.ok(drive.subarray(0, bytes.length).equals(bytes), 'the drive holds the image');
}

test('a process whose only work is a running write lives until the write is done', async (t) => {
  const { box, image } = setUp(t);
  const hold = box.hold();
  const child = runChild(box, childScript(image.file, 'setUp().startWrite();'));

  await until('the write to reach its unmount', () => child.exit || countCalls(box, 'udisksctl unmount') >= 1);
  assert.strictEqual(child.exit, null, `the child exited while its write was held: ${child.stderr}`);
  hold.release();
  assert.deepStrictEqual(await child.ended(), { code: 0, signal: null }, child.stderr);
  assertDriveHolds(box, image.bytes);
});

test('a collected FlashDrive neither crashes the process nor stops its write', async (t) => {
  const { box, image } = setUp(t);
  const hold = box.hold();
  const body = `
    let collected = false;
    const registry = new FinalizationRegistry(() => { collected = true; });
    (() => {
      const fd = setUp();
      fd.startWrite();
      registry.register(fd, 'flash drive');
    })();
    (async () => {
      for (let i = 0; i < 200 && !collected; i++) {
        global.gc();
        await new Promise((resolve) => setTimeout(resolve, 5));
      }
      console.log(collected ? 'collected' : 'still referenced');
    })();
  `;
  const child = runChild(box, childScript(image.file, body), ['--expose-gc']);

  await until('the child to report', () => child.exit || (child.stdout.includes('\n') && countCalls(box, 'udisksctl unmount') >= 1));
  assert.strictEqual(child.exit, null, `the child exited while its write was held: ${child.stderr}`);
  assert.strictEqual(child.stdout, 'collected\n', 'the FlashDrive must be garbage collected while its write runs');
  hold.release();
  assert.deepStrictEqual(await child.ended(), { code: 0, signal: null }, child.stderr);
  assertDriveHolds(box, image.bytes);
});

test('a refused start keeps nothing alive', async (t) => {
  const { box, image } = setUp(t);
  const body = `
    const fd = setUp();
    fd.setWriteBlock(1000);
    try { fd.startWrite(); } catch (err) { console.log(err.message); }
    fd.setWriteBlock(4096);
    fd.setValidateBlock(1000);
    try { fd.startValidate(); } catch (err) { console.log(err.message); }
  `;
  const child = runChild(box, childScript(image.file, body));
  assert.deepStrictEqual(await child.ended(), { code: 0, signal: null }, child.stderr);
  assert.strictEqual(child.stdout, 'invalid write block size\ninvalid read block size\n');
});
