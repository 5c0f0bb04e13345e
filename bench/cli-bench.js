'use strict';
// CLI part of the benchmark: what a user waits for. The whole `flasher write IMAGE
// DRIVE --yes --no-verify --no-capacity-check` process, from its start to its exit,
// against the shell pipeline a user would type with the strongest form of dd:
//   raw:        dd if=IMAGE of=DRIVE bs=4M iflag=fullblock oflag=direct; sync
//   compressed: DECOMPRESSOR -dc IMAGE | dd of=DRIVE bs=4M iflag=fullblock oflag=direct; sync
// on a loop device with direct I/O (nothing caches below it, as with a real drive), the
// ext4 image of the formats part in every format, the page cache dropped before each run
// and the order alternating. Also the xz write against the slower of decoding alone
// (xz -dc -T0 > /dev/null) and the raw write: on 2 cores xz decoding is the limit.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { MiB, run, runOk, dropCaches, median, writeListing, assertLoopDevice } = require('./bench-common');
const { prepareImages, shellJob, FORMATS } = require('./formats-bench');

const root = path.resolve(__dirname, '..');
const quote = (text) => `'${String(text).replace(/'/g, "'\\''")}'`;
const KINDS = [{ name: 'raw', ext: 'img' }, ...FORMATS];

function cliJob(env, device, image) {
  const started = process.hrtime.bigint();
  const result = run(process.execPath, [path.join(root, 'cli.js'), 'write', image, device, '--yes', '--no-verify',
    '--no-capacity-check', '--json'], { env });
  const seconds = Number(process.hrtime.bigint() - started) / 1e9;
  if (result.status !== 0) throw new Error(`flasher write ${image} failed: ${result.stderr}`);
  return { seconds };
}

function runCli(ctx) {
  const folder = ctx.images || path.join(ctx.dir, 'formats');
  fs.mkdirSync(folder, { recursive: true });
  const images = prepareImages(ctx, folder);
  const file = (kind) => images.files[kind.name];
  const size = ctx.fsMiB * MiB;

  const backing = path.join(ctx.dir, 'cli-drive.img');
  fs.writeFileSync(backing, '');
  fs.truncateSync(backing, size + 16 * MiB);
  const device = runOk('losetup', ['--find', '--show', '--direct-io=on', backing]).trim();
  ctx.hold(() => run('losetup', ['-d', device]));
  assertLoopDevice(device);
  const listing = path.join(ctx.dir, 'cli-lsblk.json');
  writeListing(listing, device);
  const env = { ...ctx.env, FAKE_LSBLK_LISTING: listing };

  const pipeline = (kind) => (kind.name === 'raw'
    ? `dd if=${quote(file(kind))} of=${quote(device)} bs=4M iflag=fullblock oflag=direct status=none; sync`
    : `${kind.decompress.join(' ')} ${quote(file(kind))} | dd of=${quote(device)} bs=4M iflag=fullblock oflag=direct status=none; sync`);
  const runs = Object.fromEntries(KINDS.map((k) => [k.name, { cli: [], shell: [] }]));
  runs.xzDecodeOnly = [];
  const loadBefore = os.loadavg();
  for (let rep = 0; rep < ctx.reps; rep += 1) {
    for (const kind of KINDS) {
      for (const tool of rep % 2 === 0 ? ['cli', 'shell'] : ['shell', 'cli']) {
        dropCaches(device);
        runs[kind.name][tool].push(tool === 'cli' ? cliJob(env, device, file(kind)) : shellJob(pipeline(kind)));
        if (rep === 0 && tool === 'cli' && run('cmp', ['-n', String(size), images.files.raw, device]).status !== 0) {
          throw new Error(`after flasher write of ${kind.name} the device differs from the image`);
        }
        process.stdout.write('.');
      }
    }
    dropCaches(device);
    runs.xzDecodeOnly.push(shellJob(`xz -dc -T0 ${quote(images.files.xz)} > /dev/null`));
  }
  process.stdout.write('\n');
  return report(runs, size, loadBefore);
}

function report(runs, size, loadBefore) {
  const med = (list) => median(list.map((r) => r.seconds));
  const result = {
    sizeMiB: size / MiB,
    unit: 'seconds, medians: the flasher process from its start to its exit; the pipeline with its final sync, ' +
      'timed by bash. ratio = pipeline seconds / flasher seconds.',
    loadAverage: { before: loadBefore, after: os.loadavg() },
    formats: {},
  };
  console.log(`\ncli: flasher write --yes --no-verify --no-capacity-check as a whole process, ${size / MiB} MiB ext4,` +
    ` direct-I/O loop device; load ${loadBefore.map((v) => v.toFixed(1)).join(' ')}`);
  console.log('  format    flasher  pipeline  pipeline/flasher');
  for (const kind of KINDS) {
    const e = { flasher: med(runs[kind.name].cli), pipeline: med(runs[kind.name].shell), runs: runs[kind.name] };
    e.ratio = e.pipeline / e.flasher;
    result.formats[kind.name] = e;
    console.log(`  ${kind.name.padEnd(7)} ${e.flasher.toFixed(2).padStart(8)} ${e.pipeline.toFixed(2).padStart(9)} ${e.ratio.toFixed(3).padStart(17)}`);
  }
  const decodeOnly = med(runs.xzDecodeOnly);
  const limit = Math.max(decodeOnly, result.formats.raw.flasher);
  result.xz = { decodeOnly, rawWrite: result.formats.raw.flasher, limit, ratio: limit / result.formats.xz.flasher };
  console.log(`  xz: decoding alone ${decodeOnly.toFixed(2)} s, raw write ${result.formats.raw.flasher.toFixed(2)} s;` +
    ` the slower of the two / the xz write ${result.xz.ratio.toFixed(3)}`);
  result.targets = Object.fromEntries(KINDS.map((k) => [`${k.name}AtLeast1xPipeline`, result.formats[k.name].ratio >= 1]));
  console.log(`\ncli targets: ${Object.entries(result.targets).map(([k, ok]) => `${k} ${ok ? 'met' : 'MISSED'}`).join(', ')}`);
  return result;
}

module.exports = { runCli };
