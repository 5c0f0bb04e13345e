'use strict';
// Failures of the promise API: an Error whose message is the engine's own text and
// whose code, set by the engine where the failure arose, an application can switch on;
// and the AbortError of a cancelled job.

class FlasherError extends Error {
  constructor(message, code, differingBytes) {
    super(message);
    this.name = 'FlasherError';
    this.code = code;
    if (code === 'EVERIFY') this.differingBytes = differingBytes || 0;
  }
}

// An engine failure as a FlasherError with the engine's code; `fallback` names what
// failed for an error that carries none. The API's own errors pass unchanged.
function toFlasherError(err, fallback) {
  if (err instanceof FlasherError || err instanceof TypeError || err instanceof RangeError) return err;
  if (err && err.name === 'AbortError') return err;
  return new FlasherError(err.message, err.code || fallback);
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

module.exports = { FlasherError, toFlasherError, abortError, throwIfAborted };
