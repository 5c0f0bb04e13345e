'use strict';
// setPassword against the stand-in sudo and su: the probe, what a refusal leaves, and
// what a write does with a password sudo no longer takes.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const { sandbox, waitForEnd } = require('./harness.js');
const { throwsError, until, jobSandbox, fillDrive } = require('./flashdrive-helpers.js');
const { FlashDrive } = require('../../index.js');

const rightPassword = 'open sesame';

// A sandbox as the user alice, whom the stand-in su knows.
function asAlice(box) {
  process.env.FAKE_SU_ACCOUNTS = 'alice';
  return box;
}

// The password probes (sudo reading a password, and the su it runs) and permission changes.
const sudoCalls = (box) => box.calls().filter((line) => line.startsWith('sudo -S ') || line.startsWith('su '));

function assertPasswordNeverShown(box, password) {
  const log = box.calls().join('\n');
  assert.ok(!log.includes(password), `the log shows the password:\n${log}`);
  assert.ok(!log.includes('[password on a command line]'), log);
}

test('setPassword accepts the right password and refuses a wrong or empty one', (t) => {
  const box = asAlice(sandbox({ whoami: 'alice', sudoPassword: rightPassword }));
  t.after(() => box.cleanup());
  const fd = new FlashDrive();
  fd.setPassword(rightPassword);
  throwsError(() => fd.setPassword('open sesame!'), 'invalid sudo password');
  throwsError(() => fd.setPassword(''), 'invalid sudo password');
  assert.deepStrictEqual(sudoCalls(box), [
    'sudo -S -k su -- alice [accepted]',
    'su -- alice',
    'sudo -S -k su -- alice [refused]',
    'sudo -S -k su -- alice [refused]',
  ]);
  assertPasswordNeverShown(box, rightPassword);
});

test('shell characters in a password reach sudo unchanged and run nothing', (t) => {
  const box = asAlice(sandbox({ whoami: 'alice' }));
  t.after(() => box.cleanup());
  const marker = path.join(box.dir, 'ran');
  const password = `it's "$(touch ${marker})" \`touch ${marker}\`; touch ${marker}`;
  process.env.FAKE_SUDO_PASSWORD = password;
  const fd = new FlashDrive();
  fd.setPassword(password);
  throwsError(() => fd.setPassword(`${password}'`), 'invalid sudo password');
  assert.ok(!fs.existsSync(marker), 'a command inside the password ran');
  assertPasswordNeverShown(box, password);
});

test('an empty password, refused, leaves a user who is not root without one', (t) => {
  const box = asAlice(sandbox({ whoami: 'alice', sudoPassword: rightPassword }));
  t.after(() => box.cleanup());
  const fd = new FlashDrive();
  fd.setDrive('fakesd');
  throwsError(() => fd.setPassword(''), 'invalid sudo password');
  throwsError(() => fd.startWrite(), 'password is not set');
});

test('a password sudo stops taking: the write runs and its permission change fails', async (t) => {
  const driveSize = 1 << 16;
  const box = asAlice(jobSandbox(t, { whoami: 'alice', sudoPassword: rightPassword, diskSize: driveSize }));
  fillDrive(box, driveSize);
  const { file, bytes } = box.image(5000);
  const fd = box.watch(new FlashDrive());
  fd.setDrive('fakesd');
  fd.setWriteBlock(4096);
  fd.setImage(file);
  fd.setPassword(rightPassword);
  process.env.FAKE_SUDO_PASSWORD = 'changed since';
  fd.startWrite();
  const stats = await waitForEnd(() => fd.getWriteStats());
  assert.strictEqual(stats.completed, 100);
  assert.strictEqual(stats.errque, 'failed to alter permissions');
  // This process really is root, so the node could be opened all the same.
  assert.ok(fs.readFileSync(box.drivePath).subarray(0, bytes.length).equals(bytes));

  // Nothing was granted, so nothing is put back.
  const calls = sudoCalls(box).filter((line) => line.includes('setfacl'));
  assert.deepStrictEqual(calls, [`sudo -S -k setfacl -m u:${process.getuid()}:rw -- ${box.drivePath} [refused]`]);
  assertPasswordNeverShown(box, rightPassword);
});

