'use strict';
// The block map that goes with an image, as `flasher write` looks for it.
const fs = require('node:fs');
const path = require('node:path');

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

// `choice` is the --bmap option: a path, false (--no-bmap) or undefined (look for one).
function findBlockMap(image, choice) {
  if (choice === false) return null;
  if (typeof choice === 'string') return choice;
  return bmapCandidates(image).find((name) => fs.statSync(name, { throwIfNoEntry: false })?.isFile()) || null;
}

module.exports = { findBlockMap };
