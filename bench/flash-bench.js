'use strict';
// Benchmark of the flasher addon against the system tools, on one loop device over a
// file in a temporary folder and one image of random bytes:
//   write:    the addon at 64 KiB, 1 MiB and 4 MiB blocks  vs  dd oflag=dsync, same sizes
//   read-back: the addon's validation  vs  cmp  vs  dd iflag=direct of=/dev/null
// Every measurement is repeated (the tools alternating), the page cache is dropped
// before each one, and the medians are printed in MB/s (10^6 bytes per second) with
// the ratios and the peak resident memory of the addon's process against an idle one.
// The figures are also written as JSON to a file whose path is printed.
//
//   node bench/flash-bench.js [--size-mib N] [--reps N] [--dir DIR] [--out FILE]
// FLASHER_BENCH_SIZE_MIB and FLASHER_BENCH_REPS set the defaults (256 MiB, 4: an even
// count lets each tool go first equally often, which matters on a virtual disk whose
// speed depends on what ran just before).
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const crypto = require('node:crypto');
const { spawnSync } = require('node:child_process');

const root = path.resolve(__dirname, '..');
const KiB = 1024;
const MiB = 1024 * KiB;
const BLOCKS = [64 * KiB, MiB, 4 * MiB];
const VALIDATE_BLOCK = 4 * MiB;

function options(argv) {
  const chosen = {
    sizeMiB: Number(process.env.FLASHER_BENCH_SIZE_MIB || 256),
    reps: Number(process.env.FLASHER_BENCH_REPS || 4),
    dir: os.tmpdir(),
    out: null,
  };
  for (let i = 0; i < argv.length; i += 1) {
    const value = argv[i + 1];
    switch (argv[i]) {
      case '--size-mib': chosen.sizeMiB = Number(value); i += 1; break;
      case '--reps': chosen.reps = Number(value); i += 1; break;
      case '--dir': chosen.dir = value; i += 1; break;
      case '--out': chosen.out = value; i += 1; break;
      default: throw new Error(`unknown argument ${argv[i]}; see the head of ${__filename}`);
    }
  }
  // Whole 4 MiB blocks: every tool then moves exactly the image's bytes.
  if (!(chosen.sizeMiB >= 4 && chosen.sizeMiB % 4 === 0)) throw new Error('the size must be a multiple of 4 MiB');
  if (!(chosen.reps >= 1)) throw new Error('at least one repetition');
  return chosen;
}

function run(command, args, extra = {}) {
  const result = spawnSync(command, args, { encoding: 'utf8', maxBuffer: 16 * MiB, ...extra });
  if (result.error) throw result.error;
  return result;
}

function runOk(command, args, extra) {
  const result = run(command, args, extra);
  if (result.status !== 0) throw new Error(`${command} ${args.join(' ')}: ${result.stderr || result.stdout}`);
  return result.stdout;
}

// Drops what the kernel caches of the image and the device, so that every run reads
// and writes the medium.
function dropCaches(device) {
  runOk('sync', []);
  fs.writeFileSync('/proc/sys/vm/drop_caches', '3\n');
  runOk('blockdev', ['--flushbufs', device]);
}

// Seconds a tool takes, measured around its process.
function timed(command, args) {
  const started = process.hrtime.bigint();
  const result = run(command, args);
  const seconds = Number(process.hrtime.bigint() - started) / 1e9;
  return { seconds, status: result.status, output: `${result.stdout}${result.stderr}`.trim() };
}

const median = (values) => {
  const sorted = [...values].sort((a, b) => a - b);
  const mid = Math.floor(sorted.length / 2);
  return sorted.length % 2 ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2;
};
const mbps = (bytes, seconds) => bytes / seconds / 1e6;
const label = (bytes) => (bytes >= MiB ? `${bytes / MiB} MiB` : `${bytes / KiB} KiB`);

function writeRandomImage(file, size) {
  const fd = fs.openSync(file, 'w');
  try {
    const chunk = Buffer.alloc(4 * MiB);
    for (let done = 0; done < size; done += chunk.length) fs.writeSync(fd, crypto.randomFillSync(chunk));
  } finally {
    fs.closeSync(fd);
  }
}

// The stand-in lsblk of the tests prints this listing: the loop device as a
// removable disk, with the sizes the real lsblk reports for it.
function writeListing(file, device) {
  const columns = 'name,path,type,size,model,vendor,phy-sec,log-sec,rm,hotplug,label,fstype,uuid,ptuuid,parttype,partlabel,mountpoint';
  const listing = JSON.parse(runOk('lsblk', ['--bytes', '--json', '--nodeps', '-o', columns, device]));
  for (const entry of listing.blockdevices) Object.assign(entry, { type: 'disk', rm: true, hotplug: true });
  fs.writeFileSync(file, JSON.stringify(listing));
}

// Runs one addon job (or an idle process) in a child node process.
function addonJob(env, mode, device, image, block) {
  const args = [path.join(__dirname, 'flash-job.js'), mode];
  if (mode !== 'idle') args.push(device, image, String(block));
  const result = run(process.execPath, args, { env });
  if (result.status !== 0) throw new Error(`addon ${mode} failed: ${result.stderr}`);
  return JSON.parse(result.stdout.trim().split('\n').pop());
}

function checkJob(what, job) {
  const { stats } = job;
  if (stats.completed !== 100 || stats.numerrs !== 0 || stats.numwriteerrs !== 0) {
    throw new Error(`${what} did not run clean: ${JSON.stringify(stats)}`);
  }
}

function main() {
  const opts = options(process.argv.slice(2));
  if (process.platform !== 'linux' || process.getuid() !== 0) {
    console.error('the benchmark needs root on Linux: it attaches a loop device and drops the page cache');
    process.exit(2);
  }
  const size = opts.sizeMiB * MiB;
  const { bavail, bsize } = fs.statfsSync(opts.dir);
  const needed = 2 * size + 64 * MiB;
  if (bavail * bsize < needed) {
    console.error(`${opts.dir} has ${Math.floor((bavail * bsize) / MiB)} MiB free; the benchmark needs ${needed / MiB} MiB`);
    process.exit(2);
  }

  const dir = fs.mkdtempSync(path.join(opts.dir, 'flasher-bench-'));
  let device = null;
  const cleanUp = () => {
    if (device) run('losetup', ['-d', device]);
    device = null;
    fs.rmSync(dir, { recursive: true, force: true });
  };
  process.once('SIGINT', () => {
    cleanUp();
    process.exit(130);
  });

  try {
    const image = path.join(dir, 'image.bin');
    const backing = path.join(dir, 'drive.img');
    console.log(`image: ${opts.sizeMiB} MiB of random bytes, ${opts.reps} repetitions, in ${dir}`);
    writeRandomImage(image, size);
    // The drive must be larger than the image.
    fs.writeFileSync(backing, '');
    fs.truncateSync(backing, size + 16 * MiB);
    device = runOk('losetup', ['--find', '--show', backing]).trim();
    const listing = path.join(dir, 'lsblk.json');
    writeListing(listing, device);
    const env = {
      ...process.env,
      PATH: `${path.join(root, 'test', 'tools')}:${process.env.PATH}`,
      FAKE_LSBLK_LISTING: listing,
    };
    delete env.FAKE_TOOL_LOG;
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

    const idle = [0, 1, 2].map(() => addonJob(env, 'idle').memory.peakKiB);
    const idleKiB = median(idle);
    const result = report(opts, size, write, read, idleKiB);
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
  console.log('\ntargets:', Object.entries(result.targets).map(([k, ok]) => `${k} ${ok ? 'met' : 'MISSED'}`).join(', '));
  return result;
}

try {
  main();
} catch (err) {
  console.error(err.stack || String(err));
  process.exitCode = 1;
}
