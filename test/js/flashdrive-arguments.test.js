'use strict';
// The argument rule of every FlashDrive method: the exact TypeError, raised before any
// work, leaving the object as it was; and how numbers become block sizes.
const test = require('node:test');
const assert = require('node:assert');
const { sandbox } = require('./harness.js');
const { FRESH_STATS, throwsError, throwsTypeError } = require('./flashdrive-helpers.js');
const { FlashDrive } = require('../../index.js');

const stringMethods = {
  setDrive: 'set_drive() takes one string parameter',
  setImage: 'set_image() takes one string parameter',
  setPassword: 'set_password() takes one string parameter',
  setBlockMap: 'set_block_map() takes a string, and whether it was found next to the image',
  setWriteMode: 'set_write_mode() takes "direct" or "sync"',
};
const numberMethods = {
  setWriteBlock: 'set_write_blocksize() takes one number parameter',
  setValidateBlock: 'set_validate_blocksize() takes one number parameter',
};
const noArgumentMethods = {
  startWrite: 'start_write() takes no parameter',
  cancelWrite: 'cancel_write() takes no parameter',
  getWriteStats: 'get_write_stats() takes no parameter',
  startValidate: 'start_validate() takes no parameter',
  cancelValidate: 'cancel_validate() takes no parameter',
  getValidateStats: 'get_validate_stats() takes no parameter',
  getWriteReport: 'get_write_report() takes no parameter',
  getValidateReport: 'get_validate_report() takes no parameter',
  getProgress: 'get_progress() takes no parameter',
};
const callbackMethods = {
  runWrite: 'run_write() takes one function parameter',
  runValidate: 'run_validate() takes one function parameter',
};

// A sandbox as a user who is not root, so that only a stored password lets a write
// start; the process asks once who it runs as, so every test here is alice.
function setUp(t, options = {}) {
  const box = sandbox({ whoami: 'alice', sudoPassword: 'pw', ...options });
  process.env.FAKE_SU_ACCOUNTS = 'alice';
  t.after(() => box.cleanup());
  return { box, fd: new FlashDrive() };
}

// Tool calls made after construction.
function callsSince(box, before) {
  return box.calls().slice(before);
}

test('methods taking one string refuse anything else and run nothing', (t) => {
  const { box, fd } = setUp(t);
  const before = box.calls().length;
  for (const [method, message] of Object.entries(stringMethods)) {
    for (const args of [[], [5], ['fakesd', 'fakesd'], [new String('fakesd')], [undefined], [null], [Symbol('x')]]) {
      throwsTypeError(() => fd[method](...args), message);
    }
  }
  throwsTypeError(() => fd.setWriteMode('fast'), stringMethods.setWriteMode);
  assert.deepStrictEqual(callsSince(box, before), [], 'no lsblk or sudo for a refused call');
  // Nothing was stored: no drive, no image, no password.
  throwsError(() => fd.startWrite(), 'required drive is unavailable or not set');
  throwsError(() => fd.startValidate(), 'no image file provided');
});

test('a refused setDrive, setImage or setPassword keeps the earlier choice', (t) => {
  const { box, fd } = setUp(t, { diskSize: 4096 });
  const { file } = box.image(4096 + 512);
  fd.setDrive('fakesd');
  fd.setImage(file);
  fd.setPassword('pw');
  fd.setWriteBlock(512);
  throwsTypeError(() => fd.setDrive(7), stringMethods.setDrive);
  throwsError(() => fd.setDrive('nosuch'), 'required drive nosuch is not available');
  throwsTypeError(() => fd.setImage(), stringMethods.setImage);
  throwsError(() => fd.setImage(box.dir), `${box.dir} is a directory, not an image file`);
  throwsTypeError(() => fd.setPassword(1234), stringMethods.setPassword);
  throwsError(() => fd.setPassword('wrong'), 'invalid sudo password');
  // The drive, the image and the password are still the earlier ones: the checks reach the size.
  throwsError(() => fd.startWrite(), 'drive is too small for given image');
});

test('methods taking one number refuse anything else and store nothing', (t) => {
  const { box, fd } = setUp(t, { diskSize: 4096 });
  const { file } = box.image(4096);
  fd.setDrive('fakesd');
  fd.setImage(file);
  fd.setPassword('pw');
  for (const [method, message] of Object.entries(numberMethods)) {
    for (const args of [[], ['512'], [512, 512], [new Number(512)], [512n], [undefined], [true]]) {
      throwsTypeError(() => fd[method](...args), message);
    }
  }
  // Both block sizes are still 0; 512 would pass both block checks.
  throwsError(() => fd.startWrite(), 'invalid write block size');
  throwsError(() => fd.startValidate(), 'invalid read block size');
});

test('methods without parameters, and the run methods without their one function, refuse before acting', (t) => {
  const { fd } = setUp(t);
  for (const [method, message] of Object.entries(noArgumentMethods)) {
    for (const args of [[undefined], [0], ['x', 'y']]) {
      throwsTypeError(() => fd[method](...args), message);
    }
  }
  for (const [method, message] of Object.entries(callbackMethods)) {
    for (const args of [[], ['done'], [() => {}, () => {}]]) {
      throwsTypeError(() => fd[method](...args), message);
    }
  }
  // The start checks would have refused with their own texts; no job was started.
  assert.strictEqual(fd.getWriteStats(), FRESH_STATS);
  assert.strictEqual(fd.getValidateStats(), FRESH_STATS);
  assert.strictEqual(fd.cancelWrite(), undefined);
  assert.strictEqual(fd.cancelValidate(), undefined);
});

test('setters return undefined', (t) => {
  const { box, fd } = setUp(t);
  const { file } = box.image(100);
  assert.strictEqual(fd.setDrive('fakesd'), undefined);
  assert.strictEqual(fd.setImage(file), undefined);
  assert.strictEqual(fd.setPassword('pw'), undefined);
  assert.strictEqual(fd.setWriteBlock(512), undefined);
  assert.strictEqual(fd.setValidateBlock(512), undefined);
  assert.strictEqual(fd.setCapacityCheck(true), undefined);
});

test('setCapacityCheck takes exactly one boolean', (t) => {
  const { fd } = setUp(t);
  for (const args of [[], [1], ['true'], [true, true], [new Boolean(true)], [undefined], [null]]) {
    throwsTypeError(() => fd.setCapacityCheck(...args), 'set_capacity_check() takes one boolean parameter');
  }
});

test('block sizes are taken as unsigned 32-bit integers', (t) => {
  // The image is a sector larger than the drive, so a block size that passes its check
  // is followed by "drive is too small for given image" and no write starts.
  const { box, fd } = setUp(t, { diskSize: 4096 });
  const { file } = box.image(4096 + 512);
  fd.setDrive('fakesd');
  fd.setImage(file);
  fd.setPassword('pw');
  const writeCheck = (bytes) => {
    fd.setWriteBlock(bytes);
    try {
      fd.startWrite();
    } catch (err) {
      return err.message;
    }
    assert.fail(`a write started with block size ${bytes}`);
  };
  const passes = 'drive is too small for given image';
  const fails = 'invalid write block size';
  assert.strictEqual(writeCheck(512.9), passes); // 512
  assert.strictEqual(writeCheck(1023.999), fails); // 1023
  assert.strictEqual(writeCheck(-1), fails); // 4294967295
  assert.strictEqual(writeCheck(-512), fails); // 4294966784: whole sectors, yet above 256 MiB
  assert.strictEqual(writeCheck(2 ** 32 + 1024), passes); // 1024
  assert.strictEqual(writeCheck(2 ** 32), fails); // 0
  assert.strictEqual(writeCheck(NaN), fails);
  assert.strictEqual(writeCheck(Infinity), fails);
  assert.strictEqual(writeCheck(0), fails);

  fd.setValidateBlock(-1);
  throwsError(() => fd.startValidate(), 'invalid read block size');
  fd.setValidateBlock(2 ** 32);
  throwsError(() => fd.startValidate(), 'invalid read block size');
  fd.setValidateBlock(511.5);
  throwsError(() => fd.startValidate(), 'invalid read block size');
  assert.strictEqual(fd.getValidateStats(), FRESH_STATS);
});
