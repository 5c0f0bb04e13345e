'use strict';
// What the end-to-end tests share: running system tools, an undo list that a test's
// `after` hook runs even when the test failed, loop devices over files of the test,
// the stand-in lsblk that lists one loop device as a removable disk, and waiting for
// the jobs of a FlashDrive.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const crypto = require('node:crypto');
const { spawnSync } = require('node:child_process');
const { root, toolsDir, waitForEnd } = require('../harness.js');

const e2eToolsDir = path.join(toolsDir, 'e2e');
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Runs a tool and returns its status and output; never throws.
function tryRun(command, args = [], options = {}) {
  const result = spawnSync(command, args, { encoding: 'utf8', timeout: 60000, ...options });
  const output = `${result.stdout || ''}${result.stderr || ''}`.trim();
  return { status: result.error ? -1 : result.status, stdout: result.stdout || '', output: result.error ? result.error.message : output };
}

// Runs a tool and returns its standard output; throws with its output on failure.
function run(command, args = [], options = {}) {
  const result = tryRun(command, args, options);
  if (result.status !== 0) throw new Error(`${command} ${args.join(' ')} failed (${result.status}): ${result.output}`);
  return result.stdout;
}

function hasTool(name) {
  return tryRun('sh', ['-c', 'command -v "$1"', 'sh', name]).status === 0;
}

// Why the end-to-end tests cannot run here, or null when they can. They attach loop
// devices, mount file systems and create users, all of which needs root.
function whyNotRoot() {
  if (process.platform !== 'linux') return 'end-to-end tests need Linux';
  if (process.getuid() !== 0) return 'end-to-end tests need root (loop devices, mounts, users)';
  const missing = ['losetup', 'lsblk', 'partx', 'sfdisk', 'mkfs.ext4', 'mount', 'umount'].filter((t) => !hasTool(t));
  if (missing.length) return `missing tools: ${missing.join(' ')} (scripts/setup.sh installs them)`;
  return null;
}

// Undo steps, run in reverse order of registration. Every step runs even when an
// earlier one fails; the failures are reported together at the end.
class Undo {
  constructor() {
    this.steps = [];
  }

  add(what, step) {
    this.steps.push({ what, step });
  }

  async runAll() {
    const failures = [];
    while (this.steps.length) {
      const { what, step } = this.steps.pop();
      try {
        await step();
      } catch (err) {
        failures.push(`${what}: ${err.message}`);
      }
    }
    if (failures.length) throw new Error(`clean-up failed:\n${failures.join('\n')}`);
  }
}

// Makes the runs of a test on this machine take turns: a test that starts daemons of
// the whole machine holds it. Returns false when another run kept it for `limitMs`.
// A lock left by a process that is gone is taken over.
async function takeTurn(undo, name, limitMs = 180000) {
  const lock = path.join(os.tmpdir(), `flasher-e2e-${name}.lock`);
  const started = Date.now();
  for (;;) {
    try {
      fs.writeFileSync(lock, String(process.pid), { flag: 'wx' });
      undo.add(`release ${lock}`, () => fs.rmSync(lock, { force: true }));
      return true;
    } catch (err) {
      if (err.code !== 'EEXIST') throw err;
    }
    let owner;
    try {
      owner = Number(fs.readFileSync(lock, 'utf8'));
    } catch (err) {
      if (err.code === 'ENOENT') continue; // released meanwhile
      throw err;
    }
    if (owner > 0 && !processAlive(owner)) {
      fs.rmSync(lock, { force: true });
      continue;
    }
    if (Date.now() - started > limitMs) return false;
    await sleep(200);
  }
}

function processAlive(pid) {
  try {
    process.kill(pid, 0);
    return true;
  } catch (err) {
    return err.code === 'EPERM';
  }
}

// A temporary folder of the test, removed by `undo`.
function tempDir(undo, prefix = 'flasher-e2e-') {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), prefix));
  undo.add(`remove ${dir}`, () => fs.rmSync(dir, { recursive: true, force: true }));
  return dir;
}

// Sets environment variables of this process (the addons run their tools from it)
// until `undo` puts the old values back.
function setEnv(undo, vars) {
  const saved = {};
  for (const [name, value] of Object.entries(vars)) {
    saved[name] = process.env[name];
    process.env[name] = value;
  }
  undo.add('restore the environment', () => {
    for (const [name, value] of Object.entries(saved)) {
      if (value === undefined) delete process.env[name];
      else process.env[name] = value;
    }
  });
}

// Attaches a loop device over `file` and returns its path; `undo` removes its
// partition nodes and detaches it.
function attachLoop(undo, file) {
  const device = run('losetup', ['--find', '--show', file]).trim();
  if (!/^\/dev\/loop\d+$/.test(device)) throw new Error(`losetup printed ${device}`);
  undo.add(`detach ${device}`, () => {
    tryRun('partx', ['-d', device]); // fails harmlessly when it has no partition nodes
    run('losetup', ['-d', device]);
  });
  return device;
}

// The stand-in lsblk first on PATH, reporting `device` (one, or a list) as removable.
function listAsRemovable(undo, device, extraPath = []) {
  setEnv(undo, {
    PATH: [e2eToolsDir, ...extraPath, process.env.PATH].join(':'),
    FAKE_LSBLK_REMOVABLE: [device].flat().join(' '),
  });
}

// Gives `device` one DOS partition table with a single ext4 partition starting at
// 1 MiB, and returns the partition's node (created by partx: this kernel may parse
// no partition table by itself).
function ext4Partition(device, sizeMiB) {
  run('sfdisk', ['-q', device], { input: `label: dos\nstart=2048, size=${sizeMiB}M, type=83\n` });
  const part = `${device}p1`;
  if (!fs.existsSync(part)) run('partx', ['-a', device]);
  // No lazy initialisation: nothing writes in the background once it is mounted.
  run('mkfs.ext4', ['-q', '-F', '-E', 'lazy_itable_init=0,lazy_journal_init=0', part]);
  return part;
}

// Mount points of `node` in the mount table.
function mountPoints(node) {
  return fs
    .readFileSync('/proc/self/mounts', 'utf8')
    .split('\n')
    .map((line) => line.split(' '))
    .filter((fields) => fields[0] === node)
    .map((fields) => fields[1].replace(/\\040/g, ' '));
}

// Unmounts `node` wherever it is still mounted.
function unmountAll(node) {
  for (const point of mountPoints(node)) run('umount', [point]);
}

function randomFile(file, size) {
  const bytes = crypto.randomBytes(size);
  fs.writeFileSync(file, bytes);
  return bytes;
}

// Reads `length` bytes of a file or device node from `offset`.
function readBytes(file, offset, length) {
  const fd = fs.openSync(file, 'r');
  try {
    const buffer = Buffer.alloc(length);
    let done = 0;
    while (done < length) {
      const n = fs.readSync(fd, buffer, done, length - done, offset + done);
      if (n === 0) break;
      done += n;
    }
    return buffer.subarray(0, done);
  } finally {
    fs.closeSync(fd);
  }
}

const sha256 = (bytes) => crypto.createHash('sha256').update(bytes).digest('hex');

// A bmaptool block map (format 2.0, 4 KiB blocks) of `bytes` that maps `ranges`, byte
// ranges [start, end) on block boundaries, written into `dir`; returns its path.
function blockMapFile(dir, bytes, ranges) {
  const block = 4096;
  const lines = ranges.map(([start, end]) =>
    `    <Range sha256="${sha256(bytes.subarray(start, end))}">${start / block}-${end / block - 1}</Range>`);
  const mapped = ranges.reduce((sum, [start, end]) => sum + (end - start) / block, 0);
  const file = path.join(dir, 'image.bmap');
  fs.writeFileSync(file, `<?xml version="1.0" ?>
<bmap version="2.0">
  <ImageSize>${bytes.length}</ImageSize>
  <BlockSize>${block}</BlockSize>
  <BlocksCount>${Math.ceil(bytes.length / block)}</BlocksCount>
  <MappedBlocksCount>${mapped}</MappedBlocksCount>
  <ChecksumType>sha256</ChecksumType>
  <BlockMap>
${lines.join('\n')}
  </BlockMap>
</bmap>
`);
  return file;
}

// A write job counts as running until its thread has ended, end pause and permission
// restore included: storing the same write block size is refused until then.
async function writeThreadEnded(flash, blockSize, limitMs = 30000) {
  const started = Date.now();
  for (;;) {
    try {
      flash.setWriteBlock(blockSize);
      return;
    } catch (err) {
      if (err.message !== 'a job is running on this device') throw err;
    }
    if (Date.now() - started > limitMs) throw new Error('the write thread did not end');
    await sleep(20);
  }
}

// Runs a whole write job and returns its closed statistics, once its thread has ended.
async function writeAndWait(flash, blockSize) {
  flash.setWriteBlock(blockSize);
  flash.startWrite();
  const stats = await waitForEnd(() => flash.getWriteStats(), 60000);
  await writeThreadEnded(flash, blockSize);
  return stats;
}

async function validateAndWait(flash, blockSize) {
  flash.setValidateBlock(blockSize);
  flash.startValidate();
  return waitForEnd(() => flash.getValidateStats(), 60000);
}

module.exports = {
  root,
  toolsDir,
  e2eToolsDir,
  sleep,
  tryRun,
  run,
  hasTool,
  whyNotRoot,
  Undo,
  takeTurn,
  tempDir,
  setEnv,
  attachLoop,
  listAsRemovable,
  ext4Partition,
  mountPoints,
  unmountAll,
  randomFile,
  readBytes,
  sha256,
  blockMapFile,
  writeThreadEnded,
  writeAndWait,
  validateAndWait,
};
