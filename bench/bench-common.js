'use strict';
// Helpers shared by the parts of the benchmark: running tools, dropping caches,
// the stand-in drive listing, and one addon job in a child process.
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

const KiB = 1024;
const MiB = 1024 * KiB;

function run(command, args, extra = {}) {
  const result = spawnSync(command, args, { encoding: 'utf8', maxBuffer: 16 * MiB, ...extra });
  if (result.error) throw result.error;
  return result;
}

function runOk(command, args, extra) {
  const result = run(command, args, extra);
  if (result.status !== 0) {
    const why = result.signal ? `killed by ${result.signal}` : result.stderr || result.stdout;
    throw new Error(`${command} ${args.join(' ')}: ${why}`);
  }
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
function timed(command, args, extra) {
  const started = process.hrtime.bigint();
  const result = run(command, args, extra);
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

// The stand-in lsblk of the tests prints this listing: the loop device as a
// removable disk, with the sizes the real lsblk reports for it.
function writeListing(file, ...devices) {
  const columns = 'name,path,type,size,model,vendor,phy-sec,log-sec,rm,hotplug,label,fstype,uuid,ptuuid,parttype,partlabel,mountpoint';
  const listing = JSON.parse(runOk('lsblk', ['--bytes', '--json', '--nodeps', '-o', columns, ...devices]));
  for (const entry of listing.blockdevices) Object.assign(entry, { type: 'disk', rm: true, hotplug: true });
  fs.writeFileSync(file, JSON.stringify(listing));
}

// Runs one addon job (or an idle process) in a child node process; `extra` are the
// optional words of flash-job.js (a block map, "direct"). childMs is the child's whole life, start of node to exit.
function addonJob(env, mode, device, image, block, ...extra) {
  const args = [path.join(__dirname, 'flash-job.js'), mode];
  if (mode !== 'idle') args.push(device, image, String(block));
  args.push(...extra.filter(Boolean));
  const started = process.hrtime.bigint();
  const result = run(process.execPath, args, { env });
  const childMs = Number(process.hrtime.bigint() - started) / 1e6;
  if (result.status !== 0) throw new Error(`addon ${mode} failed: ${result.signal || ''} ${result.stderr}`);
  return { ...JSON.parse(result.stdout.trim().split('\n').pop()), childMs };
}

function checkJob(what, job) {
  const { stats } = job;
  if (stats.completed !== 100 || stats.numerrs !== 0 || stats.numwriteerrs !== 0) {
    throw new Error(`${what} did not run clean: ${JSON.stringify(stats)}`);
  }
}

// Every write of the benchmark goes to a loop device it attached itself.
function assertLoopDevice(device) {
  if (!/^\/dev\/loop\d+$/.test(device)) throw new Error(`refusing to write to ${device}: not a loop device`);
}

module.exports = {
  KiB, MiB, run, runOk, dropCaches, timed, median, mbps, label, writeListing, addonJob, checkJob, assertLoopDevice,
};
