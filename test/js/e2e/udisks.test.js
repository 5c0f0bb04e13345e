'use strict';
// The write job unmounts a mounted partition through the real udisksctl. There is no
// systemd here: the test starts a private system bus, systemd-udevd (unless one runs
// already) and udisksd itself, and stops each of them by its process id.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const { spawn } = require('node:child_process');
const h = require('./e2e-helpers.js');

const MiB = 1 << 20;
const udevd = ['/lib/systemd/systemd-udevd', '/usr/lib/systemd/systemd-udevd'].find((f) => fs.existsSync(f));
const udisksd = '/usr/libexec/udisks2/udisksd';

function whyNot() {
  const reason = h.whyNotRoot();
  if (reason) return reason;
  const missing = ['dbus-daemon', 'udevadm', 'udisksctl'].filter((t) => !h.hasTool(t));
  if (!udevd) missing.push('systemd-udevd');
  if (!fs.existsSync(udisksd)) missing.push('udisksd');
  if (missing.length) return `missing: ${missing.join(' ')} (scripts/setup.sh installs dbus, udev and udisks2)`;
  return null;
}

// Thrown where the machine, not the system under test, cannot go on.
class MachineCannot extends Error {}

async function until(what, condition, limitMs = 15000) {
  const started = Date.now();
  for (;;) {
    const last = condition();
    if (last === true) return;
    if (Date.now() - started > limitMs) throw new MachineCannot(`${what}: ${last}`);
    await h.sleep(100);
  }
}

// Starts a daemon in the foreground of a child process; `undo` stops it by its id.
function startDaemon(undo, name, command, args, logFile, env = process.env) {
  const log = fs.openSync(logFile, 'a');
  const child = spawn(command, args, { stdio: ['ignore', log, log], env });
  fs.closeSync(log);
  const exited = new Promise((resolve) => child.once('exit', resolve));
  undo.add(`stop ${name} (pid ${child.pid})`, async () => {
    if (child.exitCode !== null || child.signalCode !== null) return;
    process.kill(child.pid, 'SIGTERM');
    const killer = setTimeout(() => process.kill(child.pid, 'SIGKILL'), 10000);
    await exited;
    clearTimeout(killer);
  });
  return child;
}

const alive = (child, logFile) =>
  child.exitCode === null && child.signalCode === null ? true : `exited: ${fs.readFileSync(logFile, 'utf8').trim()}`;

// Removes a folder that a daemon of the test created, if it did not exist before.
function removeIfNew(undo, dir) {
  if (fs.existsSync(dir)) return;
  undo.add(`remove ${dir}`, () => fs.rmSync(dir, { recursive: true, force: true }));
}

// A system bus of the test's own, not the machine's: no service activation, so no
// daemon ever starts that the test did not start itself.
async function startBus(undo, dir) {
  const socket = path.join(dir, 'system_bus_socket');
  const config = path.join(dir, 'bus.conf');
  fs.writeFileSync(config, `<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=${socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="root"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
`);
  const log = path.join(dir, 'dbus.log');
  const bus = startDaemon(undo, 'dbus-daemon', 'dbus-daemon', ['--config-file', config, '--nofork', '--nopidfile'], log);
  await until('the system bus did not start', () => (fs.existsSync(socket) ? true : alive(bus, log)));
  return `unix:path=${socket}`;
}

async function startUdev(undo, dir) {
  if (h.tryRun('udevadm', ['control', '--ping']).status === 0) return; // the machine's own
  removeIfNew(undo, '/run/udev');
  const log = path.join(dir, 'udevd.log');
  const daemon = startDaemon(undo, 'systemd-udevd', udevd, [], log);
  await until('systemd-udevd did not start', () =>
    h.tryRun('udevadm', ['control', '--ping']).status === 0 ? true : alive(daemon, log));
}

async function startUdisks(undo, dir) {
  for (const state of ['/run/udisks2', '/var/lib/udisks2', '/run/media', '/media/root']) removeIfNew(undo, state);
  const log = path.join(dir, 'udisksd.log');
  const daemon = startDaemon(undo, 'udisksd', udisksd, [], log);
  await until('udisksd did not come up', () =>
    h.tryRun('udisksctl', ['status'], { timeout: 5000 }).status === 0 ? true : alive(daemon, log));
}

// Mounts the partition through udisks, once udev and udisks have seen its file system.
async function mountThroughUdisks(part) {
  h.tryRun('udevadm', ['trigger', '--action=change', '--settle', part], { timeout: 10000 });
  let last = '';
  await until(`udisksctl could not mount ${part}`, () => {
    const result = h.tryRun('udisksctl', ['mount', '--block-device', part], { timeout: 5000 });
    last = result.output;
    return result.status === 0 ? true : last;
  });
  return last;
}

// udisksctl and udisksd find the test's bus through this variable.
function setBus(undo, address) {
  h.setEnv(undo, { DBUS_SYSTEM_BUS_ADDRESS: address });
}

const skip = whyNot() || false;

test('the write unmounts a partition through the real udisksctl', { skip, timeout: 120000 }, async (t) => {
  const undo = new h.Undo();
  t.after(() => undo.runAll());
  if (!(await h.takeTurn(undo, 'udisks'))) {
    t.skip('another run of this test kept the machine-wide udev and udisks daemons busy');
    return;
  }
  const dir = h.tempDir(undo);
  const backing = path.join(dir, 'backing.img');
  fs.writeFileSync(backing, Buffer.alloc(24 * MiB));
  const device = h.attachLoop(undo, backing);
  const part = h.ext4Partition(device, 16);
  undo.add(`unmount ${part}`, () => h.unmountAll(part));

  try {
    setBus(undo, await startBus(undo, dir));
    await startUdev(undo, dir);
    await startUdisks(undo, dir);
    await mountThroughUdisks(part);
  } catch (err) {
    if (!(err instanceof MachineCannot)) throw err;
    t.skip(`this machine cannot run udisks: ${err.message}`);
    return;
  }
  assert.strictEqual(h.mountPoints(part).length, 1, 'udisksctl mounted the partition');

  h.listAsRemovable(undo, device);
  const imagePath = path.join(dir, 'image.bin');
  const image = h.randomFile(imagePath, 3 * MiB + 512);
  const { FlashDrive } = require('../../../index.js');
  const flash = new FlashDrive();
  flash.setDrive(device);
  flash.setImage(imagePath);
  const written = await h.writeAndWait(flash, MiB);

  assert.deepStrictEqual([written.completed, written.numerrs, written.errque], [100, 0, '']);
  assert.deepStrictEqual(h.mountPoints(part), [], 'the partition is no longer mounted');
  assert.ok(h.readBytes(device, 0, image.length).equals(image), 'the device holds the image');
});
