'use strict';
// The URL part of the benchmark (--only url): the xz ext4 image of the formats part
// served over HTTP from 127.0.0.1 by the tests' file server (test/js/url-server.js, a
// process of its own that reads the file from the disk at each request) and written
// onto the loop device, against the same xz file written from the disk. The page cache
// is dropped before each run and the order alternates. Each write is timed as a whole
// process, from its start to its exit, as a user would see it; the statistics'
// durations are given too. Target: the URL write at 0.95 of the file's speed or more.
const fs = require('node:fs');
const path = require('node:path');
const { spawn } = require('node:child_process');
const { MiB, run, dropCaches, median, addonJob, checkJob, assertLoopDevice } = require('./bench-common');
const { prepareImages } = require('./formats-bench');

const BLOCK = 4 * MiB;
const SERVER = path.join(__dirname, '..', 'test', 'js', 'url-server.js');

// Starts the server for `file`; resolves with its URL of the file.
function startServer(ctx, file) {
  const config = path.join(ctx.dir, 'url-server.json');
  fs.writeFileSync(config, JSON.stringify({ [`/${path.basename(file)}`]: { file, stream: true } }));
  const server = spawn(process.execPath, [SERVER, config], { stdio: ['ignore', 'pipe', 'inherit'] });
  ctx.hold(() => server.kill());
  return new Promise((resolve, reject) => {
    server.once('error', reject);
    server.once('exit', (code) => reject(new Error(`the url server ended (${code})`)));
    server.stdout.once('data', (line) => resolve(`${line.toString().trim()}/${path.basename(file)}`));
  });
}

async function runUrl(ctx) {
  const { env, device } = ctx;
  assertLoopDevice(device);
  const folder = ctx.images || path.join(ctx.dir, 'formats');
  fs.mkdirSync(folder, { recursive: true });
  const images = prepareImages(ctx, folder);
  const file = images.files.xz;
  const url = await startServer(ctx, file);
  const size = ctx.fsMiB * MiB;
  console.log(`url: ${path.basename(file)} (${(fs.statSync(file).size / MiB).toFixed(1)} MiB) from ${url}, ${ctx.reps} repetitions`);

  const runs = { file: [], url: [] };
  for (let rep = 0; rep < ctx.reps; rep += 1) {
    for (const source of rep % 2 === 0 ? ['file', 'url'] : ['url', 'file']) {
      dropCaches(device);
      const job = addonJob(env, 'write', device, source === 'url' ? url : file, BLOCK);
      checkJob(`addon write of the xz image from the ${source}`, job);
      if (rep === 0) {
        const same = run('cmp', ['-n', String(size), images.files.raw, device]);
        if (same.status !== 0) throw new Error(`after the write from the ${source} the device differs from the image`);
      }
      runs[source].push({ processSeconds: job.childMs / 1000, jobSeconds: job.stats.duration / 1000 });
      process.stdout.write('.');
    }
  }
  process.stdout.write('\n');
  const med = (source, key) => median(runs[source].map((r) => r[key]));
  const result = {
    image: path.basename(file),
    unit: 'seconds, medians; processSeconds from the start of the job\'s process to its exit, jobSeconds its statistics duration',
    file: { processSeconds: med('file', 'processSeconds'), jobSeconds: med('file', 'jobSeconds') },
    url: { processSeconds: med('url', 'processSeconds'), jobSeconds: med('url', 'jobSeconds') },
    runs,
  };
  result.ratio = result.file.processSeconds / result.url.processSeconds;
  result.ratioJob = result.file.jobSeconds / result.url.jobSeconds;
  result.targets = { urlAtLeast095OfFile: result.ratio >= 0.95 };
  console.log(`url: xz from the disk ${result.file.processSeconds.toFixed(2)} s, from the server ${result.url.processSeconds.toFixed(2)} s` +
    ` (whole processes): URL/file speed ${result.ratio.toFixed(3)}; by the jobs' durations ${result.ratioJob.toFixed(3)}`);
  console.log(`url target: urlAtLeast095OfFile ${result.targets.urlAtLeast095OfFile ? 'met' : 'MISSED'}`);
  return result;
}

module.exports = { runUrl };
