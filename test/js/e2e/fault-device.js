'use strict';
// A failing drive for the end-to-end tests and the benchmark: the FUSE file system of
// test/fault-device exposes one file with the faults asked for, and a loop device over
// it makes that a block device. Everything made here is undone by `stop()`, which the
// undo list runs even when a test fails. Options: test/fault-device/README.md.
const fs = require('node:fs');
const path = require('node:path');
const { spawn } = require('node:child_process');
const h = require('./e2e-helpers.js');

const binary = path.join(h.root, 'build-tests', 'fault-device');
const fsType = 'fuse.flasher-fault';

// Why no fault device can be made here, or null.
function whyNoFaultDevice() {
  const why = h.whyNotRoot();
  if (why) return why;
  if (!fs.existsSync('/dev/fuse')) return 'no /dev/fuse on this machine';
  if (!fs.existsSync(binary)) return `${binary} is not built (scripts/setup.sh builds it)`;
  if (!h.hasTool('fusermount3')) return 'fusermount3 is missing (scripts/setup.sh installs fuse3)';
  return null;
}

// Command-line options of the daemon from the helper's options.
function daemonOptions(o) {
  const ranges = (name, list = []) => list.map(([begin, end]) => `--${name}=${begin}-${end}`);
  const named = { keep: o.keep, 'past-keep': o.pastKeep, 'pull-after': o.pullAfter, 'pull-errno': o.pullErrno, rate: o.rate, 'rate-after': o.rateAfter && o.rateAfter.join(':'), 'delay-us': o.delayUs, 'fail-flush': o.failFlush };
  return [
    `--size=${o.size}`,
    ...ranges('fail-read', o.failRead),
    ...ranges('fail-write', o.failWrite),
    ...ranges('fail', o.fail),
    ...ranges('lose-once', o.loseOnce),
    ...ranges('lose', o.lose),
    ...Object.entries(named).filter(([, value]) => value !== undefined).map(([name, value]) => `--${name}=${value}`),
  ];
}

const mounted = (mountPoint) =>
  fs.readFileSync('/proc/self/mounts', 'utf8').split('\n').some((line) => {
    const [, point, type] = line.split(' ');
    return point === mountPoint && type === fsType;
  });

async function waitFor(what, done, limitMs = 10000) {
  const started = Date.now();
  while (!done()) {
    if (Date.now() - started > limitMs) throw new Error(`${what} within ${limitMs} ms`);
    await h.sleep(20);
  }
}

// The loop device whose backing file is `file`, or null; found by its backing file,
// never by number, so a loop device of anyone else is never touched.
function loopOver(file) {
  for (const name of fs.readdirSync('/sys/block').filter((n) => n.startsWith('loop'))) {
    let backing = '';
    try {
      backing = fs.readFileSync(`/sys/block/${name}/loop/backing_file`, 'utf8').trim();
    } catch (err) {
      if (err.code !== 'ENOENT') throw err; // ENOENT: not attached
    }
    if (backing === file) return `/dev/${name}`;
  }
  return null;
}

// Starts the daemon, waits for its mount and attaches a loop device over its file.
// `options.size` (bytes the drive reports) is required; `options.parent` is the folder
// its own folder goes in (the temporary folder by default). Returns
// { loopDevice, backingFile, mountPoint, pid, pull(), stop() }.
async function openFaultDevice(undo, options) {
  const dir = options.parent ? fs.mkdtempSync(path.join(options.parent, 'fault-')) : h.tempDir(undo, 'flasher-fault-');
  const mountPoint = path.join(dir, 'mnt');
  const backingFile = path.join(dir, 'backing.img');
  const driveFile = path.join(mountPoint, 'drive');
  const logFile = path.join(dir, 'daemon.log');
  fs.mkdirSync(mountPoint);
  const log = fs.openSync(logFile, 'w');
  // A session of its own (detached calls setsid): a signal to the test's process group
  // must not reach it, or it would unmount and leave the loop device orphaned.
  const daemon = spawn(binary, [`--backing=${backingFile}`, ...daemonOptions(options), mountPoint,
    '-o', `fsname=flasher-fault,subtype=flasher-fault`], { detached: true, stdio: ['ignore', log, log] });
  fs.closeSync(log);
  let exited = false;
  const exit = new Promise((resolve) => daemon.on('exit', () => resolve((exited = true))));

  const exitWithin = (ms) => new Promise((resolve) => {
    const timer = setTimeout(resolve, ms);
    exit.then(() => resolve(clearTimeout(timer)));
  });
  const signal = (name) => {
    if (exited) return;
    try {
      process.kill(daemon.pid, name);
    } catch (err) {
      if (err.code !== 'ESRCH') throw err; // ended just now
    }
  };
  let stopped = false;
  const stop = async () => {
    if (stopped) return;
    stopped = true;
    const failures = [];
    const step = (command, args) => {
      const result = h.tryRun(command, args);
      if (result.status !== 0) failures.push(`${command} ${args.join(' ')}: ${result.output}`);
    };
    signal('SIGCONT'); // a stopped daemon would hold every step below
    const loop = loopOver(driveFile);
    if (loop) step('losetup', ['-d', loop]);
    if (mounted(mountPoint)) step('fusermount3', ['-u', mountPoint]);
    await exitWithin(10000);
    if (!exited) {
      signal('SIGKILL'); // its connection ends with it, and with it any request still held
      await exit;
      if (mounted(mountPoint)) step('fusermount3', ['-u', mountPoint]);
    }
    if (failures.length) throw new Error(failures.join('\n'));
  };
  undo.add(`stop the fault device in ${dir}`, stop);

  await waitFor('the fault device was not mounted', () => {
    if (exited) throw new Error(`the fault device ended: ${fs.readFileSync(logFile, 'utf8').trim()}`);
    return mounted(mountPoint);
  });
  const loopDevice = h.run('losetup', ['--direct-io=on', '--find', '--show', driveFile]).trim();
  return {
    loopDevice,
    backingFile,
    mountPoint,
    pid: daemon.pid,
    // Pulls the drive out: from now on every request fails.
    pull: () => signal('SIGUSR1'),
    stop,
  };
}

// A fault device listed as the one removable drive, an image of `imageSize` random
// bytes, and a FlashDrive set up for both. Returns { fault, bytes, flash }.
async function flashOntoFaultDevice(undo, faults, imageSize) {
  const { FlashDrive } = require('../../../index.js');
  const fault = await openFaultDevice(undo, faults);
  h.listAsRemovable(undo, fault.loopDevice);
  const image = path.join(h.tempDir(undo), 'image.bin');
  const bytes = h.randomFile(image, imageSize);
  const flash = new FlashDrive();
  flash.setDrive(fault.loopDevice);
  flash.setImage(image);
  return { fault, bytes, flash };
}

// Writes random bytes over the whole drive and returns what the medium kept of them.
function fillWithPattern(fault) {
  const fd = fs.openSync(fault.loopDevice, 'r+');
  try {
    const size = Number(h.run('blockdev', ['--getsize64', fault.loopDevice]).trim());
    fs.writeSync(fd, require('node:crypto').randomBytes(size), 0, size, 0);
    fs.fsyncSync(fd);
  } finally {
    fs.closeSync(fd);
  }
  return fs.readFileSync(fault.backingFile);
}

module.exports = { whyNoFaultDevice, openFaultDevice, flashOntoFaultDevice, fillWithPattern };
