'use strict';
// Benchmark of the flasher addon against the system tools, on one loop device over a
// file in a temporary folder. The flash part uses one image of random bytes:
//   write:    the addon at 64 KiB, 1 MiB and 4 MiB blocks  vs  dd oflag=dsync, same sizes
//   read-back: the addon's validation  vs  cmp  vs  dd iflag=direct of=/dev/null
// The read-back part (readback-bench.js) adds the validation right after a write, the
// full validation against reading both sides at once, and direct writes. The formats
// part (formats-bench.js) then uses an ext4 image in every compressed
// format and its block map, against the decompressors piped into dd and bmaptool copy.
// Every measurement is repeated (the tools alternating), the page cache is dropped
// before each one, and the medians are printed in MB/s (10^6 bytes per second) or
// seconds with the ratios and the peak resident memory of the addon's process against
// an idle one. The figures are also written as JSON to a file whose path is printed.
//
// The cli part (cli-bench.js) times the whole `flasher write` process on each format
// against `DECOMPRESSOR | dd oflag=direct; sync`.
//
//   node bench/flash-bench.js [--only flash|formats|cli|pacing|backup|url] [--size-mib N] [--fs-mib N]
//                             [--reps N] [--dir DIR] [--images DIR] [--out FILE] [--drives N]
// FLASHER_BENCH_SIZE_MIB and FLASHER_BENCH_REPS set the defaults (256 MiB, 4: an even
// count lets each tool go first equally often, which matters on a virtual disk whose
// speed depends on what ran just before). --fs-mib (FLASHER_BENCH_FS_MIB, default 512)
// is the size of the ext4 image; --drives N (drives-bench.js) adds N drives written at
// once; --images DIR keeps that image and its compressed
// copies in DIR and reuses them in later runs (compressing takes minutes). The pacing
// part (pacing-bench.js) writes several drives of uneven and of equal speeds. The backup
// part (backup-bench.js) backs a 512 MiB ext4 loop device up to .zst against dd and zstd.
// The url part (url-bench.js) writes that xz image from a local HTTP server against the
// same file from the disk.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const crypto = require('node:crypto');
const {
  KiB, MiB, run, runOk, dropCaches, timed, median, mbps, label, writeListing, addonJob, checkJob, assertLoopDevice,
} = require('./bench-common');
const { runFormats } = require('./formats-bench');
const { runReadback } = require('./readback-bench');
const { runDrives } = require('./drives-bench');
const { runCli } = require('./cli-bench');
const { runPacing } = require('./pacing-bench');
const { runBackup } = require('./backup-bench');
const { runUrl } = require('./url-bench');

const root = path.resolve(__dirname, '..');
const BLOCKS = [64 * KiB, MiB, 4 * MiB];
const VALIDATE_BLOCK = 4 * MiB;
const PARTS = ['flash', 'formats', 'cli', 'pacing', 'backup', 'url'];

function options(argv) {
  const chosen = {
    sizeMiB: Number(process.env.FLASHER_BENCH_SIZE_MIB || 256),
    fsMiB: Number(process.env.FLASHER_BENCH_FS_MIB || 512),
    // Share of the ext4 image filled with files: the block map then covers under a third.
    fill: 0.26,
    reps: Number(process.env.FLASHER_BENCH_REPS || 4),
    dir: os.tmpdir(),
    images: null,
    out: null,
    parts: PARTS,
    drives: 0,
  };
  for (let i = 0; i < argv.length; i += 1) {
    const value = argv[i + 1];
    switch (argv[i]) {
      case '--size-mib': chosen.sizeMiB = Number(value); i += 1; break;
      case '--fs-mib': chosen.fsMiB = Number(value); i += 1; break;
      case '--reps': chosen.reps = Number(value); i += 1; break;
      case '--dir': chosen.dir = value; i += 1; break;
      case '--images': chosen.images = path.resolve(value); i += 1; break;
      case '--out': chosen.out = value; i += 1; break;
      case '--drives': chosen.drives = Number(value); i += 1; break;
      case '--only':
        if (!PARTS.includes(value)) throw new Error(`--only takes one of ${PARTS.join(', ')}`);
        chosen.parts = [value];
        i += 1;
        break;
      default: throw new Error(`unknown argument ${argv[i]}; see the head of ${__filename}`);
    }
  }
  // Whole 4 MiB blocks: every tool then moves exactly the image's bytes.
  if (!(chosen.sizeMiB >= 4 && chosen.sizeMiB % 4 === 0)) throw new Error('the size must be a multiple of 4 MiB');
  if (!(chosen.fsMiB >= 64 && chosen.fsMiB % 4 === 0)) throw new Error('the ext4 image must be a multiple of 4 MiB, at least 64 MiB');
  if (!(chosen.reps >= 1)) throw new Error('at least one repetition');
  return chosen;
}

function writeRandomImage(file, size) {
  const fd = fs.openSync(file, 'w');
  try {
    const chunk = Buffer.alloc(4 * MiB);
    for (let done = 0; done < size; done += chunk.length) fs.writeSync(fd, crypto.randomFillSync(chunk));
  } finally {
    fs.closeSync(fd);
  }
}

// The flash part: a random image written and read back at several block sizes.
function runFlash(opts, ctx) {
  const { dir, device, env, idleKiB } = ctx;
  const size = opts.sizeMiB * MiB;
  const image = path.join(dir, 'image.bin');
  console.log(`flash: image of ${opts.sizeMiB} MiB of random bytes, ${opts.reps} repetitions`);
  writeRandomImage(image, size);
  const sizeArg = `count=${size / MiB}`;
  // One unmeasured pass, so the first measured run does not meet a fresh backing file.
  dropCaches(device);
  runOk('dd', [`if=${image}`, `of=${device}`, `bs=${4 * MiB}`, 'oflag=dsync', 'status=none']);

  const write = Object.fromEntries(BLOCKS.map((b) => [b, { addon: [], addonWall: [], dd: [], peakKiB: [] }]));
  for (let rep = 0; rep < opts.reps; rep += 1) {
    for (const block of BLOCKS) {
      const order = rep % 2 === 0 ? ['addon', 'dd'] : ['dd', 'addon'];
      for (const tool of order) {
        dropCaches(device);
        if (tool === 'addon') {
          const job = addonJob(env, 'write', device, image, block);
          checkJob(`addon write at ${label(block)}`, job);
          write[block].addon.push(mbps(size, job.stats.duration / 1000));
          write[block].addonWall.push(mbps(size, job.wallMs / 1000));
          write[block].peakKiB.push(job.memory.peakKiB);
        } else {
          const t = timed('dd', [`if=${image}`, `of=${device}`, `bs=${block}`, `count=${size / block}`, 'oflag=dsync', 'status=none']);
          if (t.status !== 0) throw new Error(`dd write failed: ${t.output}`);
          write[block].dd.push(mbps(size, t.seconds));
        }
        process.stdout.write('.');
      }
    }
  }

  // The device now holds the image: each reader compares or reads the same bytes.
  const read = { addon: [], addonWall: [], cmp: [], raw: [], peakKiB: [] };
  const readers = ['addon', 'cmp', 'raw'];
  for (let rep = 0; rep < opts.reps; rep += 1) {
    const order = readers.map((_, i) => readers[(i + rep) % readers.length]);
    for (const tool of order) {
      dropCaches(device);
      if (tool === 'addon') {
        const job = addonJob(env, 'validate', device, image, VALIDATE_BLOCK);
        checkJob('addon validation', job);
        read.addon.push(mbps(size, job.stats.duration / 1000));
        read.addonWall.push(mbps(size, job.wallMs / 1000));
        read.peakKiB.push(job.memory.peakKiB);
      } else if (tool === 'cmp') {
        const t = timed('cmp', ['-n', String(size), image, device]);
        if (t.status !== 0) throw new Error(`cmp found the device different from the image: ${t.output}`);
        read.cmp.push(mbps(size, t.seconds));
      } else {
        const t = timed('dd', [`if=${device}`, 'of=/dev/null', `bs=${MiB}`, sizeArg, 'iflag=direct', 'status=none']);
        if (t.status !== 0) throw new Error(`dd read failed: ${t.output}`);
        read.raw.push(mbps(size, t.seconds));
      }
      process.stdout.write('.');
    }
  }
  process.stdout.write('\n');
  const result = report(opts, size, write, read, idleKiB);
  result.readback = runReadback(ctx, image, size, opts.reps);
  fs.rmSync(image, { force: true });
  return result;
}

async function main() {
  const opts = options(process.argv.slice(2));
  if (process.platform !== 'linux' || process.getuid() !== 0) {
    console.error('the benchmark needs root on Linux: it attaches a loop device and drops the page cache');
    process.exit(2);
  }
  const flash = opts.parts.includes('flash');
  const formats = opts.parts.includes('formats');
  const cli = opts.parts.includes('cli');
  const url = opts.parts.includes('url');
  const ext4 = formats || cli || url;
  // One drive for every part, larger than any image.
  const driveSize = Math.max(flash ? opts.sizeMiB : 0, ext4 ? opts.fsMiB : 0) * MiB + 16 * MiB;
  const { bavail, bsize } = fs.statfsSync(opts.dir);
  // The backup part: its drive, a copy of it and an output.
  const backup = opts.parts.includes('backup') ? 3 * 512 * MiB : 0;
  const needed = driveSize + (flash ? opts.sizeMiB * MiB : 0) + (ext4 && !opts.images ? opts.fsMiB * MiB : 0) + backup + 64 * MiB;
  if (bavail * bsize < needed) {
    console.error(`${opts.dir} has ${Math.floor((bavail * bsize) / MiB)} MiB free; the benchmark needs ${needed / MiB} MiB`);
    process.exit(2);
  }

  // What the benchmark set up (folder, loop devices, mounts), undone last first, also
  // after a failure or an interruption. hold() returns a function undoing one early.
  const held = [];
  const hold = (undo) => {
    const entry = { undo };
    held.push(entry);
    return () => {
      const at = held.indexOf(entry);
      if (at >= 0) {
        held.splice(at, 1);
        undo();
      }
    };
  };
  const cleanUp = () => {
    while (held.length > 0) {
      try {
        held.pop().undo();
      } catch (err) {
        console.error(`clean-up: ${err.message}`);
      }
    }
  };
  // Tools in the foreground get the signal too and end; the steps waiting on them then
  // fail and main's finally cleans up before this runs.
  for (const signal of ['SIGINT', 'SIGTERM']) {
    process.once(signal, () => {
      cleanUp();
      process.exit(130);
    });
  }

  const dir = fs.mkdtempSync(path.join(opts.dir, 'flasher-bench-'));
  hold(() => fs.rmSync(dir, { recursive: true, force: true }));
  try {
    const backing = path.join(dir, 'drive.img');
    console.log(`benchmark: ${opts.parts.join(' and ')}, ${opts.reps} repetitions, in ${dir}`);
    fs.writeFileSync(backing, '');
    fs.truncateSync(backing, driveSize);
    const device = runOk('losetup', ['--find', '--show', backing]).trim();
    hold(() => run('losetup', ['-d', device]));
    assertLoopDevice(device);
    const listing = path.join(dir, 'lsblk.json');
    writeListing(listing, device);
    const env = {
      ...process.env,
      PATH: `${path.join(root, 'test', 'tools')}:${process.env.PATH}`,
      FAKE_LSBLK_LISTING: listing,
    };
    delete env.FAKE_TOOL_LOG;
    const idleKiB = median([0, 1, 2].map(() => addonJob(env, 'idle').memory.peakKiB));
    const ctx = { dir, device, env, idleKiB, hold };

    const result = {
      when: new Date().toISOString(),
      machine: { kernel: os.release(), cpus: os.cpus().length, node: process.version },
      idlePeakMiB: idleKiB / KiB,
    };
    if (flash) Object.assign(result, runFlash(opts, ctx));
    const ext4Ctx = { ...ctx, reps: opts.reps, fsMiB: opts.fsMiB, fill: opts.fill, images: opts.images };
    if (formats) result.formats = runFormats(ext4Ctx);
    if (cli) result.cli = runCli(ext4Ctx);
    if (url) result.url = await runUrl(ext4Ctx);
    if (opts.drives > 1) result.drives = await runDrives(ctx, opts.drives, opts.reps);
    if (opts.parts.includes('pacing')) result.pacing = await runPacing(ctx, opts.reps);
    if (opts.parts.includes('backup')) result.backup = runBackup({ ...ctx, reps: opts.reps });
    const out = opts.out || path.join(os.tmpdir(), `flasher-bench-${new Date().toISOString().replace(/[:.]/g, '-')}.json`);
    fs.writeFileSync(out, `${JSON.stringify(result, null, 2)}\n`);
    console.log(`\nfigures written to ${out}`);
  } finally {
    cleanUp();
  }
}

function report(opts, size, write, read, idleKiB) {
  const memoryOf = (peaks, block) => {
    const aboveIdleMiB = (median(peaks) - idleKiB) / KiB;
    const limitMiB = (2 * block) / MiB + 32;
    return { peakMiB: median(peaks) / KiB, aboveIdleMiB, limitMiB, withinLimit: aboveIdleMiB <= limitMiB };
  };
  const result = {
    when: new Date().toISOString(),
    machine: { kernel: os.release(), cpus: os.cpus().length, node: process.version },
    imageMiB: size / MiB,
    repetitions: opts.reps,
    unit: 'MB/s (10^6 bytes per second), medians; addon figures from its statistics duration, addonWall from start to completion seen by polling',
    idlePeakMiB: idleKiB / KiB,
    write: {},
    validation: {},
  };

  console.log(`\nwrite (median MB/s)     addon   addon(wall)   dd dsync   addon/dd   peak above idle (limit)`);
  for (const block of BLOCKS) {
    const w = write[block];
    const entry = {
      addon: median(w.addon), addonWall: median(w.addonWall), dd: median(w.dd),
      runs: { addon: w.addon, addonWall: w.addonWall, dd: w.dd },
      memory: memoryOf(w.peakKiB, block),
    };
    entry.ratioAddonToDd = entry.addon / entry.dd;
    result.write[label(block)] = entry;
    console.log(
      `  ${label(block).padEnd(8)} ${entry.addon.toFixed(1).padStart(14)} ${entry.addonWall.toFixed(1).padStart(13)}` +
        ` ${entry.dd.toFixed(1).padStart(10)} ${entry.ratioAddonToDd.toFixed(3).padStart(10)}` +
        `   ${entry.memory.aboveIdleMiB.toFixed(1)} MiB (${entry.memory.limitMiB} MiB)`
    );
  }
  const v = {
    blockSize: label(VALIDATE_BLOCK),
    addon: median(read.addon), addonWall: median(read.addonWall), cmp: median(read.cmp), rawRead: median(read.raw),
    runs: { addon: read.addon, addonWall: read.addonWall, cmp: read.cmp, rawRead: read.raw },
    memory: memoryOf(read.peakKiB, VALIDATE_BLOCK),
  };
  v.ratioAddonToCmp = v.addon / v.cmp;
  v.ratioAddonToRawRead = v.addon / v.rawRead;
  result.validation = v;
  console.log(`\nvalidation at ${v.blockSize} (median MB/s)`);
  console.log(`  addon ${v.addon.toFixed(1)}  addon(wall) ${v.addonWall.toFixed(1)}  cmp ${v.cmp.toFixed(1)}  raw read (dd iflag=direct) ${v.rawRead.toFixed(1)}`);
  console.log(`  addon/cmp ${v.ratioAddonToCmp.toFixed(3)}  addon/raw ${v.ratioAddonToRawRead.toFixed(3)}` +
    `  peak above idle ${v.memory.aboveIdleMiB.toFixed(1)} MiB (limit ${v.memory.limitMiB} MiB)`);
  console.log(`idle node process with the addon loaded: ${(idleKiB / KiB).toFixed(1)} MiB peak`);

  const w4 = result.write['4 MiB'];
  result.targets = {
    writeAt4MiBAtLeast097OfDd: w4.ratioAddonToDd >= 0.97,
    validationAtLeast2xCmp: v.ratioAddonToCmp >= 2,
    validationAtLeast08xRawRead: v.ratioAddonToRawRead >= 0.8,
    memoryWithin2BlocksPlus32MiB: Object.values(result.write).every((e) => e.memory.withinLimit) && v.memory.withinLimit,
  };
  console.log('\nflash targets:', Object.entries(result.targets).map(([k, ok]) => `${k} ${ok ? 'met' : 'MISSED'}`).join(', '));
  return result;
}

main().catch((err) => {
  console.error(err.stack || String(err));
  process.exitCode = 1;
});
