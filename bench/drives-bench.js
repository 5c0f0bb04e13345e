'use strict';
// The several-drives part of the benchmark (--drives N), N drives written from one
// read of the image:
//   N loop devices, 128 MiB of random bytes  vs  N dd oflag=dsync run in parallel
//   N fault devices of 20 MB/s each  vs  N × 20 MB/s
//   the CPU time of an xz image written to N drives at once  vs  N separate writes
const fs = require('node:fs');
const path = require('node:path');
const { MiB, run, runOk, dropCaches, timed, median, mbps, writeListing, addonJob, checkJob, assertLoopDevice } =
  require('./bench-common');
const h = require('../test/js/e2e/e2e-helpers.js');
const { whyNoFaultDevice, openFaultDevice } = require('../test/js/e2e/fault-device.js');

const BLOCK = 4 * MiB;
const SLOW_RATE = 20e6;

// N loop devices over files of `size` bytes, listed as removable disks.
function loopDrives(ctx, count, size) {
  const devices = [];
  for (let i = 0; i < count; i += 1) {
    const backing = path.join(ctx.dir, `group-${i}.img`);
    fs.writeFileSync(backing, '');
    fs.truncateSync(backing, size);
    const device = runOk('losetup', ['--find', '--show', backing]).trim();
    ctx.hold(() => run('losetup', ['-d', device]));
    assertLoopDevice(device);
    devices.push(device);
  }
  return devices;
}

function withListing(ctx, devices) {
  const listing = path.join(ctx.dir, 'group-lsblk.json');
  writeListing(listing, ...devices);
  return { ...ctx.env, FAKE_LSBLK_LISTING: listing };
}

function groupJob(env, devices, image, what) {
  const job = addonJob(env, 'group', devices.join(','), image, BLOCK);
  job.stats.forEach((stats, i) => checkJob(`${what}, drive ${devices[i]}`, { stats }));
  return job;
}

function fastDrives(ctx, count, reps) {
  const size = 128 * MiB;
  const image = path.join(ctx.dir, 'group-image.bin');
  runOk('head', ['-c', String(size), '/dev/urandom'], { stdio: ['ignore', fs.openSync(image, 'w'), 'pipe'] });
  const devices = loopDrives(ctx, count, size + 16 * MiB);
  const env = withListing(ctx, devices);
  const dropAll = () => devices.forEach(dropCaches);
  const aggregate = { addon: [], dd: [] };
  const dd = devices.map((d) => `dd if=${image} of=${d} bs=${BLOCK} oflag=dsync status=none &`).join(' ');
  for (let rep = 0; rep < reps; rep += 1) {
    for (const tool of rep % 2 ? ['dd', 'addon'] : ['addon', 'dd']) {
      dropAll();
      if (tool === 'addon') {
        aggregate.addon.push(mbps(count * size, groupJob(env, devices, image, 'group write').wallMs / 1000));
      } else {
        const t = timed('bash', ['-c', `${dd} wait`]);
        aggregate.dd.push(mbps(count * size, t.seconds));
      }
      process.stdout.write('.');
    }
  }
  // The CPU time of decoding, once for the group against once per separate write, on
  // text (random bytes in base64), which takes xz real work to decode.
  const text = path.join(ctx.dir, 'group-text.img');
  runOk('bash', ['-c', `base64 -w 0 < ${image} | head -c ${size} > ${text} && xz -T0 -1 ${text}`]);
  dropAll();
  const groupCpu = groupJob(env, devices, `${text}.xz`, 'group write of xz').cpu.ms;
  let separateCpu = 0;
  for (const device of devices) {
    dropAll();
    const job = addonJob(env, 'write', device, `${text}.xz`, BLOCK);
    checkJob('separate write of xz', job);
    separateCpu += job.cpu.ms;
  }
  fs.rmSync(`${text}.xz`, { force: true });
  fs.rmSync(image, { force: true });
  return { addon: median(aggregate.addon), dd: median(aggregate.dd), runs: aggregate, groupCpuMs: groupCpu, separateCpuMs: separateCpu };
}

async function slowDrives(ctx, count) {
  const why = whyNoFaultDevice();
  if (why) return { skipped: why };
  const undo = new h.Undo();
  try {
    const size = 64 * MiB;
    const devices = [];
    for (let i = 0; i < count; i += 1) devices.push((await openFaultDevice(undo, { size: size + 16 * MiB, rate: SLOW_RATE })).loopDevice);
    const image = path.join(ctx.dir, 'slow-image.bin');
    runOk('head', ['-c', String(size), '/dev/urandom'], { stdio: ['ignore', fs.openSync(image, 'w'), 'pipe'] });
    const job = groupJob(withListing(ctx, devices), devices, image, 'group write onto slow drives');
    fs.rmSync(image, { force: true });
    return { aggregate: mbps(count * size, job.wallMs / 1000), target: count * SLOW_RATE / 1e6 };
  } finally {
    await undo.runAll();
  }
}

async function runDrives(ctx, count, reps) {
  console.log(`\n${count} drives at once`);
  const fast = fastDrives(ctx, count, reps);
  const slow = await slowDrives(ctx, count);
  process.stdout.write('\n');
  const result = {
    drives: count,
    loopDevices: { ...fast, ratio: fast.addon / fast.dd },
    slowDrives: slow.skipped ? slow : { ...slow, ratio: slow.aggregate / slow.target },
    decodingCpu: { groupMs: fast.groupCpuMs, separateMs: fast.separateCpuMs, ratio: fast.separateCpuMs / fast.groupCpuMs },
  };
  result.targets = {
    loopDevicesAtLeast09xParallelDd: result.loopDevices.ratio >= 0.9,
    slowDrivesAtLeast09xTheirRates: slow.skipped ? null : result.slowDrives.ratio >= 0.9,
  };
  console.log(`  loop devices: group ${fast.addon.toFixed(0)} MB/s in all, ${count} × dd oflag=dsync ${fast.dd.toFixed(0)}: ` +
    `${result.loopDevices.ratio.toFixed(3)}`);
  if (slow.skipped) console.log(`  slow drives skipped: ${slow.skipped}`);
  else console.log(`  ${count} slow drives of 20 MB/s: ${slow.aggregate.toFixed(1)} MB/s in all (${result.slowDrives.ratio.toFixed(3)} of ${slow.target})`);
  console.log(`  xz decoding CPU: group ${(fast.groupCpuMs / 1000).toFixed(2)} s, ${count} separate writes ` +
    `${(fast.separateCpuMs / 1000).toFixed(2)} s (${result.decodingCpu.ratio.toFixed(2)}×)`);
  console.log('targets:', Object.entries(result.targets).map(([k, ok]) => `${k} ${ok === null ? 'not run' : ok ? 'met' : 'MISSED'}`).join(', '));
  return result;
}

module.exports = { runDrives };
