'use strict';
// Demonstration of the flasher command: writes a sample image onto a simulated
// removable drive, verifies it, and shows that the drive then holds the image.
// The drive is a file in a temporary folder (as root: a loop device over that file),
// listed by the stand-in lsblk of test/tools; no real disk is touched.
const { spawn, execFileSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const root = path.resolve(__dirname, '..');
const MiB = 1024 * 1024;
const IMAGE_SIZE = 64 * MiB;
const DRIVE_SIZE = 128 * MiB;
// Small blocks: the statistics advance every 400 blocks, so the bars move visibly.
const BLOCK_SIZE = '16K';
// Accepted by the stand-in sudo when the demonstration does not run as root.
const DEMO_PASSWORD = 'demo-password';

const isRoot = process.getuid() === 0;
const say = (text) => process.stdout.write(`${text}\n`);

function writeSampleImage(file) {
  const fd = fs.openSync(file, 'w');
  try {
    for (let written = 0; written < IMAGE_SIZE; written += MiB) fs.writeSync(fd, crypto.randomBytes(MiB));
  } finally {
    fs.closeSync(fd);
  }
}

// SHA-256 of the first `length` bytes of a file or device.
function sha256(file, length) {
  const hash = crypto.createHash('sha256');
  const buffer = Buffer.alloc(MiB);
  const fd = fs.openSync(file, 'r');
  try {
    for (let done = 0; done < length; ) {
      const n = fs.readSync(fd, buffer, 0, Math.min(buffer.length, length - done), done);
      if (n === 0) throw new Error(`${file} ended after ${done} bytes`);
      hash.update(buffer.subarray(0, n));
      done += n;
    }
  } finally {
    fs.closeSync(fd);
  }
  return hash.digest('hex');
}

function attachLoopDevice(file) {
  const device = execFileSync('losetup', ['--find', '--show', file], { encoding: 'utf8' }).trim();
  if (!/^\/dev\/loop\d+$/.test(device)) throw new Error(`unexpected answer of losetup: ${device}`);
  return device;
}

function listing(name, devicePath) {
  const disk = {
    name, path: devicePath, type: 'disk', size: DRIVE_SIZE, model: 'Demo Stick', vendor: 'Simulated ',
    'phy-sec': 512, 'log-sec': 512, rm: true, hotplug: true,
    label: null, fstype: null, uuid: null, ptuuid: null, parttype: null, partlabel: null, mountpoint: null,
  };
  return JSON.stringify({ blockdevices: [disk] }, null, 2);
}

// Runs the flasher command with the stand-in tools; resolves with its exit status.
function flasher(args, env, input) {
  say(`\n$ flasher ${args.join(' ')}`);
  return new Promise((resolve, reject) => {
    const child = spawn(process.execPath, [path.join(root, 'cli.js'), ...args], {
      env, stdio: [input === undefined ? 'ignore' : 'pipe', 'inherit', 'inherit'],
    });
    if (input !== undefined) child.stdin.end(input);
    child.on('error', reject);
    child.on('exit', (code, signal) => resolve(signal ? 128 : code));
  });
}

async function demonstrate(dir, attached) {
  const image = path.join(dir, 'sample.img');
  const driveFile = path.join(dir, 'simulated-drive.bin');
  say(`Creating a sample image of ${IMAGE_SIZE / MiB} MiB of random bytes: ${image}`);
  writeSampleImage(image);
  fs.writeFileSync(driveFile, '');
  fs.truncateSync(driveFile, DRIVE_SIZE);

  let drive = { name: 'demostick', path: driveFile };
  if (isRoot) {
    attached.device = attachLoopDevice(driveFile);
    drive = { name: path.basename(attached.device), path: attached.device };
    say(`Simulated drive: loop device ${drive.path} over the file ${driveFile} (${DRIVE_SIZE / MiB} MiB)`);
  } else {
    say(`Simulated drive: the file ${driveFile} (${DRIVE_SIZE / MiB} MiB); not root, so no loop device`);
  }

  const listingFile = path.join(dir, 'lsblk.json');
  fs.writeFileSync(listingFile, listing(drive.name, drive.path));
  const env = Object.fromEntries(Object.entries(process.env).filter(([key]) => !key.startsWith('FAKE_')));
  Object.assign(env, { PATH: `${path.join(root, 'test', 'tools')}:${process.env.PATH}`, FAKE_LSBLK_LISTING: listingFile });
  if (!isRoot) env.FAKE_SUDO_PASSWORD = DEMO_PASSWORD;
  say('The stand-in lsblk of test/tools reports it as a removable drive:');

  if ((await flasher(['list'], env)) !== 0) throw new Error('flasher list failed');
  // No eject: the stand-in udisksctl would answer for a drive that cannot be powered off.
  const writeArgs = ['write', image, drive.name, '--yes', '--block-size', BLOCK_SIZE, '--no-eject'];
  const status = isRoot
    ? await flasher(writeArgs, env)
    : await flasher([...writeArgs, '--password-stdin'], env, `${DEMO_PASSWORD}\n`);
  if (status !== 0) throw new Error(`flasher write ended with status ${status}`);

  say('\nComparing the drive with the image:');
  const imageHash = sha256(image, IMAGE_SIZE);
  const driveHash = sha256(drive.path, IMAGE_SIZE);
  say(`  image                              sha256 ${imageHash}`);
  say(`  first ${IMAGE_SIZE} bytes of the drive  sha256 ${driveHash}`);
  if (imageHash !== driveHash) throw new Error('the drive does not hold the image');
  say('  equal: the drive holds the image byte for byte.');
}

async function main() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'flasher-demo-'));
  const attached = { device: null };
  // Ctrl-C reaches the flasher command too, which cancels its job; the demonstration
  // then ends through its clean-up below.
  process.on('SIGINT', () => say('\n(interrupted: the demonstration ends once the flasher command has stopped)'));
  let failed = false;
  try {
    await demonstrate(dir, attached);
  } catch (err) {
    failed = true;
    process.stderr.write(`demo: ${err.message}\n`);
  } finally {
    try {
      if (attached.device) execFileSync('losetup', ['--detach', attached.device]);
    } catch (err) {
      failed = true;
      process.stderr.write(`demo: could not detach ${attached.device}: ${err.message}\n`);
    }
    fs.rmSync(dir, { recursive: true, force: true });
  }
  say('\nThe drive was simulated: a file in a temporary folder' +
    (attached.device ? ` behind the loop device ${attached.device}` : '') +
    ', listed by the stand-in lsblk. No real disk was touched.');
  say(`Removed everything the demonstration made (${dir}${attached.device ? `, ${attached.device} detached` : ''}).`);
  process.exitCode = failed ? 1 : 0;
}

main();
