'use strict';
// The pacing part of the benchmark (--only pacing), each drive of a group at its own pace:
//   4 fault devices, one throttled to a quarter of the others' rate: each fast drive's
//     data time in the group  vs  the same drive written alone (target <= 1.1x); the
//     slow drive's against its own time alone, and the bytes it read back from the
//     spool file: what serving a laggard costs
//   4 equal loop devices, the image in the page cache: the whole flash({ drives }) call
//     (a node process)  vs  4 dd oflag=direct conv=fsync bs=4M run in parallel (target >= 0.9x)
const fs = require('node:fs');
const path = require('node:path');
const { MiB, run, runOk, timed, median, mbps, writeListing, addonJob, checkJob, assertLoopDevice } = require('./bench-common');
const h = require('../test/js/e2e/e2e-helpers.js');
const { whyNoFaultDevice, openFaultDevice } = require('../test/js/e2e/fault-device.js');

const BLOCK = 4 * MiB;
const FAST_RATE = 40e6;

function randomImage(file, size) {
  runOk('head', ['-c', String(size), '/dev/urandom'], { stdio: ['ignore', fs.openSync(file, 'w'), 'pipe'] });
}

function listed(ctx, devices, name) {
  const listing = path.join(ctx.dir, `${name}-lsblk.json`);
  writeListing(listing, ...devices);
  return { ...ctx.env, FAKE_LSBLK_LISTING: listing };
}

async function unevenDrives(ctx, reps) {
  const why = whyNoFaultDevice();
  if (why) return { skipped: why };
  const undo = new h.Undo();
  try {
    const size = 128 * MiB;
    const rates = [FAST_RATE, FAST_RATE, FAST_RATE, FAST_RATE / 4];
    const devices = [];
    for (const rate of rates) devices.push((await openFaultDevice(undo, { size: size + 16 * MiB, rate })).loopDevice);
    const env = listed(ctx, devices, 'uneven');
    const image = path.join(ctx.dir, 'uneven-image.bin');
    randomImage(image, size);
    const runs = { groupFast: [], soloFast: [], groupSlow: [], soloSlow: [], spooledMiB: [], peakMiB: [] };
    for (let rep = 0; rep < reps; rep += 1) {
      const group = addonJob(env, 'group', devices.join(','), image, BLOCK, 'direct');
      group.stats.forEach((stats, i) => checkJob(`uneven group, drive ${devices[i]}`, { stats }));
      for (let i = 0; i < 3; i += 1) runs.groupFast.push(group.stats[i].duration);
      runs.groupSlow.push(group.stats[3].duration);
      runs.spooledMiB.push(group.progress[3].spooledBytes / MiB);
      runs.peakMiB.push(group.memory.peakKiB / 1024);
      const fast = addonJob(env, 'write', devices[rep % 3], image, BLOCK, 'direct');
      checkJob('fast drive alone', fast);
      runs.soloFast.push(fast.stats.duration);
      if (rep === 0) {
        const slow = addonJob(env, 'write', devices[3], image, BLOCK, 'direct');
        checkJob('slow drive alone', slow);
        runs.soloSlow.push(slow.stats.duration);
      }
      process.stdout.write('.');
    }
    fs.rmSync(image, { force: true });
    const m = Object.fromEntries(Object.entries(runs).map(([k, v]) => [k, median(v)]));
    return { unit: 'ms of data time, medians', runs, medians: m, fastRatio: m.groupFast / m.soloFast, slowRatio: m.groupSlow / m.soloSlow };
  } finally {
    await undo.runAll();
  }
}

function equalDrives(ctx, reps) {
  const size = 256 * MiB;
  const image = path.join(ctx.dir, 'equal-image.bin');
  randomImage(image, size);
  const devices = [];
  for (let i = 0; i < 4; i += 1) {
    const backing = path.join(ctx.dir, `equal-${i}.img`);
    fs.writeFileSync(backing, '');
    fs.truncateSync(backing, size + 16 * MiB);
    const device = runOk('losetup', ['--find', '--show', backing]).trim();
    ctx.hold(() => run('losetup', ['-d', device]));
    assertLoopDevice(device);
    devices.push(device);
  }
  const env = listed(ctx, devices, 'equal');
  const dd = devices.map((d) => `dd if=${image} of=${d} bs=${BLOCK} oflag=direct conv=fsync status=none &`).join(' ');
  const seconds = { addon: [], dd: [] };
  for (let rep = 0; rep < reps; rep += 1) {
    for (const tool of rep % 2 ? ['dd', 'addon'] : ['addon', 'dd']) {
      runOk('cat', [image], { stdio: ['ignore', 'ignore', 'pipe'] }); // the image in the page cache for both
      if (tool === 'addon') {
        const job = addonJob(env, 'flash', devices.join(','), image, BLOCK);
        job.stats.forEach((stats, i) => checkJob(`flash() onto ${devices[i]}`, { stats }));
        seconds.addon.push(job.childMs / 1000);
      } else {
        const t = timed('bash', ['-c', `${dd} wait`]);
        if (t.status !== 0) throw new Error(`dd failed: ${t.output}`);
        seconds.dd.push(t.seconds);
      }
      process.stdout.write('.');
    }
  }
  fs.rmSync(image, { force: true });
  const addon = median(seconds.addon);
  const ddSeconds = median(seconds.dd);
  return { unit: 's of whole processes, medians', seconds, addon, dd: ddSeconds, ratio: ddSeconds / addon, mbps: mbps(4 * size, addon) };
}

async function runPacing(ctx, reps) {
  console.log('\npacing: 4 drives, one at a quarter of the others\' speed; 4 equal drives against dd');
  const uneven = await unevenDrives(ctx, reps);
  const equal = equalDrives(ctx, reps);
  process.stdout.write('\n');
  const result = { uneven, equal };
  result.targets = {
    fastDrivesAtMost11xTheirSoloTime: uneven.skipped ? null : uneven.fastRatio <= 1.1,
    flashCallAtLeast09xParallelDdDirect: equal.ratio >= 0.9,
  };
  if (uneven.skipped) console.log(`  uneven drives skipped: ${uneven.skipped}`);
  else {
    const m = uneven.medians;
    console.log(`  fast drives: ${(m.groupFast / 1000).toFixed(2)} s in the group, ${(m.soloFast / 1000).toFixed(2)} s alone: ` +
      `${uneven.fastRatio.toFixed(3)}x; slow drive ${(m.groupSlow / 1000).toFixed(2)} s against ${(m.soloSlow / 1000).toFixed(2)} s alone ` +
      `(${uneven.slowRatio.toFixed(3)}x), ${m.spooledMiB.toFixed(0)} MiB read back from the spool file, peak ${m.peakMiB.toFixed(0)} MiB`);
  }
  console.log(`  4 equal loop devices: flash({ drives }) ${equal.addon.toFixed(2)} s, 4 x dd oflag=direct conv=fsync ` +
    `${equal.dd.toFixed(2)} s: ${equal.ratio.toFixed(3)}x`);
  console.log('targets:', Object.entries(result.targets).map(([k, ok]) => `${k} ${ok === null ? 'not run' : ok ? 'met' : 'MISSED'}`).join(', '));
  return result;
}

module.exports = { runPacing };
