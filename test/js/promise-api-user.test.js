'use strict';
// The failures of the promise API that only a user who is not root meets: the process
// asks once who it runs as, so this file runs as alice throughout.
const test = require('node:test');
const assert = require('node:assert/strict');
const { sandbox } = require('./harness');
const { flash } = require('../../index.js');

const failure = (promise) => promise.then(() => assert.fail('the promise resolved'), (err) => err);

// [code, message, stand-in sudo, the password given]
const failures = [
  ['EPASSWORD', 'invalid sudo password', { FAKE_SUDO_PASSWORD: 'right' }, 'wrong'],
  ['EPASSWORD', 'password is not set', { FAKE_SUDO_PASSWORD: 'right' }, undefined],
  ['ENOSUDO', 'alice may not use sudo on this machine', { FAKE_SUDO_PASSWORD: 'right', FAKE_SUDO_NOT_SUDOER: '1' }, 'right'],
];

test('a user who is not root: each refusal of sudo rejects with its code', async () => {
  for (const [code, message, sudo, password] of failures) {
    const box = sandbox({ whoami: 'alice', diskSize: 8 * 1024 * 1024 });
    Object.assign(process.env, { FAKE_SU_ACCOUNTS: 'alice', ...sudo });
    try {
      const err = await failure(flash({ image: box.image(4096).file, drive: 'fakesd', password }));
      assert.equal(err.code, code, err.stack);
      assert.equal(err.message, message);
      assert.ok(box.calls().every((call) => !call.startsWith('sudo -S -k setfacl')), 'no job started');
    } finally {
      box.cleanup();
    }
  }
});
