'use strict';
// The end of `flasher write`: one line per drive from its result and job report, the
// end-step errors as warnings, and the exit status.
const { formatBytes, formatSpeed } = require('./units');
const EXIT = require('./exit');

// Errors of the end steps (permission restore, drive refresh) come after every byte
// moved: they leave the drive ok.
const warningsOf = (report) => (report ? report.errors.filter((e) => e.phase === 'finish').map((e) => e.message) : []);

// The steps that did something, or tried to: "repair: repaired 4096 bytes in 1 pass".
const STEPS = ['repair', 'gpt', 'files', 'eject'];
function stepsText(steps) {
  if (!steps) return [];
  return STEPS.filter((name) => steps[name].status !== 'skipped' || steps[name].message.startsWith('not ejected'))
    .map((name) => `${name}: ${steps[name].message}`);
}

function entryOf(result) {
  return {
    drive: result.drive.name,
    path: result.drive.path,
    status: result.status,
    bytesWritten: result.bytesWritten,
    verify: result.verify,
    steps: result.steps || (result.error && result.error.report && result.error.report.steps) || null,
    error: result.error ? result.error.message : null,
    warnings: warningsOf(result.report),
  };
}

function lineOf(entry, display) {
  if (entry.status === 'cancelled') return `${entry.drive}: cancelled, the drive holds part of the image at most`;
  const parts = [];
  if (entry.bytesWritten !== null) {
    const write = display.last(entry.drive, 'write');
    const speed = write && write.speed > 0 ? ` at ${formatSpeed(write.speed)}` : '';
    parts.push(`${formatBytes(entry.bytesWritten)} written${speed}`);
  }
  if (entry.verify) parts.push(`verified: ${entry.verify.differingBytes} differing bytes`);
  else if (entry.status === 'ok') parts.push('not verified');
  parts.push(...stepsText(entry.steps));
  const outcome = entry.status === 'ok' ? 'ok' : `failed: ${entry.error}`;
  return `${entry.drive}: ${outcome}${parts.length ? ` (${parts.join(', ')})` : ''}`;
}

// Where the image came from: the URL or file, the bytes downloaded (or the cache), the
// resumes and the checksum's verdict. The same for every drive: one download.
function sourceLine(source) {
  const parts = [];
  if (source.fromCache) parts.push('from the cache');
  else if (source.downloaded > 0) parts.push(`${formatBytes(source.downloaded)} downloaded`);
  if (source.resumes > 0) parts.push(`${source.resumes} ${source.resumes === 1 ? 'resume' : 'resumes'}`);
  parts.push(source.checksum === 'not checked' ? 'checksum not checked' : `checksum ${source.checksum}`);
  if (source.blockMapUnused) parts.push(`block map not used: ${source.blockMapUnused}, every block written`);
  return `Source: ${source.location} (${parts.join(', ')})`;
}

// Prints the summary and returns the exit status: 0 only when every drive is ok.
function conclude(results, { json, interrupted, display }) {
  const entries = results.map(entryOf);
  const ok = !interrupted && entries.every((e) => e.status === 'ok');
  const withSource = results.find((r) => r.report && r.report.source);
  const source = withSource ? withSource.report.source : null;
  if (json) {
    process.stdout.write(`${JSON.stringify({ event: 'summary', ok, source, drives: entries })}\n`);
  } else {
    if (source) process.stdout.write(`${sourceLine(source)}\n`);
    for (const entry of entries) process.stdout.write(`${lineOf(entry, display)}\n`);
  }
  for (const entry of entries) {
    for (const warning of entry.warnings) process.stderr.write(`flasher: warning: ${entry.drive}: ${warning}\n`);
  }
  if (ok) return EXIT.ok;
  const bad = entries.filter((e) => e.status !== 'ok').length;
  process.stderr.write(`flasher: ${bad} of ${entries.length} ${entries.length === 1 ? 'drive' : 'drives'} not ok\n`);
  return interrupted ? EXIT.interrupted : EXIT.failure;
}

module.exports = { conclude };
