'use strict';
// inspect(): what an image file or URL holds, read on a native thread of its own (a URL
// is asked over the network: its first bytes, its length, and with range requests the
// xz index or the zip directory), so the JavaScript thread never waits for it.
const { flasher } = require('./addons');
const { toFlasherError } = require('./errors');
const { RULES, invalid } = require('./options');

function inspect(image, { stallTimeoutMs = RULES.stallTimeoutMs.default } = {}) {
  if (!RULES.image.test(image)) throw invalid('image', RULES.image.expected);
  if (!RULES.stallTimeoutMs.test(stallTimeoutMs)) throw invalid('options.stallTimeoutMs', RULES.stallTimeoutMs.expected);
  return new Promise((resolve, reject) => {
    flasher.inspectAsync(image, stallTimeoutMs, (err, info) => (err ? reject(toFlasherError(err, 'EIMAGE')) : resolve(info)));
  });
}

module.exports = { inspect };
