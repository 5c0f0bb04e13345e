'use strict';
// One measured job of the benchmark, in a process of its own so that its peak resident
// memory belongs to that job alone. Prints one JSON line and exits once the job's
// thread has ended.
//   node bench/flash-job.js idle
//   node bench/flash-job.js write|validate DRIVE IMAGE BLOCK_BYTES
// The drive listing comes from the stand-in tools the benchmark puts on PATH.
const fs = require('node:fs');
const { FlashDrive } = require('../index.js');

// Peak and current resident set of this process, in KiB.
function memory() {
  const status = fs.readFileSync('/proc/self/status', 'utf8');
  const field = (name) => Number((status.match(new RegExp(`^${name}:\\s+(\\d+) kB`, 'm')) || [])[1]);
  return { peakKiB: field('VmHWM'), currentKiB: field('VmRSS') };
}

async function main() {
  const [mode, drive, image, block] = process.argv.slice(2);
  const flash = new FlashDrive();
  if (mode === 'idle') {
    process.stdout.write(`${JSON.stringify({ memory: memory() })}\n`);
    return;
  }
  if (mode !== 'write' && mode !== 'validate') throw new Error(`unknown mode ${mode}`);
  flash.setDrive(drive);
  flash.setImage(image);
  const writing = mode === 'write';
  if (writing) flash.setWriteBlock(Number(block));
  else flash.setValidateBlock(Number(block));

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
  process.stdout.write(`${JSON.stringify({ wallMs, stats, memory: memory() })}\n`);
}

main().catch((err) => {
  process.stderr.write(`${err.stack}\n`);
  process.exitCode = 1;
});
