'use strict';
// Formats part of the benchmark, run by flash-bench.js on its loop device: an ext4
// image partly filled with files from /usr, compressed with xz -T0, zstd, gzip and
// bzip2, and its bmaptool block map. Compared, the page cache dropped before each run
// and the order alternating between repetitions:
//   the addon writing each compressed file  vs  `DECOMPRESSOR -dc FILE | dd oflag=dsync`
//   the addon writing the raw image whole
//   the addon writing only the mapped ranges (raw and xz image)  vs  bmaptool copy
//     (of the raw image; of the xz image for reference)
// plus the CPU time of the addon's process per second of the job (how busy the xz
// decoder keeps the cores; `xz -dc -T0 > /dev/null` alongside shows what the decoder
// alone gets of the shared machine at the time) and its peak memory during the xz write.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const {
  MiB, KiB, run, runOk, dropCaches, median, mbps, addonJob, checkJob, assertLoopDevice,
} = require('./bench-common');

const BLOCK = 4 * MiB;
// The addon's ring of decoded chunks holds this many blocks.
const RING_BUFFERS = 4;
// The addon's xz decoder falls back to fewer threads above this memory.
const XZ_THREADED_LIMIT = 512 * MiB;

const FORMATS = [
  { name: 'xz', ext: 'xz', compress: ['xz', '-T0', '-c'], decompress: ['xz', '-dc', '-T0'] },
  { name: 'zstd', ext: 'zst', compress: ['zstd', '-q', '-c'], decompress: ['zstd', '-dcq'] },
  { name: 'gzip', ext: 'gz', compress: ['gzip', '-c'], decompress: ['gzip', '-dc'] },
  { name: 'bzip2', ext: 'bz2', compress: ['bzip2', '-c'], decompress: ['bzip2', '-dc'] },
];

// Mixed content: programs, libraries, Python sources, documentation, headers.
const SOURCES = ['/usr/bin', '/usr/lib', '/usr/share', '/usr/include', '/usr/sbin'];
const LARGEST_FILE = 8 * MiB;

const quote = (text) => `'${String(text).replace(/'/g, "'\\''")}'`;
const seconds = (started) => (Number(process.hrtime.bigint() - started) / 1e9).toFixed(1);

// Regular files below `top`, in a fixed order, so that every run builds a similar image.
function* filesBelow(top) {
  const pending = [top];
  while (pending.length > 0) {
    const folder = pending.shift();
    let entries;
    try {
      entries = fs.readdirSync(folder, { withFileTypes: true });
    } catch {
      continue;
    }
    entries.sort((a, b) => (a.name < b.name ? -1 : a.name > b.name ? 1 : 0));
    for (const entry of entries) {
      const full = path.join(folder, entry.name);
      if (entry.isDirectory()) pending.push(full);
      else if (entry.isFile()) {
        const { size } = fs.statSync(full);
        if (size > 0 && size <= LARGEST_FILE) yield { full, size };
      }
    }
  }
}

// Files taken in turn from each source folder until their blocks add up to `budget`.
function chooseFiles(budget) {
  const walks = SOURCES.filter((top) => fs.existsSync(top)).map(filesBelow);
  const chosen = [];
  let total = 0;
  while (total < budget && walks.length > 0) {
    for (let i = 0; i < walks.length && total < budget; i += 1) {
      const next = walks[i].next();
      if (next.done) {
        walks.splice(i, 1);
        i -= 1;
      } else {
        chosen.push(path.relative('/usr', next.value.full));
        total += Math.ceil(next.value.size / 4096) * 4096;
      }
    }
  }
  return { chosen, total };
}

function readBmap(file) {
  const xml = fs.readFileSync(file, 'utf8');
  const field = (name) => Number((xml.match(new RegExp(`<${name}>\\s*(\\d+)\\s*</${name}>`)) || [])[1]);
  const blockSize = field('BlockSize');
  return { blockSize, blocks: field('BlocksCount'), mapped: field('MappedBlocksCount'), mappedBytes: blockSize * field('MappedBlocksCount') };
}

// What the xz file's blocks need: the decoder's own memory and the largest block,
// compressed and decoded (a threaded decoder holds both for each block in flight).
function xzLayout(file) {
  const lines = runOk('xz', ['--robot', '--list', '-vv', file]).split('\n').map((l) => l.split('\t'));
  const blocks = lines.filter((l) => l[0] === 'block');
  const summary = lines.find((l) => l[0] === 'summary');
  return {
    blocks: blocks.length,
    largestBlock: Math.max(...blocks.map((l) => Number(l[7]))),
    largestCompressedBlock: Math.max(...blocks.map((l) => Number(l[6]))),
    decoderMemory: Number(summary[1]),
  };
}

// Builds the ext4 image and its compressed copies and block map in `folder`, or reuses
// them when an earlier run with the same settings left them there.
function prepareImages(ctx, folder) {
  const fsBytes = ctx.fsMiB * MiB;
  const manifestFile = path.join(folder, 'images.json');
  const recipe = { fsMiB: ctx.fsMiB, fill: ctx.fill, formats: FORMATS.map((f) => f.compress.join(' ')) };
  const files = {
    raw: path.join(folder, 'fs.img'),
    bmap: path.join(folder, 'fs.bmap'),
    ...Object.fromEntries(FORMATS.map((f) => [f.name, path.join(folder, `fs.img.${f.ext}`)])),
  };
  if (fs.existsSync(manifestFile)) {
    const manifest = JSON.parse(fs.readFileSync(manifestFile, 'utf8'));
    if (JSON.stringify(manifest.recipe) === JSON.stringify(recipe) && Object.values(files).every((f) => fs.existsSync(f))) {
      console.log(`formats: reusing the images in ${folder}`);
      return { files, ...manifest.content };
    }
  }
  fs.rmSync(manifestFile, { force: true });

  const started = process.hrtime.bigint();
  console.log(`formats: ext4 image of ${ctx.fsMiB} MiB in ${folder}`);
  fs.writeFileSync(files.raw, '');
  fs.truncateSync(files.raw, fsBytes);
  // Lazy initialisation keeps unused inode tables and the journal as holes: only
  // what the files need gets mapped.
  runOk('mkfs.ext4', ['-q', '-F', '-L', 'flasher-bench', '-E', 'lazy_itable_init=1,lazy_journal_init=1', files.raw]);
  const mountPoint = path.join(folder, 'mnt');
  fs.mkdirSync(mountPoint, { recursive: true });
  const fsDevice = runOk('losetup', ['--find', '--show', files.raw]).trim();
  const detach = ctx.hold(() => run('losetup', ['-d', fsDevice]));
  runOk('mount', ['-o', 'noinit_itable', fsDevice, mountPoint]);
  const unmount = ctx.hold(() => {
    if (run('umount', [mountPoint]).status !== 0) run('umount', ['-l', mountPoint]);
  });
  const { chosen, total } = chooseFiles(fsBytes * ctx.fill);
  const list = path.join(folder, 'files.list');
  fs.writeFileSync(list, chosen.map((f) => `${f}\0`).join(''));
  console.log(`formats: copying ${chosen.length} files (${(total / MiB).toFixed(0)} MiB) from /usr`);
  runOk('bash', ['-c', `set -o pipefail; tar -C /usr --null --no-recursion -T ${quote(list)} -cf - | tar -C ${quote(mountPoint)} -xf -`]);
  runOk('sync', ['-f', mountPoint]);
  const used = fs.statfsSync(mountPoint);
  const usedBytes = (used.blocks - used.bfree) * used.bsize;
  unmount();
  detach();
  fs.rmdirSync(mountPoint);
  fs.rmSync(list, { force: true });
  runOk('bmaptool', ['create', '-o', files.bmap, files.raw]);
  const map = readBmap(files.bmap);
  console.log(`formats: ${(usedBytes / MiB).toFixed(0)} MiB used, block map covers ${(map.mappedBytes / MiB).toFixed(1)} MiB` +
    ` (${((100 * map.mapped) / map.blocks).toFixed(1)}%) [${seconds(started)} s]`);

  for (const format of FORMATS) {
    const stepStarted = process.hrtime.bigint();
    process.stdout.write(`formats: ${format.compress.join(' ')} ... `);
    const fd = fs.openSync(files[format.name], 'w');
    try {
      runOk(format.compress[0], [...format.compress.slice(1), files.raw], { stdio: ['ignore', fd, 'pipe'] });
    } finally {
      fs.closeSync(fd);
    }
    console.log(`${(fs.statSync(files[format.name]).size / MiB).toFixed(1)} MiB [${seconds(stepStarted)} s]`);
  }
  const content = { filesCopied: chosen.length, filesBytes: total, usedBytes };
  fs.writeFileSync(manifestFile, `${JSON.stringify({ recipe, content }, null, 2)}\n`);
  return { files, ...content };
}

// A command line run by bash, timed by bash: real, user and system seconds of the
// whole pipeline, and the wall time around bash.
function shellJob(command) {
  const script = `set -o pipefail; TIMEFORMAT='%R %U %S'; time { ${command} ; }`;
  const started = process.hrtime.bigint();
  const result = run('bash', ['-c', script]);
  const outerSeconds = Number(process.hrtime.bigint() - started) / 1e9;
  const lines = result.stderr.trim().split('\n');
  if (result.status !== 0) throw new Error(`${command} failed: ${result.signal || ''} ${result.stderr}`);
  const [real, user, system] = lines.pop().split(' ').map(Number);
  return { seconds: real, outerSeconds, cpuPerWall: (user + system) / real };
}

function measure(ctx, images) {
  const { env, device } = ctx;
  assertLoopDevice(device);
  const size = ctx.fsMiB * MiB;
  const map = readBmap(images.files.bmap);
  const addon = (image, blockMap) => {
    const job = addonJob(env, 'write', device, image, BLOCK, blockMap);
    checkJob(`addon write of ${path.basename(image)}${blockMap ? ' with its block map' : ''}`, job);
    return {
      seconds: job.stats.duration / 1000,
      doneSeconds: job.uptimeMs / 1000,
      exitSeconds: job.childMs / 1000,
      cpuPerWall: job.cpu.perWall,
      peakKiB: job.memory.peakKiB,
    };
  };
  const same = (what) => {
    const check = run('cmp', ['-n', String(size), images.files.raw, device]);
    if (check.status !== 0) throw new Error(`after ${what} the device differs from the image: ${check.stdout}${check.stderr}`);
  };
  const pipeline = (format) =>
    `${format.decompress.join(' ')} ${quote(images.files[format.name])} | ` +
    `dd of=${quote(device)} bs=${BLOCK} iflag=fullblock oflag=dsync status=none`;

  // One unmeasured pass: the device holds the image from here on, so a block-mapped
  // write leaves it whole.
  dropCaches(device);
  runOk('dd', [`if=${images.files.raw}`, `of=${device}`, `bs=${BLOCK}`, 'oflag=dsync', 'status=none']);

  const runs = {
    compressed: Object.fromEntries(FORMATS.map((f) => [f.name, { addon: [], shell: [] }])),
    xzDecodeOnly: [], rawFull: [], mappedRaw: [], mappedXz: [], bmaptool: [], bmaptoolXz: [],
    loadBefore: os.loadavg(),
  };
  const bmaptool = (image) => shellJob(`bmaptool -q copy --bmap ${quote(images.files.bmap)} ${quote(image)} ${quote(device)}`);
  const mappedKinds = ['rawFull', 'mappedRaw', 'mappedXz', 'bmaptool', 'bmaptoolXz'];
  for (let rep = 0; rep < ctx.reps; rep += 1) {
    for (const format of FORMATS) {
      const order = rep % 2 === 0 ? ['addon', 'shell'] : ['shell', 'addon'];
      for (const tool of order) {
        dropCaches(device);
        if (tool === 'addon') {
          runs.compressed[format.name].addon.push(addon(images.files[format.name]));
          // The first addon write of each format runs before the pipeline's: check its result once.
          if (rep === 0) same(`the addon's ${format.name} write`);
        } else {
          runs.compressed[format.name].shell.push(shellJob(pipeline(format)));
        }
        process.stdout.write('.');
      }
      if (format.name === 'xz') {
        dropCaches(device);
        runs.xzDecodeOnly.push(shellJob(`xz -dc -T0 ${quote(images.files.xz)} > /dev/null`));
      }
    }
    const order = mappedKinds.map((_, i) => mappedKinds[(i + rep) % mappedKinds.length]);
    for (const kind of order) {
      dropCaches(device);
      if (kind === 'rawFull') {
        runs.rawFull.push(addon(images.files.raw));
        if (rep === 0) same("the addon's raw write");
      } else if (kind === 'mappedRaw') runs.mappedRaw.push(addon(images.files.raw, images.files.bmap));
      else if (kind === 'mappedXz') runs.mappedXz.push(addon(images.files.xz, images.files.bmap));
      else if (kind === 'bmaptool') runs.bmaptool.push(bmaptool(images.files.raw));
      else runs.bmaptoolXz.push(bmaptool(images.files.xz));
      process.stdout.write('.');
    }
  }
  process.stdout.write('\n');
  runs.loadAfter = os.loadavg();
  return { runs, map, size };
}

const pick = (list, key) => list.map((entry) => entry[key]);
const med = (list, key) => median(pick(list, key));
const fixed = (value, width, digits = 2) => value.toFixed(digits).padStart(width);

function report(ctx, images, measured) {
  const { runs, map, size } = measured;
  const cpus = os.cpus().length;
  const xz = xzLayout(images.files.xz);
  const result = {
    image: {
      fileSystem: 'ext4', sizeMiB: size / MiB, filesCopied: images.filesCopied,
      filesMiB: images.filesBytes / MiB, usedMiB: images.usedBytes / MiB,
      mappedMiB: map.mappedBytes / MiB, mappedShare: map.mapped / map.blocks,
      compressedMiB: Object.fromEntries(FORMATS.map((f) => [f.name, fs.statSync(images.files[f.name]).size / MiB])),
      xz,
    },
    blockSize: BLOCK,
    repetitions: ctx.reps,
    loadAverage: { before: runs.loadBefore, after: runs.loadAfter },
    unit: 'seconds, medians. addon: its statistics duration; addonWall: the child process from its start until it saw ' +
      'the job done; addonExit: until it exited (after the job thread\'s end pause). shell: bash time of the pipeline; ' +
      'shellWall: around bash. Ratios are speed ratios: other tool\'s seconds / addon\'s seconds.',
    compressed: {},
  };
  const idleKiB = ctx.idleKiB;
  const aboveIdleMiB = (kib) => (kib - idleKiB) / KiB;
  const load = (l) => l.map((v) => v.toFixed(1)).join(' ');

  console.log(`\nformats: ext4 of ${size / MiB} MiB, block map ${(map.mappedBytes / MiB).toFixed(1)} MiB` +
    ` (${(100 * result.image.mappedShare).toFixed(1)}%), ${ctx.reps} repetitions, ${BLOCK / MiB} MiB blocks, ${cpus} CPUs,` +
    ` load average ${load(runs.loadBefore)} before, ${load(runs.loadAfter)} after`);
  console.log('compressed write (median s)   addon addon(wall)   shell shell(wall) shell/addon (wall)' +
    '  CPU/wall: addon shell  peak above idle (median)');
  for (const format of FORMATS) {
    const { addon, shell } = runs.compressed[format.name];
    const e = {
      compressedMiB: result.image.compressedMiB[format.name],
      pipeline: `${format.decompress.join(' ')} IMG | dd bs=4M iflag=fullblock oflag=dsync`,
      addon: med(addon, 'seconds'), addonWall: med(addon, 'doneSeconds'), addonExit: med(addon, 'exitSeconds'),
      shell: med(shell, 'seconds'), shellWall: med(shell, 'outerSeconds'),
      addonCpuPerWall: med(addon, 'cpuPerWall'), shellCpuPerWall: med(shell, 'cpuPerWall'),
      peakAboveIdleMiB: aboveIdleMiB(med(addon, 'peakKiB')),
      runs: { addon, shell },
    };
    e.ratio = e.shell / e.addon;
    e.ratioWall = e.shellWall / e.addonWall;
    e.addonMBps = mbps(size, e.addon);
    result.compressed[format.name] = e;
    console.log(`  ${format.name.padEnd(6)} ${fixed(e.compressedMiB, 5, 1)} MiB ${fixed(e.addon, 6)} ${fixed(e.addonWall, 11)}` +
      ` ${fixed(e.shell, 7)} ${fixed(e.shellWall, 11)} ${fixed(e.ratio, 11, 3)} ${fixed(e.ratioWall, 6, 3)}` +
      ` ${fixed(e.addonCpuPerWall, 16)} ${fixed(e.shellCpuPerWall, 5)} ${fixed(e.peakAboveIdleMiB, 9, 1)} MiB`);
  }
  const exitLag = median(FORMATS.flatMap((f) => runs.compressed[f.name].addon.map((r) => r.exitSeconds - r.doneSeconds)));
  result.addonExitAfterDoneSeconds = exitLag;
  console.log(`  (the addon's process exits ${exitLag.toFixed(2)} s after it saw the job done: the job thread's end pause)`);

  const rawFull = med(runs.rawFull, 'seconds');
  const mapped = {
    rawFull, rawFullWall: med(runs.rawFull, 'doneSeconds'), rawFullMBps: mbps(size, rawFull),
    addonRaw: med(runs.mappedRaw, 'seconds'), addonRawWall: med(runs.mappedRaw, 'doneSeconds'),
    addonXz: med(runs.mappedXz, 'seconds'), addonXzWall: med(runs.mappedXz, 'doneSeconds'),
    addonXzCpuPerWall: med(runs.mappedXz, 'cpuPerWall'),
    bmaptool: med(runs.bmaptool, 'seconds'), bmaptoolWall: med(runs.bmaptool, 'outerSeconds'),
    bmaptoolXz: med(runs.bmaptoolXz, 'seconds'), bmaptoolXzWall: med(runs.bmaptoolXz, 'outerSeconds'),
    runs: {
      rawFull: runs.rawFull, addonRaw: runs.mappedRaw, addonXz: runs.mappedXz, bmaptool: runs.bmaptool, bmaptoolXz: runs.bmaptoolXz,
    },
  };
  mapped.ratioRawToBmaptool = mapped.bmaptool / mapped.addonRaw;
  mapped.ratioRawToBmaptoolWall = mapped.bmaptoolWall / mapped.addonRawWall;
  mapped.ratioRawToFullWrite = rawFull / mapped.addonRaw;
  mapped.ratioXzToBmaptool = mapped.bmaptool / mapped.addonXz;
  mapped.ratioXzToBmaptoolWall = mapped.bmaptoolWall / mapped.addonXzWall;
  mapped.ratioXzToBmaptoolXz = mapped.bmaptoolXz / mapped.addonXz;
  mapped.ratioXzToFullWrite = rawFull / mapped.addonXz;
  result.blockMapped = mapped;
  console.log(`raw image written whole by the addon: ${rawFull.toFixed(2)} s (wall ${mapped.rawFullWall.toFixed(2)} s,` +
    ` ${mapped.rawFullMBps.toFixed(1)} MB/s)`);
  console.log(`bmaptool copy, checksums verified: raw image ${mapped.bmaptool.toFixed(2)} s (wall ${mapped.bmaptoolWall.toFixed(2)} s),` +
    ` xz image ${mapped.bmaptoolXz.toFixed(2)} s (wall ${mapped.bmaptoolXzWall.toFixed(2)} s)`);
  console.log('block-mapped write (median s)   addon addon(wall)  bmaptool(raw)/addon (wall)  full raw/addon');
  console.log(`  raw image  ${fixed(mapped.addonRaw, 18)} ${fixed(mapped.addonRawWall, 11)} ${fixed(mapped.ratioRawToBmaptool, 20, 3)}` +
    ` ${fixed(mapped.ratioRawToBmaptoolWall, 6, 3)} ${fixed(mapped.ratioRawToFullWrite, 15, 3)}`);
  console.log(`  xz image   ${fixed(mapped.addonXz, 18)} ${fixed(mapped.addonXzWall, 11)} ${fixed(mapped.ratioXzToBmaptool, 20, 3)}` +
    ` ${fixed(mapped.ratioXzToBmaptoolWall, 6, 3)} ${fixed(mapped.ratioXzToFullWrite, 15, 3)}` +
    `   (bmaptool on xz/addon ${mapped.ratioXzToBmaptoolXz.toFixed(3)}; addon CPU/wall ${mapped.addonXzCpuPerWall.toFixed(2)})`);

  const cpu = {
    addon: result.compressed.xz.addonCpuPerWall,
    pipeline: result.compressed.xz.shellCpuPerWall,
    decodeOnly: med(runs.xzDecodeOnly, 'cpuPerWall'),
    decodeOnlySeconds: med(runs.xzDecodeOnly, 'seconds'),
    runs: { decodeOnly: runs.xzDecodeOnly },
  };
  result.xzCpuPerWall = cpu;
  console.log(`xz write, CPU time per wall second: addon ${cpu.addon.toFixed(2)}, xz -dc -T0 | dd ${cpu.pipeline.toFixed(2)},` +
    ` xz -dc -T0 > /dev/null ${cpu.decodeOnly.toFixed(2)} (${cpu.decodeOnlySeconds.toFixed(2)} s); ${cpus} CPUs`);

  // The bound of the addon's memory on the xz write: its ring plus the decoder's
  // threading limit. What lies above the ring is the decoder's, told in decoded xz
  // blocks, since a threaded decoder holds whole blocks.
  const xzPeaks = pick(runs.compressed.xz.addon, 'peakKiB');
  const memory = {
    idleMiB: idleKiB / KiB,
    peakMiB: Math.max(...xzPeaks) / KiB,
    peakAboveIdleMiB: aboveIdleMiB(Math.max(...xzPeaks)),
    medianPeakAboveIdleMiB: aboveIdleMiB(median(xzPeaks)),
    ringMiB: (RING_BUFFERS * BLOCK) / MiB,
    decoderLimitMiB: XZ_THREADED_LIMIT / MiB,
    xzBlockMiB: xz.largestBlock / MiB,
    xzDictionaryMiB: xz.decoderMemory / MiB,
  };
  memory.boundMiB = memory.ringMiB + memory.decoderLimitMiB;
  memory.aboveRingMiB = memory.peakAboveIdleMiB - memory.ringMiB;
  result.xzWriteMemory = memory;
  console.log(`xz write memory: peak ${memory.peakMiB.toFixed(1)} MiB, ${memory.peakAboveIdleMiB.toFixed(1)} MiB above an idle` +
    ` process (${memory.idleMiB.toFixed(1)} MiB); bound ${memory.boundMiB} MiB = ring ${memory.ringMiB} MiB + decoder limit` +
    ` ${memory.decoderLimitMiB} MiB; above the ring ${memory.aboveRingMiB.toFixed(1)} MiB` +
    ` = ${(memory.aboveRingMiB / memory.xzBlockMiB).toFixed(1)} xz blocks of ${memory.xzBlockMiB.toFixed(1)} MiB` +
    ` (${xz.blocks} blocks, decoder needs ${memory.xzDictionaryMiB.toFixed(1)} MiB each thread; ${cpus} threads)`);

  result.targets = {
    compressedWriteAtLeast1xPipeline: Object.fromEntries(FORMATS.map((f) => [f.name, result.compressed[f.name].ratio >= 1])),
    compressedWriteAtLeast1xPipelineWall: Object.fromEntries(FORMATS.map((f) => [f.name, result.compressed[f.name].ratioWall >= 1])),
    xzCpuPerWallAtLeast1_5: cpu.addon >= 1.5,
    mappedRawAtLeast1xBmaptool: mapped.ratioRawToBmaptool >= 1,
    mappedRawAtLeast3xFullWrite: mapped.ratioRawToFullWrite >= 3,
    mappedXzAtLeast1xBmaptool: mapped.ratioXzToBmaptool >= 1,
    mappedXzAtLeast3xFullWrite: mapped.ratioXzToFullWrite >= 3,
    xzWriteMemoryWithinRingPlusDecoderLimit: memory.peakAboveIdleMiB <= memory.boundMiB,
  };
  const verdicts = Object.entries(result.targets).flatMap(([name, value]) =>
    typeof value === 'object'
      ? [`${name} ${Object.entries(value).map(([k, ok]) => `${k} ${ok ? 'met' : 'MISSED'}`).join(' ')}`]
      : [`${name} ${value ? 'met' : 'MISSED'}`]);
  console.log(`\nformats targets: ${verdicts.join(', ')}`);
  return result;
}

// ctx: { env, device, reps, fsMiB, fill, idleKiB, dir, images (folder to keep them, or null), hold(fn) }
function runFormats(ctx) {
  const folder = ctx.images || path.join(ctx.dir, 'formats');
  fs.mkdirSync(folder, { recursive: true });
  const images = prepareImages(ctx, folder);
  const measured = measure(ctx, images);
  return report(ctx, images, measured);
}

module.exports = { runFormats, prepareImages, FORMATS };
