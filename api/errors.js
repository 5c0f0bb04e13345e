'use strict';
// Failures of the promise API: an Error whose message is the engine's own text and
// whose code an application can switch on, and the AbortError of a cancelled job.

// Engine texts, matched at their start, and their codes.
const CODES = [
  ['required drive', 'ENODRIVE'],
  ['drive is not external/removable', 'ENODRIVE'],
  ['failed to list drives', 'ENODRIVE'],
  ["'lsblk' is not available", 'ENODRIVE'],
  ["please update 'util-linux'", 'ENODRIVE'],
  ['drive is too small for given image', 'ETOOSMALL'],
  ['invalid sudo password', 'EPASSWORD'],
  ['password is not set', 'EPASSWORD'],
  ['failed to alter permissions', 'EPASSWORD'],
  ['failed to open image file', 'EIMAGE'],
  ['failed to read image', 'EIMAGE'],
  ['failed to determine size of', 'EIMAGE'],
  ['image data is corrupt:', 'EIMAGE'],
  ['no image file provided', 'EIMAGE'],
  ['inconsistent number of residual bytes', 'EIMAGE'],
  ['failed to unmount device', 'EWRITE'],
  ['failed to open device', 'EWRITE'],
  ['failed to write', 'EWRITE'],
  ['drive was removed during the job', 'EREMOVED'],
  ['drive holds fewer bytes than it reports', 'ECAPACITY'],
  ['failed to read device', 'EVERIFY'],
  ['a job is running on this device', 'EBUSY'],
];

class FlasherError extends Error {
  constructor(message, code, differingBytes) {
    super(message);
    this.name = 'FlasherError';
    this.code = code;
    if (code === 'EVERIFY') this.differingBytes = differingBytes || 0;
  }
}

// `fallback` names texts the table does not know: what failed in that step. A group's
// refusal starts with the drive's path.
function codeOf(message, fallback) {
  const text = message.replace(/^\/[^:]*: /, '');
  const row = CODES.find(([start]) => text.startsWith(start));
  return row ? row[1] : fallback;
}

// An engine failure as a FlasherError; the API's own errors pass unchanged.
function toFlasherError(err, fallback) {
  if (err instanceof FlasherError || err instanceof TypeError || err instanceof RangeError) return err;
  if (err && err.name === 'AbortError') return err;
  return new FlasherError(err.message, codeOf(err.message, fallback));
}

function abortError(signal) {
  const err = new Error('The operation was aborted', { cause: signal.reason });
  err.name = 'AbortError';
  err.code = 'ABORT_ERR';
  return err;
}

function throwIfAborted(signal) {
  if (signal && signal.aborted) throw abortError(signal);
}

module.exports = { FlasherError, codeOf, toFlasherError, abortError, throwIfAborted };
