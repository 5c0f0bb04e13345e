'use strict';
// The read-back and write-mode part of the benchmark, on the flash part's loop device
// and its image of random bytes:
//   validation right after a write (the drive alone, against the write's hashes)  vs  dd iflag=direct
//   full validation (image and drive read at once)  vs  cmp  and  vs  cat IMG & dd iflag=direct
//   direct writes at 1 MiB and 4 MiB  vs  dd oflag=direct
//   write and validation of an xz image  vs  the same of its raw image (half zeros)
// with the peak memory of the addon's process against 2 rings plus 32 MiB.
const fs = require('node:fs');
const path = require('node:path');
const { MiB, runOk, dropCaches, timed, median, mbps, label, addonJob, checkJob } = require('./bench-common');

const RING_BUFFERS = 4;

function measure(ctx, image, size, reps) {
  const { env, device } = ctx;
  const runs = {};
  const add = (name, value) => (runs[name] = runs[name] || []).push(value);
  const addon = (what, mode, file, block, ...extra) => {
    dropCaches(device);
    const job = addonJob(env, mode, device, file, block, ...extra);
    checkJob(what, job);
    if (job.write) checkJob(`${what} (its write)`, { stats: job.write });
    add(`${what} peakKiB`, job.memory.peakKiB);
    return job;
  };
  const tool = (command, args) => {
    dropCaches(device);
    const t = timed(command, args);
    if (t.status !== 0) throw new Error(`${command} failed: ${t.output}`);
    return mbps(size, t.seconds);
  };
  const count = `count=${size / MiB}`;
  const steps = {
    hashed: () => add('hashed', mbps(size, addon('hashed', 'write-validate', image, 4 * MiB).stats.duration / 1000)),
    full: () => add('full', mbps(size, addon('full', 'validate', image, 4 * MiB).stats.duration / 1000)),
    rawRead: () => add('rawRead', tool('dd', [`if=${device}`, 'of=/dev/null', `bs=${4 * MiB}`, count, 'iflag=direct', 'status=none'])),
    cmp: () => add('cmp', tool('cmp', ['-n', String(size), image, device])),
    parallelRead: () => add('parallelRead', tool('bash', ['-c',
      `cat ${image} >/dev/null & dd if=${device} of=/dev/null bs=${4 * MiB} ${count} iflag=direct status=none; wait`])),
  };
  for (const block of [MiB, 4 * MiB]) {
    steps[`direct ${label(block)}`] = () => add(`direct ${label(block)}`,
      mbps(size, addon(`direct ${label(block)}`, 'write', image, block, 'direct').stats.duration / 1000));
    steps[`dd direct ${label(block)}`] = () => add(`dd direct ${label(block)}`, tool('dd',
      [`if=${image}`, `of=${device}`, `bs=${block}`, `count=${size / block}`, 'oflag=direct', 'status=none']));
  }
  const names = Object.keys(steps);
  for (let rep = 0; rep < reps; rep += 1) {
    for (const name of rep % 2 ? [...names].reverse() : names) {
      steps[name]();
      process.stdout.write('.');
    }
  }
  return runs;
}

// Write and validation of a compressible image, raw and as xz, alternating.
function compressedPair(ctx, dir, reps, size) {
  const raw = path.join(dir, 'half-zero.img');
  // Half random, half zeros: what a partly filled file system looks like to a compressor.
  runOk('bash', ['-c', `head -c ${size / 2} /dev/urandom > ${raw} && truncate -s ${size} ${raw}`]);
  runOk('xz', ['-T0', '-1', '-k', raw]);
  const seconds = { raw: [], xz: [] };
  for (let rep = 0; rep < reps; rep += 1) {
    for (const kind of rep % 2 ? ['xz', 'raw'] : ['raw', 'xz']) {
      dropCaches(ctx.device);
      const job = addonJob(ctx.env, 'write-validate', ctx.device, kind === 'raw' ? raw : `${raw}.xz`, 4 * MiB);
      checkJob(`${kind} write and validation`, job);
      seconds[kind].push((job.write.duration + job.stats.duration) / 1000);
      process.stdout.write('.');
    }
  }
  fs.rmSync(raw, { force: true });
  fs.rmSync(`${raw}.xz`, { force: true });
  return { rawSeconds: median(seconds.raw), xzSeconds: median(seconds.xz), runs: seconds };
}

function runReadback(ctx, image, size, reps) {
  console.log('\nread-back and write modes');
  const runs = measure(ctx, image, size, reps);
  const compressed = compressedPair(ctx, ctx.dir, reps, size);
  process.stdout.write('\n');
  const m = Object.fromEntries(Object.entries(runs).map(([k, v]) => [k, median(v)]));
  const aboveIdleMiB = (name) => (m[`${name} peakKiB`] - ctx.idleKiB) / 1024;
  const limitMiB = 2 * RING_BUFFERS * 4 + 32;
  const result = {
    unit: 'MB/s, medians',
    medians: m,
    runs,
    ratios: {
      hashedToRawRead: m.hashed / m.rawRead,
      fullToCmp: m.full / m.cmp,
      fullToParallelRead: m.full / m.parallelRead,
      directToDdDirect1MiB: m['direct 1 MiB'] / m['dd direct 1 MiB'],
      directToDdDirect4MiB: m['direct 4 MiB'] / m['dd direct 4 MiB'],
      xzToRawWriteAndValidation: compressed.rawSeconds / compressed.xzSeconds,
    },
    compressed,
    memory: { limitMiB, aboveIdleMiB: Math.max(aboveIdleMiB('hashed'), aboveIdleMiB('full'), aboveIdleMiB('direct 4 MiB')) },
  };
  const r = result.ratios;
  result.targets = {
    hashedValidationAtLeast09xRawRead: r.hashedToRawRead >= 0.9,
    fullComparisonAtLeast095xParallelRead: r.fullToParallelRead >= 0.95,
    directWriteAtLeast09xDdDirect: r.directToDdDirect1MiB >= 0.9 && r.directToDdDirect4MiB >= 0.9,
    memoryWithin2RingsPlus32MiB: result.memory.aboveIdleMiB <= limitMiB,
  };
  console.log(`  validation after a write ${m.hashed.toFixed(0)} MB/s, raw read ${m.rawRead.toFixed(0)}: ${r.hashedToRawRead.toFixed(3)}`);
  console.log(`  full validation ${m.full.toFixed(0)} MB/s, cmp ${m.cmp.toFixed(0)} (${r.fullToCmp.toFixed(3)}),` +
    ` parallel read ${m.parallelRead.toFixed(0)} (${r.fullToParallelRead.toFixed(3)})`);
  for (const block of [MiB, 4 * MiB]) {
    const name = `direct ${label(block)}`;
    console.log(`  direct write at ${label(block)} ${m[name].toFixed(0)} MB/s, dd oflag=direct ${m[`dd ${name}`].toFixed(0)}: ` +
      `${(m[name] / m[`dd ${name}`]).toFixed(3)}`);
  }
  console.log(`  write + validation: raw ${compressed.rawSeconds.toFixed(2)} s, xz ${compressed.xzSeconds.toFixed(2)} s` +
    ` (raw/xz ${r.xzToRawWriteAndValidation.toFixed(3)})`);
  console.log(`  peak memory above idle ${result.memory.aboveIdleMiB.toFixed(1)} MiB (limit ${limitMiB} MiB)`);
  console.log('targets:', Object.entries(result.targets).map(([k, ok]) => `${k} ${ok ? 'met' : 'MISSED'}`).join(', '));
  return result;
}

module.exports = { runReadback };
