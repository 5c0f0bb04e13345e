'use strict';
// `flasher cache list` and `flasher cache clear`: the downloaded images that
// `flasher write --cache` keeps, by their SHA-256.
const { listCache, clearCache, cacheFolder } = require('../index.js');
const { formatBytes } = require('./units');

function list({ json = false }) {
  const entries = listCache();
  if (json) {
    process.stdout.write(`${JSON.stringify(entries, null, 2)}\n`);
  } else if (entries.length === 0) {
    process.stdout.write(`no cached images in ${cacheFolder()}\n`);
  } else {
    const total = entries.reduce((sum, e) => sum + e.size, 0);
    process.stdout.write(`${entries.length} cached ${entries.length === 1 ? 'image' : 'images'} in ${cacheFolder()}, ${formatBytes(total)}, most recently used first:\n`);
    for (const e of entries) {
      const used = new Date(e.lastUsed).toISOString().slice(0, 16).replace('T', ' ');
      process.stdout.write(`${e.sha256.slice(0, 16)}  ${formatBytes(e.size).padStart(10)}  ${used}  ${e.url || '(unknown URL)'}\n`);
    }
  }
  return 0;
}

function clear() {
  const removed = clearCache();
  process.stdout.write(`removed ${removed} cached ${removed === 1 ? 'image' : 'images'} from ${cacheFolder()}\n`);
  return 0;
}

module.exports = { list, clear };
