'use strict';
// A user who is not root writes a loop device through the real sudo and chmod: a user
// made for the run, with a password and a sudoers rule, runs a JavaScript program that
// loads a copy of the package.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const h = require('./e2e-helpers.js');

const MiB = 1 << 20;

function whyNot() {
  const reason = h.whyNotRoot();
  if (reason) return reason;
  const missing = ['sudo', 'useradd', 'userdel', 'chpasswd', 'runuser', 'visudo'].filter((t) => !h.hasTool(t));
  if (missing.length) return `missing tools: ${missing.join(' ')} (scripts/setup.sh installs sudo)`;
  if (!fs.readFileSync('/etc/sudoers', 'utf8').match(/^[@#]includedir\s+\/etc\/sudoers\.d\s*$/m)) {
    return '/etc/sudoers does not include /etc/sudoers.d';
  }
  return null;
}

// A user with a home, a password and a sudoers rule; all removed by `undo`.
function createUser(undo, password) {
  const user = `flashe2e${process.pid}`;
  if (h.tryRun('id', ['-u', user]).status === 0) throw new Error(`user ${user} exists already`);
  h.run('useradd', ['--create-home', '--shell', '/bin/sh', user]);
  undo.add(`remove user ${user}`, () => {
    for (const state of [`/var/lib/sudo/lectured/${user}`, `/run/sudo/ts/${user}`]) fs.rmSync(state, { force: true });
    h.run('userdel', ['--remove', user]);
  });
  h.run('chpasswd', [], { input: `${user}:${password}\n` });
  const rule = `/etc/sudoers.d/flasher-e2e-${user}`;
  undo.add(`remove ${rule}`, () => fs.rmSync(rule, { force: true }));
  fs.writeFileSync(rule, `${user} ALL=(ALL:ALL) ALL\n`, { mode: 0o440 });
  h.run('visudo', ['-c', '-q', '-f', rule]);
  return user;
}

// The package entry with its loader, both addons and the stand-in lsblk, copied into a
// folder that any user may read: the checkout itself may sit where the new user cannot look.
function copyPackage(dir) {
  const pkg = path.join(dir, 'pkg');
  fs.mkdirSync(path.join(pkg, 'build', 'Release'), { recursive: true });
  for (const entry of ['index.js', 'package.json', 'api', 'node_modules/pkg-prebuilds']) {
    fs.cpSync(path.join(h.root, entry), path.join(pkg, entry), { recursive: true });
  }
  for (const addon of ['flasher.node', 'sudo.node']) {
    fs.copyFileSync(path.join(h.root, 'build', 'Release', addon), path.join(pkg, 'build', 'Release', addon));
  }
  const tools = path.join(dir, 'tools');
  fs.mkdirSync(tools);
  fs.copyFileSync(path.join(h.e2eToolsDir, 'lsblk'), path.join(tools, 'lsblk'));
  fs.chmodSync(path.join(tools, 'lsblk'), 0o755);
  const program = path.join(dir, 'program.js');
  fs.copyFileSync(path.join(__dirname, 'sudo-user-program.js'), program);
  return { pkg, tools, program };
}

const skip = whyNot() || false;

test('a user who is not root writes and validates through sudo and chmod', { skip, timeout: 120000 }, async (t) => {
  const undo = new h.Undo();
  t.after(() => undo.runAll());
  // Quotes and blanks: the password must reach sudo as it is, never through a shell.
  const password = `it's a "s3cret" $(pw) ${process.pid}`;
  const wrong = `${password}x`;
  const user = createUser(undo, password);

  const dir = h.tempDir(undo);
  fs.chmodSync(dir, 0o755);
  const { pkg, tools, program } = copyPackage(dir);
  const backing = path.join(dir, 'backing.img');
  fs.writeFileSync(backing, Buffer.alloc(4 * MiB));
  const device = h.attachLoop(undo, backing);
  const imagePath = path.join(dir, 'image.bin');
  const image = h.randomFile(imagePath, 2 * MiB + 4096);
  fs.chmodSync(imagePath, 0o644);
  const modeBefore = fs.statSync(device).mode;
  assert.strictEqual(modeBefore & 0o006, 0, `${device} must not be open to others before the write`);

  const settings = { device: path.basename(device), image: imagePath, password, wrong, blockSize: MiB };
  const result = h.tryRun('runuser', [
    '-u', user, '--', '/usr/bin/env', '-i',
    `PATH=${tools}:/usr/local/bin:/usr/bin:/bin:/usr/local/sbin:/usr/sbin:/sbin`,
    `HOME=/home/${user}`, `FAKE_LSBLK_REMOVABLE=${device}`,
    process.execPath, program, pkg, JSON.stringify(settings),
  ], { timeout: 90000 });
  assert.strictEqual(result.status, 0, result.output);
  const seen = JSON.parse(result.stdout);

  assert.strictEqual(seen.checkWrong, false, 'checkPassword with a wrong password');
  assert.strictEqual(seen.checkRight, true, 'checkPassword with the right password');
  assert.strictEqual(seen.setWrong, 'invalid sudo password');
  assert.deepStrictEqual([seen.write.completed, seen.write.errque], [100, '']);
  assert.deepStrictEqual([seen.validate.completed, seen.validate.numwriteerrs, seen.validate.errque], [100, 0, '']);
  assert.deepStrictEqual([seen.writeAtEnd.numerrs, seen.writeAtEnd.errque], [0, ''], 'every chmod succeeded');

  assert.strictEqual(fs.statSync(device).mode, modeBefore, 'the device node has its permission bits back');
  assert.ok(h.readBytes(device, 0, image.length).equals(image), 'the device holds the image');
});
