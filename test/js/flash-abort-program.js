'use strict';
// Run as a child by promise-api.test.js: aborts a write in the middle, prints how the
// promise settled, and never calls process.exit, so its exit shows that nothing kept
// it alive. Each drive is a FIFO read here: one block, the abort, then the rest. With
// several FIFOs, one group write goes to all of them; each drive prepares and goes at
// its own pace, so the abort comes once every drive has written its first block.
// Usage: node flash-abort-program.js IMAGE BLOCK_SIZE FIFO [FIFO ...]
const fs = require('node:fs');
const { flash } = require('../../index.js');

const [image, blockText, ...fifos] = process.argv.slice(2);
const blockSize = Number(blockText);
const controller = new AbortController();
let aborted;
const abortedOnce = new Promise((resolve) => { aborted = resolve; });
const started = new Set();
const onProgress = (progress) => {
  if (progress.bytes >= blockSize) started.add(progress.drive.path);
  if (started.size < fifos.length || controller.signal.aborted) return;
  controller.abort();
  aborted();
};
const toolCalls = () => fs.readFileSync(process.env.FAKE_TOOL_LOG, 'utf8').split('\n').filter(Boolean).length;

async function readDrive(fifo) {
  const drive = await fs.promises.open(fifo, 'r');
  const buffer = Buffer.alloc(blockSize);
  let consumed = 0;
  for (let n; (n = (await drive.read(buffer, 0, blockSize - (consumed % blockSize))).bytesRead) > 0;) {
    consumed += n;
    if (consumed === blockSize) await abortedOnce;
  }
  await drive.close();
  return consumed;
}

const reading = Promise.all(fifos.map(readDrive));
// A FIFO holds no signatures to read back: no capacity check; its first block is the
// image's, not zeros standing in for it.
const target = fifos.length === 1 ? { drive: 'fakesd' } : { drives: fifos };
flash({
  image, ...target, password: process.env.FAKE_SUDO_PASSWORD, blockSize, verify: false, capacityCheck: false, firstBlockLast: false,
  signal: controller.signal, onProgress,
}).then(
  () => console.log(JSON.stringify({ settled: 'resolved' })),
  async (err) => console.log(JSON.stringify({ name: err.name, consumed: await reading, toolCalls: toolCalls() }))
);
