'use strict';
// The image as `flasher write` shows it: its format, its sizes, and the block map
// that goes with it.
const fs = require('node:fs');
const path = require('node:path');
const { inspectImage } = require('../index.js');

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
  if (typeof choice === 'string') {
    if (!fs.existsSync(choice)) throw new Error(`no block map at ${choice}`);
    return choice;
  }
  return bmapCandidates(image).find((name) => fs.statSync(name, { throwIfNoEntry: false })?.isFile()) || null;
}

function describeImage(image, bmapChoice) {
  // The engine's own text for a missing image, before inspectImage's vaguer one.
  try {
    fs.statSync(image);
  } catch (err) {
    throw new Error(`failed to determine size of ${image} : stat: ${err.code}`);
  }
  const { format, fileSize, size } = inspectImage(image);
  return { path: image, format, fileSize, size, blockMap: findBlockMap(image, bmapChoice) };
}

module.exports = { describeImage };
