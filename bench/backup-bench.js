'use strict';
// The backup part of the benchmark: a 512 MiB ext4 loop device, about a quarter of it
// filled with files from /usr, backed up to .zst by `flasher backup` (its block map and
// checksum file included, the output flushed to the disk), timed as a whole process,
// against the slower of its two halves done by the tools: `dd iflag=direct` of the same
// extent, and `zstd -T0` of it from the page cache into a file. Also timed, for
// reference, the pipeline a user would type: `dd iflag=direct | zstd -T0 > file`.
// The page cache is dropped before each run (the zstd run then reads its copy once,
// untimed), the order alternates between repetitions, and the medians are compared.
const fs = require('node:fs');
const path = require('node:path');
const { MiB, run, runOk, dropCaches, median, writeListing, assertLoopDevice } = require('./bench-common');
const { chooseFiles, shellJob } = require('./formats-bench');

const root = path.resolve(__dirname, '..');
const DRIVE_MIB = 512;
const FILL = 0.25;

const quote = (text) => `'${String(text).replace(/'/g, "'\\''")}'`;

// The ext4 file system on the whole loop device, filled from /usr, unmounted again.
function prepareDrive(ctx, dir) {
  const backing = path.join(dir, 'backup-drive.img');
  fs.writeFileSync(backing, '');
  fs.truncateSync(backing, DRIVE_MIB * MiB);
  const device = runOk('losetup', ['--find', '--show', backing]).trim();
  ctx.hold(() => run('losetup', ['-d', device]));
  assertLoopDevice(device);
  runOk('mkfs.ext4', ['-q', '-F', '-L', 'flasher-backup', '-E', 'lazy_itable_init=0,lazy_journal_init=0', device]);
  const mountPoint = path.join(dir, 'backup-mnt');
  fs.mkdirSync(mountPoint);
  runOk('mount', [device, mountPoint]);
  try {
    const { chosen, total } = chooseFiles(DRIVE_MIB * MiB * FILL);
    const list = path.join(dir, 'backup-files.list');
    fs.writeFileSync(list, chosen.map((f) => `${f}\0`).join(''));
    console.log(`backup: copying ${chosen.length} files (${(total / MiB).toFixed(0)} MiB) from /usr onto ${device}`);
    runOk('bash', ['-c', `set -o pipefail; tar -C /usr --null --no-recursion -T ${quote(list)} -cf - | tar -C ${quote(mountPoint)} -xf -`]);
  } finally {
    runOk('umount', [mountPoint]);
    fs.rmdirSync(mountPoint);
  }
  return device;
}

function runBackup(ctx) {
  const { dir, reps } = ctx;
  const device = prepareDrive(ctx, dir);
  const listing = path.join(dir, 'backup-lsblk.json');
  writeListing(listing, device);
  // The stand-in lsblk of the tests lists the loop device as a removable disk; every
  // other tool is the machine's own, as for a user.
  const tools = path.join(dir, 'backup-tools');
  fs.mkdirSync(tools);
  fs.symlinkSync(path.join(root, 'test', 'tools', 'lsblk'), path.join(tools, 'lsblk'));
  const env = `PATH=${quote(`${tools}:${process.env.PATH}`)} FAKE_LSBLK_LISTING=${quote(listing)}`;
  const summaryFile = path.join(dir, 'backup-summary.json');
  const extent = DRIVE_MIB * MiB; // no partition table: the whole drive
  const copy = path.join(dir, 'backup-extent.img');
  runOk('dd', [`if=${device}`, `of=${copy}`, `bs=${4 * MiB}`, 'status=none']);
  const output = path.join(dir, 'backup.img.zst');
  const clean = () => {
    for (const file of [output, `${output}.bmap`, `${output}.sha256`]) fs.rmSync(file, { force: true });
  };

  const steps = {
    addon: () => {
      const job = shellJob(`${env} ${quote(process.execPath)} ${quote(path.join(root, 'cli.js'))} backup ${device} ${quote(output)} --json > ${quote(summaryFile)}`);
      const summary = JSON.parse(fs.readFileSync(summaryFile, 'utf8').trim().split('\n').pop());
      if (!summary.ok) throw new Error(`flasher backup failed: ${JSON.stringify(summary.error)}`);
      return { ...job, outputBytes: summary.result.outputBytes, jobSeconds: summary.result.durationMs / 1000 };
    },
    dd: () => shellJob(`dd if=${device} of=/dev/null bs=${4 * MiB} count=${extent / (4 * MiB)} iflag=direct status=none`),
    zstd: () => {
      runOk('cat', [copy], { stdio: ['ignore', 'ignore', 'pipe'] });
      return shellJob(`zstd -q -T0 -3 -f ${quote(copy)} -o ${quote(output)}`);
    },
    pipeline: () => shellJob(`dd if=${device} bs=${4 * MiB} count=${extent / (4 * MiB)} iflag=direct status=none | zstd -q -T0 -3 > ${quote(output)}`),
  };
  const runs = Object.fromEntries(Object.keys(steps).map((name) => [name, []]));
  runs.job = [];
  let outputBytes = 0;
  console.log(`backup: ${DRIVE_MIB} MiB to .zst, ${reps} repetitions`);
  for (let rep = 0; rep < reps; rep += 1) {
    const names = Object.keys(steps);
    for (const name of rep % 2 ? names.reverse() : names) {
      clean();
      dropCaches(device);
      const measured = steps[name]();
      runs[name].push(measured.seconds);
      if (name === 'addon') {
        outputBytes = measured.outputBytes;
        runs.job.push(measured.jobSeconds);
      }
      process.stdout.write('.');
    }
  }
  clean();
  fs.rmSync(copy, { force: true });

  const seconds = Object.fromEntries(Object.entries(runs).map(([name, values]) => [name, median(values)]));
  const limit = Math.max(seconds.dd, seconds.zstd);
  const result = {
    driveMiB: DRIVE_MIB, fill: FILL, outputMiB: outputBytes / MiB, seconds, runs,
    limitSeconds: limit, ratioToLimit: limit / seconds.addon, ratioToPipeline: seconds.pipeline / seconds.addon,
    jobRatioToLimit: limit / seconds.job,
  };
  result.targets = { backupAtLeast09OfLimit: result.ratioToLimit >= 0.9 };
  console.log(`\nbackup of ${DRIVE_MIB} MiB to .zst (median seconds, whole processes)`);
  console.log(`  flasher backup ${seconds.addon.toFixed(2)} (output ${result.outputMiB.toFixed(1)} MiB, with its .bmap and .sha256;` +
    ` the job itself, from the drive's opening to the files in place, ${seconds.job.toFixed(2)})`);
  console.log(`  dd iflag=direct ${seconds.dd.toFixed(2)}  zstd -T0 from the page cache ${seconds.zstd.toFixed(2)}  ` +
    `dd | zstd -T0 > file ${seconds.pipeline.toFixed(2)}`);
  console.log(`  ratio to the slower of dd and zstd ${result.ratioToLimit.toFixed(3)} (target 0.9: ` +
    `${result.targets.backupAtLeast09OfLimit ? 'met' : 'MISSED'}), to the pipeline ${result.ratioToPipeline.toFixed(3)};` +
    ` the job alone to the slower ${result.jobRatioToLimit.toFixed(3)}`);
  return result;
}

module.exports = { runBackup };
