'use strict';
// The sudoauth addon against the stand-in sudo and su of test/tools.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const { checkPassword, checkPasswordForUser } = require('../../build/Release/sudo.node');

const tools = path.resolve(__dirname, '../tools');
const rightPassword = 'correct horse';

// Runs `body` with the stand-ins first on PATH, a fresh call log and the given
// variables set; everything is put back afterwards.
function withStandIns(vars, body) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'sudoauth-test-'));
  const log = path.join(dir, 'tool-calls.log');
  const settings = { PATH: `${tools}:${process.env.PATH}`, FAKE_TOOL_LOG: log,
                     FAKE_SUDO_PASSWORD: rightPassword, FAKE_SUDO_NOPASSWD: '', FAKE_SU_ACCOUNTS: '',
                     ...vars };
  const saved = {};
  for (const [name, value] of Object.entries(settings)) {
    saved[name] = process.env[name];
    process.env[name] = value;
  }
  const calls = () => (fs.existsSync(log) ? fs.readFileSync(log, 'utf8').split('\n').filter(Boolean) : []);
  try {
    body({ dir, calls });
  } finally {
    for (const [name, value] of Object.entries(saved)) {
      if (value === undefined) delete process.env[name];
      else process.env[name] = value;
    }
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

test('checkPassword takes exactly one string', () => {
  withStandIns({}, ({ calls }) => {
    const error = { name: 'TypeError', message: 'check_password() takes one parameter' };
    assert.throws(() => checkPassword(), error);
    assert.throws(() => checkPassword(42), error);
    assert.throws(() => checkPassword(new String(rightPassword)), error);
    assert.throws(() => checkPassword(rightPassword, rightPassword), error);
    assert.deepStrictEqual(calls(), []);
  });
});

test('checkPasswordForUser takes exactly two strings', () => {
  withStandIns({}, ({ calls }) => {
    const error = { name: 'TypeError', message: 'check_password() takes two parameters' };
    assert.throws(() => checkPasswordForUser(), error);
    assert.throws(() => checkPasswordForUser('root'), error);
    assert.throws(() => checkPasswordForUser('root', 42), error);
    assert.throws(() => checkPasswordForUser(0, rightPassword), error);
    assert.throws(() => checkPasswordForUser('root', rightPassword, 'extra'), error);
    assert.deepStrictEqual(calls(), []);
  });
});

test('the right password is accepted, a wrong or empty one is not', () => {
  withStandIns({}, ({ calls }) => {
    assert.strictEqual(checkPassword(rightPassword), true);
    assert.strictEqual(checkPasswordForUser('root', rightPassword), true);
    assert.strictEqual(checkPassword('correct'), false);
    assert.strictEqual(checkPassword(''), false);
    assert.strictEqual(checkPasswordForUser('root', 'wrong'), false);
    const su = calls().filter((line) => line.startsWith('su '));
    assert.deepStrictEqual(su, [`su -- ${os.userInfo().username}`, 'su -- root']);
    // The stand-in sudo marks its line when the password shows on its parent's command line.
    const log = calls().join('\n');
    assert.ok(!log.includes(rightPassword) && !log.includes('password on a command line'), log);
  });
});

test('an empty password is probed like any other', () => {
  withStandIns({ FAKE_SUDO_PASSWORD: '' }, () => {
    assert.strictEqual(checkPassword(''), true);
    assert.strictEqual(checkPassword(rightPassword), false);
  });
});

test('an unknown account fails even with the right password', () => {
  withStandIns({}, ({ calls }) => {
    assert.strictEqual(checkPasswordForUser('no-such-account', rightPassword), false);
    const probe = calls().filter((call) => !call.startsWith('sudo -n -k true'));
    assert.deepStrictEqual(probe, ['sudo -S -k su -- no-such-account [accepted]', 'su -- no-such-account']);
  });
});

test('shell characters reach sudo and su unchanged and run nothing', () => {
  withStandIns({}, ({ dir, calls }) => {
    const victim = path.join(dir, 'injected');
    for (const text of [`'; touch ${victim}; echo '`, `$(touch ${victim})`, `\`touch ${victim}\``,
                        'ünï cödé \\ "quoted" *']) {
      process.env.FAKE_SUDO_PASSWORD = text;
      assert.strictEqual(checkPassword(text), true, text);
      assert.strictEqual(checkPassword(`${text}x`), false, text);
    }
    assert.strictEqual(fs.existsSync(victim), false);
    assert.ok(calls().every((line) => !line.includes('password on a command line')), calls().join('\n'));
  });
});

test('a user name that su could read as an option or several words runs nothing', () => {
  withStandIns({}, ({ dir, calls }) => {
    const victim = path.join(dir, 'injected');
    for (const name of [`--command=touch ${victim}`, `-c touch ${victim}`, `o'brien $(touch ${victim})`, 'a b']) {
      process.env.FAKE_SU_ACCOUNTS = name;
      assert.strictEqual(checkPasswordForUser(name, rightPassword), false, name);
    }
    assert.deepStrictEqual(calls(), []);
    assert.strictEqual(fs.existsSync(victim), false);
  });
});

test('a password with a line break or a NUL byte runs nothing', () => {
  withStandIns({}, ({ calls }) => {
    assert.strictEqual(checkPassword(`wrong\n${rightPassword}`), false);
    assert.strictEqual(checkPassword(`${rightPassword}\0rest`), false);
    assert.strictEqual(checkPasswordForUser('root', `${rightPassword}\r`), false);
    assert.deepStrictEqual(calls(), []);
  });
});

test('without sudo on PATH the answer is false', () => {
  withStandIns({}, ({ dir }) => {
    process.env.PATH = dir;
    assert.strictEqual(checkPassword(rightPassword), false);
    assert.strictEqual(checkPasswordForUser('root', rightPassword), false);
  });
});
