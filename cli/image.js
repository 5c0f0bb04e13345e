'use strict';
// The image as `flasher write` shows it: its format, its sizes, and the block map
// that goes with it; for a file or an http(s) URL.
const fs = require('node:fs');
const path = require('node:path');
const { inspectImage, inspect, listCache } = require('../index.js');
const { found, isUrl } = require('../api/inspect');

const COMPRESSED = /\.(xz|gz|zst|bz2|zip)$/;

// The maps bmaptool users keep next to an image: x.img.xz.bmap, x.img.bmap, x.bmap.
function bmapCandidates(image) {
  const names = [`${image}.bmap`];
  if (COMPRESSED.test(image)) {
    const decoded = image.replace(COMPRESSED, '');
    names.push(`${decoded}.bmap`);
    const stem = decoded.slice(0, decoded.length - path.extname(decoded).length);
    if (path.extname(decoded) && path.basename(stem)) names.push(`${stem}.bmap`);
  }
  return names;
}

// The same names next to an image URL, in its path (a query stays as it is).
function urlCandidates(image) {
  const url = new URL(image);
  return bmapCandidates(url.pathname).map((name) => {
    const candidate = new URL(url);
    candidate.pathname = name;
    return candidate.href;
  });
}

const fileThere = (name) => Promise.resolve(Boolean(fs.statSync(name, { throwIfNoEntry: false })?.isFile()));

// `choice` is the --bmap option: a path or URL, false (--no-bmap) or undefined (look
// for one next to the image).
async function findBlockMap(image, choice, stallTimeoutMs) {
  if (choice === false) return null;
  const there = (name) => (isUrl(name) ? found(name, { stallTimeoutMs }) : fileThere(name));
  if (typeof choice === 'string') {
    if (!(await there(choice))) throw new Error(`no block map at ${choice}`);
    return choice;
  }
  for (const name of isUrl(image) ? urlCandidates(image) : bmapCandidates(image)) {
    if (await there(name)) return name;
  }
  return null;
}

// `source` holds the write's source options: with the cache and a digest, a cached copy
// of a URL image answers without the server.
async function describeImage(image, bmapChoice, { stallTimeoutMs, cache, sha256 } = {}) {
  let info;
  const cached = isUrl(image) && cache && sha256 ? listCache().find((e) => e.sha256 === sha256.toLowerCase()) : null;
  if (cached) {
    info = inspectImage(cached.path);
  } else if (isUrl(image)) {
    info = await inspect(image, { stallTimeoutMs });
  } else {
    // The engine's own text for a missing image, before inspectImage's vaguer one.
    try {
      fs.statSync(image);
    } catch (err) {
      throw new Error(`failed to determine size of ${image} : stat: ${err.code}`);
    }
    info = inspectImage(image);
  }
  const { format, fileSize, size } = info;
  return { path: image, format, fileSize, size, blockMap: await findBlockMap(image, bmapChoice, stallTimeoutMs) };
}

module.exports = { describeImage, isUrl };
