'use strict';
// An environment that ends while its job runs: a Worker terminated mid-write. The job
// is cancelled, its thread ends and closes the drive before the Worker is gone, and the
// process goes on to write in its main thread with nothing left behind.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const { once } = require('node:events');
const { Worker } = require('node:worker_threads');
const { sandbox } = require('./harness');
const { flash } = require('../../index.js');

const MiB = 1024 * 1024;
const PASSWORD = 'pw';

const WORKER = `
  const { parentPort, workerData } = require('node:worker_threads');
  const { flash } = require(workerData.entry);
  const onProgress = ({ bytes }) => { if (bytes > 0) parentPort.postMessage('writing'); };
  flash({ ...workerData.options, onProgress }).catch(() => {});
`;

const threads = () => fs.readdirSync('/proc/self/task').length;
const descriptors = () => fs.readdirSync('/proc/self/fd').length;

// Threads and descriptors of a Worker go a moment after terminate() settles.
async function settled(count, expected) {
  for (let waited = 0; count() !== expected && waited < 5000; waited += 50) await new Promise((r) => setTimeout(r, 50));
  return count();
}

test('ten Workers terminated mid-write leave the process as it was', { timeout: 300000 }, async (t) => {
  const box = sandbox({ diskSize: 256 * MiB, sudoPassword: PASSWORD });
  t.after(() => box.cleanup());
  const image = box.image(256 * MiB);
  const options = { image: image.file, drive: 'fakesd', password: PASSWORD, verify: false, capacityCheck: false };
  await flash({ ...options, blockSize: MiB });  // the thread pools of the process, started once
  const before = { threads: threads(), descriptors: descriptors() };

  for (let round = 0; round < 10; round += 1) {
    const worker = new Worker(WORKER, { eval: true, workerData: { entry: require.resolve('../../index.js'), options } });
    await once(worker, 'message');
    await worker.terminate();
    const open = fs.readdirSync('/proc/self/fd').map((fd) => {
      try {
        return fs.readlinkSync(`/proc/self/fd/${fd}`);
      } catch {
        return '';
      }
    });
    assert.ok(!open.includes(box.drivePath), `round ${round}: the drive is still open`);
  }

  const written = await flash(options);
  assert.equal(written.bytesWritten, image.bytes.length);
  assert.ok(fs.readFileSync(box.drivePath).equals(image.bytes), 'the main thread wrote the whole image');
  assert.equal(await settled(threads, before.threads), before.threads, 'threads');
  assert.equal(await settled(descriptors, before.descriptors), before.descriptors, 'descriptors');
});
