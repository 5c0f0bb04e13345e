'use strict';
// The options of flash(), verify() and backup(), checked before anything runs. A wrong option
// is a mistake in the calling code: it raises a TypeError, not a FlasherError.
const MiB = 1024 * 1024;

const text = (v) => typeof v === 'string' && v !== '';
const wholeBytes = (v) => Number.isSafeInteger(v) && v > 0;

// A first-boot file: its partition's number, its path in the file system, and its
// bytes, or a function (drive, index) that gives them for each drive.
const firstBootFile = (f) => f !== null && typeof f === 'object' && Number.isInteger(f.partition) && f.partition > 0 &&
  text(f.path) && (typeof f.content === 'string' || f.content instanceof Uint8Array || typeof f.content === 'function');

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
  blockMapFound: { test: (v) => typeof v === 'boolean', expected: 'a boolean', default: false },
  repair: {
    test: (v) => Number.isInteger(v) && v >= 0 && v <= 100,
    expected: 'a whole number of attempts from 0 to 100',
    default: 2,
  },
  fixGpt: { test: (v) => typeof v === 'boolean', expected: 'a boolean', default: true },
  files: {
    test: (v) => Array.isArray(v) && v.every(firstBootFile),
    expected: 'a list of { partition, path, content } with content a string, a Buffer or a function',
    default: [],
  },
  eject: { test: (v) => typeof v === 'boolean', expected: 'a boolean', default: false },
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
  digest: { test: (v) => typeof v === 'boolean', expected: 'a boolean', default: false },
  firstBlockLast: { test: (v) => typeof v === 'boolean', expected: 'a boolean', default: true },
  allowLoop: { test: (v) => typeof v === 'boolean', expected: 'a boolean', default: false },
  signal: { test: (v) => v instanceof AbortSignal, expected: 'an AbortSignal', default: undefined },
  onProgress: { test: (v) => typeof v === 'function', expected: 'a function', default: undefined },
};

// Letters to change, add or take away to turn `a` into `b`.
function distance(a, b) {
  let previous = Array.from({ length: b.length + 1 }, (_, j) => j);
  for (let i = 1; i <= a.length; i += 1) {
    const row = [i];
    for (let j = 1; j <= b.length; j += 1) {
      row[j] = Math.min(previous[j] + 1, row[j - 1] + 1, previous[j - 1] + (a[i - 1] === b[j - 1] ? 0 : 1));
    }
    previous = row;
  }
  return previous[b.length];
}

// A key no call takes is a mistake that would otherwise pass silently ({ verfy: false }
// would write and verify): it is refused, naming the option most like it.
function refuseUnknownKeys(options, names) {
  for (const key of Object.keys(options)) {
    if (names.includes(key)) continue;
    const nearest = names.reduce((best, name) => (distance(key, name) < distance(key, best) ? name : best));
    const err = new TypeError(`options.${key} is not an option; did you mean options.${nearest}?`);
    err.code = 'ERR_INVALID_ARG_VALUE';
    throw err;
  }
}
// backup() takes these in place of those of the same name above.
const BACKUP_RULES = {
  output: { test: text, expected: 'a path' },
  format: {
    test: (v) => ['raw', 'zstd', 'xz', 'gzip'].includes(v),
    expected: '"raw", "zstd", "xz" or "gzip"',
    default: undefined,
  },
  level: { test: (v) => Number.isInteger(v) && v >= 0, expected: 'a whole number', default: undefined },
  extent: { test: (v) => v === 'partitions' || v === 'whole', expected: '"partitions" or "whole"', default: 'partitions' },
  blockMap: { test: (v) => typeof v === 'boolean', expected: 'a boolean', default: true },
  checksum: { test: (v) => typeof v === 'boolean', expected: 'a boolean', default: true },
  overwrite: { test: (v) => typeof v === 'boolean', expected: 'a boolean', default: false },
};

function invalid(name, expected) {
  const err = new TypeError(`${name} must be ${expected}`);
  err.code = 'ERR_INVALID_ARG_VALUE';
  return err;
}

// The options `names` of `options`, checked, with their defaults; `rules` replace those
// of the same name. One drive is named, by `drive`, or (where `names` holds it) several
// by `drives`.
function checkOptions(options, names, rules = {}) {
  if (options === null || typeof options !== 'object') throw invalid('options', 'an object');
  refuseUnknownKeys(options, names);
  const checked = {};
  for (const name of names) {
    const rule = rules[name] || RULES[name];
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
const SOURCE_OPTIONS = ['sha256', 'checksums', 'keyring', 'cache', 'cacheLimit', 'stallTimeoutMs', 'digest'];
const FLASH_OPTIONS = Object.keys(RULES);
const VERIFY_OPTIONS = ['image', 'drive', 'password', 'blockSize', 'allowLoop', 'signal', 'onProgress', ...SOURCE_OPTIONS];
const BACKUP_OPTIONS = ['drive', 'password', 'signal', 'onProgress', ...Object.keys(BACKUP_RULES)];

module.exports = { checkOptions, invalid, refuseUnknownKeys, RULES, FLASH_OPTIONS, VERIFY_OPTIONS, BACKUP_OPTIONS, BACKUP_RULES };
