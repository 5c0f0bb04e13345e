'use strict';
// One measured job of the benchmark, in a process of its own so that its peak resident
// memory belongs to that job alone. Prints one JSON line and exits once the job's
// thread has ended.
//   node bench/flash-job.js idle
//   node bench/flash-job.js write|validate|write-validate DRIVE IMAGE BLOCK_BYTES [BLOCK_MAP] [direct]
//   node bench/flash-job.js group DRIVE,DRIVE,... IMAGE BLOCK_BYTES [direct]
//   node bench/flash-job.js flash DRIVE,DRIVE,... IMAGE BLOCK_BYTES
// write-validate writes, drops the page cache, then validates: the validation right
// after a write, which reads the drive alone. group writes every drive from one read
// of the image. The drive listing comes from the stand-in tools the benchmark puts on
// PATH. Besides the statistics and memory it reports the CPU time all threads of the
// process spent from the start of the job to its end (cpu.ms), and that per second of
// the job's wall time (cpu.perWall): near the number of cores when decoding keeps them
// all busy; and uptimeMs, the process's age when it saw the job done. group also
// reports each drive's live figures at its end (progress: spooled bytes, queue depth).
// flash is one whole flash({ drives }) call of the promise API, as an application
// makes it: direct writes, no capacity check and no verification, to set beside dd.
const fs = require('node:fs');
const { execFileSync } = require('node:child_process');
const { FlashDrive, flash } = require('../index.js');

// Peak and current resident set of this process, in KiB.
function memory() {
  const status = fs.readFileSync('/proc/self/status', 'utf8');
  const field = (name) => Number((status.match(new RegExp(`^${name}:\\s+(\\d+) kB`, 'm')) || [])[1]);
  return { peakKiB: field('VmHWM'), currentKiB: field('VmRSS') };
}

function setUp(drive, image, block, rest) {
  const flash = new FlashDrive();
  flash.setDrive(drive);
  flash.setImage(image);
  flash.setWriteBlock(block);
  flash.setValidateBlock(block);
  for (const word of rest) {
    if (word === 'direct') flash.setWriteMode('direct');
    else flash.setBlockMap(word);
  }
  return flash;
}

// Runs `start` and resolves once the job's thread has ended, with the wall time from
// the start until its statistics closed.
function timedJob(start, stats) {
  return new Promise((resolve) => {
    const started = process.hrtime.bigint();
    let closedMs = null;
    const poll = setInterval(() => {
      if (closedMs === null && JSON.parse(stats()).duration > 0) closedMs = Number(process.hrtime.bigint() - started) / 1e6;
    }, 2);
    start(() => {
      clearInterval(poll);
      resolve(closedMs ?? Number(process.hrtime.bigint() - started) / 1e6);
    });
  });
}

async function main() {
  const [mode, drive, image, blockText, ...rest] = process.argv.slice(2);
  if (mode === 'idle') {
    new FlashDrive(); // eslint-disable-line no-new
    process.stdout.write(`${JSON.stringify({ memory: memory() })}\n`);
    return;
  }
  const block = Number(blockText);
  const cpuBefore = process.cpuUsage();
  const result = {};
  if (mode === 'flash') {
    const started = process.hrtime.bigint();
    const { results } = await flash({ image, drives: drive.split(','), blockSize: block, writeMode: 'direct', capacityCheck: false, verify: false });
    result.wallMs = Number(process.hrtime.bigint() - started) / 1e6;
    result.stats = results.map((r) => ({ completed: r.status === 'ok' ? 100 : 0, numerrs: r.error ? 1 : 0, numwriteerrs: 0 }));
  } else if (mode === 'group') {
    const flashes = drive.split(',').map((d) => setUp(d, image, block, rest));
    result.wallMs = await timedJob((done) => {
      let left = flashes.length;
      FlashDrive.runGroupWrite(flashes, () => { if (--left === 0) done(); });
    }, () => flashes[0].getWriteStats());
    result.stats = flashes.map((f) => JSON.parse(f.getWriteStats()));
    result.progress = flashes.map((f) => f.getProgress().write);
  } else {
    const flash = setUp(drive, image, block, rest);
    if (mode === 'write' || mode === 'write-validate') {
      result.wallMs = await timedJob((done) => flash.runWrite(done), () => flash.getWriteStats());
      result.stats = JSON.parse(flash.getWriteStats());
    }
    if (mode === 'write-validate') {
      // The validation must read the medium, not what the write left in the cache.
      execFileSync('sync');
      fs.writeFileSync('/proc/sys/vm/drop_caches', '3\n');
      result.write = result.stats;
    }
    if (mode === 'validate' || mode === 'write-validate') {
      result.wallMs = await timedJob((done) => flash.runValidate(done), () => flash.getValidateStats());
      result.stats = JSON.parse(flash.getValidateStats());
    }
    if (!result.stats) throw new Error(`unknown mode ${mode}`);
  }
  result.uptimeMs = process.uptime() * 1000;
  const used = process.cpuUsage(cpuBefore);
  const cpu = { userMs: used.user / 1000, systemMs: used.system / 1000 };
  cpu.ms = cpu.userMs + cpu.systemMs;
  cpu.perWall = cpu.ms / result.wallMs;
  process.stdout.write(`${JSON.stringify({ ...result, memory: memory(), cpu })}\n`);
}

main().catch((err) => {
  process.stderr.write(`${err.stack}\n`);
  process.exitCode = 1;
});
