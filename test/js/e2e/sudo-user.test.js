'use strict';
// Users who are not root, through the real sudo: one made for the run with a password
// and a sudoers rule writes a loop device from a JavaScript program that loads a copy
// of the package; another, with a password and no rule, can neither use sudo nor open
// the node while the first one's job has it.
const test = require('node:test');
const { spawn } = require('node:child_process');
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

// A user with a home, a password and, where `sudoer`, a sudoers rule; all removed by `undo`.
function createUser(undo, password, sudoer, suffix = '') {
  const user = `flashe2e${process.pid}${suffix}`;
  if (h.tryRun('id', ['-u', user]).status === 0) throw new Error(`user ${user} exists already`);
  h.run('useradd', ['--create-home', '--shell', '/bin/sh', user]);
  undo.add(`remove user ${user}`, () => {
    for (const state of [`/var/lib/sudo/lectured/${user}`, `/run/sudo/ts/${user}`]) fs.rmSync(state, { force: true });
    h.run('userdel', ['--remove', user]);
  });
  h.run('chpasswd', [], { input: `${user}:${password}\n` });
  if (!sudoer) return user;
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

// The arguments of runuser that run node with `args` as `user`, in a clean environment
// but for `variables`.
function asUser(user, tools, args, variables = []) {
  return ['-u', user, '--', '/usr/bin/env', '-i', `PATH=${tools}:/usr/local/bin:/usr/bin:/bin:/usr/local/sbin:/usr/sbin:/sbin`,
    `HOME=/home/${user}`, ...variables, process.execPath, ...args];
}

// Mode, owner and access list of a node: what a job must leave as it found it.
const nodeState = (node) => {
  const { mode, uid, gid } = fs.statSync(node);
  return { mode, uid, gid, acl: h.run('getfacl', ['--omit-header', '--numeric', '--absolute-names', node]) };
};

test('a user who is not root writes and validates through sudo; nobody else may open the node meanwhile', { skip, timeout: 120000 }, async (t) => {
  const undo = new h.Undo();
  t.after(() => undo.runAll());
  // Quotes and blanks: the password must reach sudo as it is, never through a shell.
  const password = `it's a "s3cret" $(pw) ${process.pid}`;
  const wrong = `${password}x`;
  const user = createUser(undo, password, true);
  const other = createUser(undo, password, false, 'b');

  const dir = h.tempDir(undo);
  fs.chmodSync(dir, 0o755);
  const { pkg, tools, program } = copyPackage(dir);
  const backing = path.join(dir, 'backing.img');
  fs.writeFileSync(backing, Buffer.alloc(64 * MiB));
  const device = h.attachLoop(undo, backing);
  const imagePath = path.join(dir, 'image.bin');
  const image = h.randomFile(imagePath, 32 * MiB + 4096);
  fs.chmodSync(imagePath, 0o644);
  const before = nodeState(device);
  assert.strictEqual(before.mode & 0o006, 0, `${device} must not be open to others before the write`);

  // The other user's password is right, yet sudo refuses that user.
  const probe = `require(${JSON.stringify(pkg)}); const { FlashDrive } = require(${JSON.stringify(pkg)});
    try { new FlashDrive().setPassword(${JSON.stringify(password)}); console.log('accepted'); } catch (err) { console.log(err.code, err.message); }`;
  const refused = h.tryRun('runuser', asUser(other, tools, ['-e', probe]), { timeout: 30000 });
  assert.strictEqual(refused.stdout.trim(), `ENOSUDO ${other} may not use sudo on this machine`, refused.output);

  const settings = { device: path.basename(device), image: imagePath, password, wrong, blockSize: MiB };
  const job = spawn('runuser', asUser(user, tools, [program, pkg, JSON.stringify(settings)], [`FAKE_LSBLK_REMOVABLE=${device}`]));
  let stdout = '';
  let stderr = '';
  job.stderr.on('data', (chunk) => { stderr += chunk; });
  const writing = new Promise((resolve) => job.stdout.on('data', (chunk) => {
    stdout += chunk;
    if (stdout.includes('writing\n')) resolve();
  }));
  const exited = new Promise((resolve) => job.on('exit', resolve));
  await Promise.race([writing, exited]);
  // While the job has the node: its user holds an entry of the access list, nobody else.
  const opener = `const fs = require('fs');
    try { fs.openSync(${JSON.stringify(device)}, fs.constants.O_WRONLY); console.log('opened'); } catch (err) { console.log(err.code); }`;
  const meanwhile = h.tryRun('runuser', asUser(other, tools, ['-e', opener]), { timeout: 30000 });
  const aclMeanwhile = nodeState(device).acl;
  assert.strictEqual(await exited, 0, stderr);
  assert.strictEqual(meanwhile.stdout.trim(), 'EACCES', 'another user opened the node during the job');
  assert.match(aclMeanwhile, new RegExp(`^user:${h.run('id', ['-u', user]).trim()}:rw-`, 'm'));

  const seen = JSON.parse(stdout.slice(stdout.indexOf('writing\n') + 'writing\n'.length));
  assert.strictEqual(seen.checkWrong, false, 'checkPassword with a wrong password');
  assert.strictEqual(seen.checkRight, true, 'checkPassword with the right password');
  assert.strictEqual(seen.setWrong, 'invalid sudo password');
  assert.deepStrictEqual([seen.write.completed, seen.write.errque], [100, '']);
  assert.deepStrictEqual([seen.validate.completed, seen.validate.numwriteerrs, seen.validate.errque], [100, 0, '']);
  assert.deepStrictEqual(nodeState(device), before, 'the node has its mode, owner and access list back');
  assert.ok(h.readBytes(device, 0, image.length).equals(image), 'the device holds the image');
});
