'use strict';
// The options of station(): the station's own, its drive rules (`match`), and those of
// flash() that every job takes. A wrong option raises a TypeError, as in flash().
const { checkOptions, FLASH_OPTIONS } = require('./options');

const STATION_OWN = ['match', 'includePresent', 'finishRunning', 'cancelSignal', 'onEvent'];
// flash() options a station sets per job, never the caller.
const PER_JOB = ['drive', 'drives', 'signal', 'onProgress'];
const RULES = ['minSize', 'maxSize', 'port', 'vendor', 'model'];

function invalid(name, expected) {
  const err = new TypeError(`${name} must be ${expected}`);
  err.code = 'ERR_INVALID_ARG_VALUE';
  return err;
}

const size = (v) => Number.isSafeInteger(v) && v >= 0;
const text = (v) => typeof v === 'string' && v !== '';

function checkRules(match) {
  if (match === undefined) return {};
  if (match === null || typeof match !== 'object') throw invalid('options.match', 'an object');
  for (const key of Object.keys(match)) {
    if (!RULES.includes(key)) throw invalid(`options.match.${key}`, `one of ${RULES.join(', ')}`);
  }
  const rules = {};
  for (const [key, test, expected] of [
    ['minSize', size, 'a whole number of bytes'],
    ['maxSize', size, 'a whole number of bytes'],
    ['port', text, 'a /dev/disk/by-path name or pattern'],
    ['vendor', text, 'a text'],
    ['model', text, 'a text'],
  ]) {
    if (match[key] === undefined) continue;
    if (!test(match[key])) throw invalid(`options.match.${key}`, expected);
    rules[key] = match[key];
  }
  return rules;
}

function checkStationOptions(options) {
  if (options === null || typeof options !== 'object') throw invalid('options', 'an object');
  for (const key of PER_JOB.filter((k) => k !== 'signal')) {
    if (options[key] !== undefined) throw invalid(`options.${key}`, 'left out: the station finds its drives');
  }
  const { match, includePresent = false, finishRunning = true, cancelSignal, onEvent, ...rest } = options;
  for (const [name, value] of [['includePresent', includePresent], ['finishRunning', finishRunning]]) {
    if (typeof value !== 'boolean') throw invalid(`options.${name}`, 'a boolean');
  }
  if (cancelSignal !== undefined && !(cancelSignal instanceof AbortSignal)) throw invalid('options.cancelSignal', 'an AbortSignal');
  if (onEvent !== undefined && typeof onEvent !== 'function') throw invalid('options.onEvent', 'a function');
  for (const key of Object.keys(rest)) {
    if (!FLASH_OPTIONS.includes(key) && !STATION_OWN.includes(key)) throw invalid(`options.${key}`, 'a known option');
  }
  // The flash options, checked as flash() checks them (a placeholder drive stands in).
  const checked = checkOptions({ ...rest, drive: 'station' }, FLASH_OPTIONS);
  const flashOptions = {};
  for (const key of FLASH_OPTIONS) {
    if (!PER_JOB.includes(key) && rest[key] !== undefined) flashOptions[key] = checked[key];
  }
  flashOptions.image = checked.image;
  return { flashOptions, rules: checkRules(match), includePresent, finishRunning, signal: checked.signal, cancelSignal, onEvent };
}

module.exports = { checkStationOptions };
