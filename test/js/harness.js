'use strict';
// Shared set-up of the JavaScript tests: a temporary folder, a "drive" that is a file
// in it, the stand-in tools first on PATH, and the listing the stand-in lsblk prints.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const crypto = require('node:crypto');

const root = path.resolve(__dirname, '..', '..');
const toolsDir = path.join(root, 'test', 'tools');

function disk({ name = 'fakesd', file, size = 1 << 20, sector = 512, rm = true, hotplug = true, vendor = 'Test ', model = 'Flash Disk', serial = 'FD0001', children } = {}) {
  const entry = {
    name, path: file, type: 'disk', size, model, vendor,
    'phy-sec': sector, 'log-sec': sector, rm, hotplug,
    label: null, fstype: null, uuid: null, ptuuid: null, parttype: null, partlabel: null, mountpoint: null, serial,
  };
  if (children) entry.children = children;
  return entry;
}

// Creates a sandbox and points the stand-in tools at it. The environment variables are
// set on process.env, since the addons run the tools from this process; `env` holds
// them for child processes too. Call cleanup() when done.
function sandbox({ diskSize = 1 << 20, sector = 512, whoami, sudoPassword } = {}) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'flasher-js-'));
  const drivePath = path.join(dir, 'drive.img');
  fs.writeFileSync(drivePath, Buffer.alloc(diskSize));
  const listingPath = path.join(dir, 'lsblk.json');
  const logPath = path.join(dir, 'tool-calls.log');
  const saved = { ...process.env };
  const env = {
    PATH: `${toolsDir}:${process.env.PATH}`,
    FAKE_LSBLK_LISTING: listingPath,
    FAKE_TOOL_LOG: logPath,
  };
  if (whoami !== undefined) env.FAKE_WHOAMI = whoami;
  if (sudoPassword !== undefined) env.FAKE_SUDO_PASSWORD = sudoPassword;
  Object.assign(process.env, env);

  const box = {
    dir,
    drivePath,
    env: { ...process.env },
    // Writes the listing; with no argument, the one drive of the sandbox.
    list(disks = [disk({ file: drivePath, size: diskSize, sector })]) {
      fs.writeFileSync(listingPath, JSON.stringify({ blockdevices: disks }, null, 2));
    },
    // Writes an image of pseudo-random bytes and returns its path and content.
    image(size, name = 'image.bin') {
      const file = path.join(dir, name);
      const bytes = crypto.randomBytes(size);
      // A first byte that starts no compressed format's magic: the image stays raw.
      if (size > 0) bytes[0] = 0;
      fs.writeFileSync(file, bytes);
      return { file, bytes };
    },
    calls() {
      return fs.existsSync(logPath) ? fs.readFileSync(logPath, 'utf8').split('\n').filter(Boolean) : [];
    },
    cleanup() {
      for (const key of Object.keys(process.env)) if (!(key in saved)) delete process.env[key];
      Object.assign(process.env, saved);
      fs.rmSync(dir, { recursive: true, force: true });
    },
  };
  box.list();
  return box;
}

// System tools of the image-making tests: on PATH for root only, hence looked up by path.
const systemTool = (name) => ['/usr/sbin', '/sbin', '/usr/bin', '/bin'].map((d) => path.join(d, name)).find((p) => fs.existsSync(p));
const FAT_TOOLS = ['mkfs.vfat', 'sfdisk', 'mtype'];
const whyNoFatTools = () => (FAT_TOOLS.every(systemTool) ? null
  : 'mkfs.vfat (dosfstools), sfdisk (fdisk) or mtype (mtools) is missing; scripts/setup.sh installs them');

// An 8 MiB image in `dir`: partition 1 FAT from 1 MiB, partition 2 Linux from 7 MiB.
function fatImage(dir) {
  const { execFileSync } = require('node:child_process');
  const file = path.join(dir, 'image.img');
  fs.writeFileSync(file, '');
  fs.truncateSync(file, 8 * 1024 * 1024);
  execFileSync(systemTool('sfdisk'), ['-q', file], { input: 'start=2048, size=6M, type=c\nstart=14336, type=83\n' });
  execFileSync(systemTool('mkfs.vfat'), ['--offset=2048', file, String(6 * 1024)], { stdio: 'ignore' });
  return file;
}

// Polls a statistics method until the job shows its end (duration set) or the limit passes.
async function waitForEnd(getStats, limitMs = 30000) {
  const started = Date.now();
  for (;;) {
    const stats = JSON.parse(getStats());
    if (stats.duration > 0 || stats.completed === 100) return stats;
    if (Date.now() - started > limitMs) throw new Error(`job did not end: ${JSON.stringify(stats)}`);
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
}

module.exports = { root, toolsDir, disk, sandbox, waitForEnd, systemTool, whyNoFatTools, fatImage };
