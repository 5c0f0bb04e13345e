'use strict';
// Byte counts in and out: block sizes given with units, sizes and speeds shown in
// binary units, seconds as m:ss.
const { UsageError } = require('./exit');

const UNITS = ['B', 'KiB', 'MiB', 'GiB', 'TiB'];
const FACTORS = { '': 1, K: 1024, M: 1024 ** 2, G: 1024 ** 3, T: 1024 ** 4 };

// "4M", "64K", "1MiB", "512": a positive byte count that fits the 32 bits the addon
// takes for a block; `what` names it in the refusal, `limit` is the largest accepted.
function parseSize(text, { what = 'block size', limit = 0xffffffff } = {}) {
  const match = /^(\d+)\s*([KMGT]?)(i?B)?$/i.exec(String(text).trim());
  const bytes = match ? Number(match[1]) * FACTORS[match[2].toUpperCase()] : NaN;
  if (!Number.isSafeInteger(bytes) || bytes <= 0 || bytes > limit) {
    throw new UsageError(`invalid ${what} "${text}": give bytes or a number with K, M or G, such as 64K or 4M`);
  }
  return bytes;
}

// "16G", "512M", "2T", "1000000": a drive size for the station's rules, in binary units.
function parseCapacity(text) {
  const match = /^(\d+)\s*([KMGT]?)(i?B)?$/i.exec(String(text).trim());
  const factor = match ? { ...FACTORS, T: 1024 ** 4 }[match[2].toUpperCase()] : NaN;
  const bytes = match ? Number(match[1]) * factor : NaN;
  if (!Number.isSafeInteger(bytes)) throw new UsageError(`invalid size "${text}": give bytes or a number with K, M, G or T, such as 16G`);
  return bytes;
}

function formatBytes(bytes) {
  let value = bytes;
  let unit = 0;
  while (value >= 1024 && unit < UNITS.length - 1) {
    value /= 1024;
    unit += 1;
  }
  return unit === 0 ? `${value} B` : `${value.toFixed(1)} ${UNITS[unit]}`;
}

function formatSpeed(bytesPerSecond) {
  return `${formatBytes(Math.round(bytesPerSecond))}/s`;
}

function formatSeconds(seconds) {
  const whole = Math.max(0, Math.round(seconds));
  const minutes = Math.floor(whole / 60);
  return `${minutes}:${String(whole % 60).padStart(2, '0')}`;
}

module.exports = { parseSize, parseCapacity, formatBytes, formatSpeed, formatSeconds };
