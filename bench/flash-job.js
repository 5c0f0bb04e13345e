'use strict';
// One measured job of the benchmark, in a process of its own so that its peak resident
// memory belongs to that job alone. Prints one JSON line and exits once the job's
// thread has ended.
//   node bench/flash-job.js idle
//   node bench/flash-job.js write|validate DRIVE IMAGE BLOCK_BYTES [BLOCK_MAP]
// The drive listing comes from the stand-in tools the benchmark puts on PATH. Besides
// the statistics and memory it reports the CPU time all threads of the process spent
// from the start of the job to its end (cpu.ms), and that per second of the job's wall
// time (cpu.perWall): near the number of cores when decoding keeps them all busy; and
// uptimeMs, the process's age when it saw the job done (its start, the addon's set-up
// and the job; the job's thread still pauses before the process can exit).
const fs = require('node:fs');
const { FlashDrive } = require('../index.js');

// Peak and current resident set of this process, in KiB.
function memory() {
  const status = fs.readFileSync('/proc/self/status', 'utf8');
  const field = (name) => Number((status.match(new RegExp(`^${name}:\\s+(\\d+) kB`, 'm')) || [])[1]);
  return { peakKiB: field('VmHWM'), currentKiB: field('VmRSS') };
}

async function main() {
  const [mode, drive, image, block, blockMap] = process.argv.slice(2);
  const flash = new FlashDrive();
  if (mode === 'idle') {
    process.stdout.write(`${JSON.stringify({ memory: memory() })}\n`);
    return;
  }
  if (mode !== 'write' && mode !== 'validate') throw new Error(`unknown mode ${mode}`);
  flash.setDrive(drive);
  flash.setImage(image);
  if (blockMap) flash.setBlockMap(blockMap);
  const writing = mode === 'write';
  if (writing) flash.setWriteBlock(Number(block));
  else flash.setValidateBlock(Number(block));

  const cpuBefore = process.cpuUsage();
  const started = process.hrtime.bigint();
  if (writing) flash.startWrite();
  else flash.startValidate();
  let stats;
  for (;;) {
    stats = JSON.parse(writing ? flash.getWriteStats() : flash.getValidateStats());
    if (stats.completed === 100 || stats.duration > 0) break;
    await new Promise((resolve) => setTimeout(resolve, 2));
  }
  const wallMs = Number(process.hrtime.bigint() - started) / 1e6;
  const uptimeMs = process.uptime() * 1000;
  const used = process.cpuUsage(cpuBefore);
  const cpu = { userMs: used.user / 1000, systemMs: used.system / 1000 };
  cpu.ms = cpu.userMs + cpu.systemMs;
  cpu.perWall = cpu.ms / wallMs;
  process.stdout.write(`${JSON.stringify({ wallMs, uptimeMs, stats, memory: memory(), cpu })}\n`);
}

main().catch((err) => {
  process.stderr.write(`${err.stack}\n`);
  process.exitCode = 1;
});
