'use strict';
// The machine's disks as the flasher addon reads them from lsblk, and the engine's
// checks of the drives and the image of a job, made before anything is asked.
const { flasher } = require('./addons');
const { toFlasherError } = require('./errors');
const { invalid, refuseUnknownKeys } = require('./options');

// `loop: true` also lists the attached loop devices, marked `loop` with their `backingFile`.
async function listDrives(options = {}) {
  if (options === null || typeof options !== 'object') throw invalid('options', 'an object');
  refuseUnknownKeys(options, ['loop']);
  if (!(options.loop === undefined || typeof options.loop === 'boolean')) throw invalid('options.loop', 'a boolean');
  try {
    return await flasher.listDrives(options.loop === true);
  } catch (err) {
    throw toFlasherError(err, 'ENODRIVE');
  }
}

// { drives, image, blockMap, blockSize, verifyBlockSize } -> { image, blockMap, drives }:
// the drives named exactly and writable, each once, the block sizes fitting each, the
// image and its map readable and the image fitting (where a write block size is given).
async function checkTargets(options) {
  try {
    return await flasher.checkTargets(options);
  } catch (err) {
    throw toFlasherError(err, 'ENODRIVE');
  }
}

module.exports = { listDrives, checkTargets };
