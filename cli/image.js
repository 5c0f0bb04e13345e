'use strict';
// The block map that goes with an image, as `flasher write` looks for it next to a file
// or a URL, and what an image at a URL is.
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

// `choice` is the --bmap option: a path or URL, false (--no-bmap) or undefined (look
// for one next to the image; next to a URL its server is asked).
async function findBlockMap(image, choice, stallTimeoutMs) {
  if (choice === false) return null;
  if (typeof choice === 'string') return choice;
  if (!isUrl(image)) return bmapCandidates(image).find((name) => fs.statSync(name, { throwIfNoEntry: false })?.isFile()) || null;
  for (const name of urlCandidates(image)) {
    if (await found(name, { stallTimeoutMs })) return name;
  }
  return null;
}

// { format, fileSize, size } of an image at a URL; with the cache and a digest, a cached
// copy answers without the server.
async function describeUrl(image, { stallTimeoutMs, cache, sha256 }) {
  const cached = cache && sha256 ? listCache().find((e) => e.sha256 === sha256.toLowerCase()) : null;
  const { format, fileSize, size } = cached ? inspectImage(cached.path) : await inspect(image, { stallTimeoutMs });
  return { format, fileSize, size };
}

module.exports = { findBlockMap, describeUrl, isUrl };
