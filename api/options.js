'use strict';
// The options of flash() and verify(), checked before anything runs. A wrong option
// is a mistake in the calling code: it raises a TypeError, not a FlasherError.
const MiB = 1024 * 1024;

const text = (v) => typeof v === 'string' && v !== '';
const wholeBytes = (v) => Number.isSafeInteger(v) && v > 0;

// Every option: its test, what it must be, and its default (none: required).
const RULES = {
  image: { test: text, expected: 'a path or an http(s) URL' },
  drive: { test: text, expected: 'a drive name or device path', default: undefined },
  drives: {
    test: (v) => Array.isArray(v) && v.length > 0 && v.every(text),
    expected: 'a list of drive names or device paths',
    default: undefined,
  },
  password: { test: (v) => typeof v === 'string', expected: 'a string', default: undefined },
  blockSize: {
    test: (v) => Number.isInteger(v) && v > 0 && v <= 0xffffffff,
    expected: 'a whole number of bytes below 4 GiB',
    default: 4 * MiB,
  },
  verifyBlockSize: {
    test: (v) => Number.isInteger(v) && v > 0 && v <= 0xffffffff,
    expected: 'a whole number of bytes below 4 GiB',
    default: undefined,
  },
  verify: { test: (v) => typeof v === 'boolean', expected: 'a boolean', default: true },
  writeMode: { test: (v) => v === 'direct' || v === 'sync', expected: '"direct" or "sync"', default: undefined },
  capacityCheck: { test: (v) => typeof v === 'boolean', expected: 'a boolean', default: true },
  blockMap: { test: text, expected: 'a path or an http(s) URL', default: undefined },
  sha256: { test: (v) => typeof v === 'string' && /^[0-9a-fA-F]{64}$/.test(v), expected: '64 hexadecimal digits', default: undefined },
  checksums: { test: text, expected: 'a path or an http(s) URL', default: undefined },
  keyring: { test: text, expected: 'a path', default: undefined },
  cache: { test: (v) => typeof v === 'boolean', expected: 'a boolean', default: false },
  cacheLimit: { test: wholeBytes, expected: 'a whole number of bytes', default: 16 * 1024 * MiB },
  stallTimeoutMs: {
    test: (v) => Number.isInteger(v) && v > 0 && v <= 0xffffffff,
    expected: 'a whole number of milliseconds',
    default: 30000,
  },
  firstBlockLast: { test: (v) => typeof v === 'boolean', expected: 'a boolean', default: true },
  signal: { test: (v) => v instanceof AbortSignal, expected: 'an AbortSignal', default: undefined },
  onProgress: { test: (v) => typeof v === 'function', expected: 'a function', default: undefined },
};

function invalid(name, expected) {
  const err = new TypeError(`${name} must be ${expected}`);
  err.code = 'ERR_INVALID_ARG_VALUE';
  return err;
}

// The options `names` of `options`, checked, with their defaults. One drive is named,
// by `drive`, or (where `names` holds it) several by `drives`.
function checkOptions(options, names) {
  if (options === null || typeof options !== 'object') throw invalid('options', 'an object');
  const checked = {};
  for (const name of names) {
    const rule = RULES[name];
    const value = options[name];
    if (value === undefined && 'default' in rule) checked[name] = rule.default;
    else if (rule.test(value)) checked[name] = value;
    else throw invalid(`options.${name}`, rule.expected);
  }
  if ((checked.drive === undefined) === (checked.drives === undefined)) {
    throw invalid('options.drive', names.includes('drives') ? 'given, or options.drives instead' : RULES.drive.expected);
  }
  if (checked.keyring !== undefined && checked.checksums === undefined) {
    throw invalid('options.keyring', 'given with options.checksums, the file it signs');
  }
  return checked;
}

// Where the image comes from and how it is checked: the same for a write and a verification.
const SOURCE_OPTIONS = ['sha256', 'checksums', 'keyring', 'cache', 'cacheLimit', 'stallTimeoutMs'];
const FLASH_OPTIONS = Object.keys(RULES);
const VERIFY_OPTIONS = ['image', 'drive', 'password', 'blockSize', 'signal', 'onProgress', ...SOURCE_OPTIONS];

module.exports = { checkOptions, invalid, RULES, FLASH_OPTIONS, VERIFY_OPTIONS };
