'use strict';
// inspect(): what an image file or URL holds, read on a native thread of its own (a URL
// is asked over the network: its first bytes, its length, and with range requests the
// xz index or the zip directory), so the JavaScript thread never waits for it.
const { flasher } = require('./addons');
const { toFlasherError } = require('./errors');
const { RULES, invalid } = require('./options');

// The native `call(location, stallTimeoutMs)`, a Promise settled off the JavaScript thread.
async function offThread(call, location, stallTimeoutMs) {
  if (!RULES.image.test(location)) throw invalid('image', RULES.image.expected);
  if (!RULES.stallTimeoutMs.test(stallTimeoutMs)) throw invalid('options.stallTimeoutMs', RULES.stallTimeoutMs.expected);
  try {
    return await call(location, stallTimeoutMs);
  } catch (err) {
    throw toFlasherError(err, 'EIMAGE');
  }
}

function inspect(image, { stallTimeoutMs = RULES.stallTimeoutMs.default } = {}) {
  return offThread(flasher.inspectAsync, image, stallTimeoutMs);
}

// Whether the server has a file at `url` (the command line's look for a block map).
async function found(url, { stallTimeoutMs = RULES.stallTimeoutMs.default } = {}) {
  return (await offThread(flasher.probeAsync, url, stallTimeoutMs)).found;
}

const isUrl = (location) => /^https?:\/\//i.test(location);

module.exports = { inspect, found, isUrl };
