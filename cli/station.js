'use strict';
// `flasher station`: writes every removable drive plugged in while it runs, each at
// its own pace, verified, then waits for the next. The first Ctrl-C stops waiting
// for drives and lets the running jobs finish; a second one cancels them. Events go
// to the terminal view, or as NDJSON to standard output (--json), and each line is
// also appended to the log file (--log).
const fs = require('node:fs');
const { station, inspectImage } = require('../index.js');
const { findBlockMap } = require('./image');
const { confirmStation, providePassword } = require('./input');
const { interrupts } = require('./interrupts');
const { stationView } = require('./station-view');
const { parseSize, parseCapacity, formatBytes } = require('./units');
const EXIT = require('./exit');

const say = (text) => process.stderr.write(`${text}\n`);

function rulesOf(opts) {
  const match = {};
  if (opts.minSize) match.minSize = parseCapacity(opts.minSize);
  if (opts.maxSize) match.maxSize = parseCapacity(opts.maxSize);
  for (const key of ['port', 'vendor', 'model']) if (opts[key]) match[key] = opts[key];
  return match;
}

function describeRules(match, includePresent) {
  const parts = [];
  if (match.minSize !== undefined) parts.push(`at least ${formatBytes(match.minSize)}`);
  if (match.maxSize !== undefined) parts.push(`at most ${formatBytes(match.maxSize)}`);
  if (match.port) parts.push(`in port ${match.port}`);
  if (match.vendor) parts.push(`vendor ${match.vendor}`);
  if (match.model) parts.push(`model ${match.model}`);
  const which = parts.length ? `every removable drive (${parts.join(', ')})` : 'every removable drive';
  return `${which} ${includePresent ? 'present now or plugged in' : 'plugged in'} from now on`;
}

// The station may run as root with its log in a folder a user controls: the log is
// never reached through a link, and is readable by its owner alone when made here.
function openLog(file) {
  const { O_WRONLY, O_APPEND, O_CREAT, O_NOFOLLOW } = fs.constants;
  try {
    return fs.openSync(file, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW, 0o600);
  } catch (err) {
    if (err.code === 'ELOOP') throw new EXIT.UsageError(`the log ${file} is a symbolic link: name the file itself`);
    throw err;
  }
}

// Where the events go: the view or standard output, and the log file `log` (a descriptor or null).
function eventOutput(opts, log) {
  const view = opts.json ? null : stationView();
  return {
    event(e) {
      const line = `${JSON.stringify(e)}\n`;
      if (log !== null) fs.writeSync(log, line);
      if (view) view.event(e);
      else process.stdout.write(line);
    },
    note(text) {
      if (view) view.note(text);
      else say(`flasher: ${text}`);
    },
    close() {
      if (view) view.stop();
      if (log !== null) fs.closeSync(log);
    },
  };
}

async function runStation(image, opts) {
  const log = opts.log ? openLog(opts.log) : null;
  const { format } = inspectImage(image);
  const blockMap = await findBlockMap(image, opts.bmap);
  const match = rulesOf(opts);
  const blockSize = parseSize(opts.blockSize);
  say(`Image:     ${image} (${format})${blockMap ? `, block map ${blockMap}` : ''}`);
  say(`Station:   ${describeRules(match, opts.includePresent)} will be overwritten and verified.`);
  if (!opts.yes) await confirmStation();
  const password = await providePassword(opts.passwordStdin);
  say('Waiting for drives; Ctrl-C stops once the running drives are done, a second Ctrl-C cancels them.');

  const stop = new AbortController();
  const cancel = new AbortController();
  const output = eventOutput(opts, log);
  interrupts.jobStarted = true;
  interrupts.cancel = () => {
    if (!stop.signal.aborted) {
      stop.abort();
      output.note('stopping: the running drives finish, Ctrl-C again cancels them');
    } else if (!cancel.signal.aborted) {
      cancel.abort();
      output.note('cancelling the running drives');
    }
  };
  try {
    const tallies = await station({
      image,
      password,
      blockSize,
      verify: opts.verify,
      writeMode: opts.sync ? 'sync' : 'direct',
      capacityCheck: opts.capacityCheck,
      ...(blockMap ? { blockMap } : {}),
      match,
      includePresent: Boolean(opts.includePresent),
      signal: stop.signal,
      cancelSignal: cancel.signal,
      onEvent: (e) => output.event(e),
    });
    output.close();
    say(`Station stopped: ${tallies.done} done, ${tallies.failed} failed, ${tallies.cancelled} cancelled.`);
    if (tallies.failed > 0) return EXIT.failure;
    return tallies.cancelled > 0 ? EXIT.interrupted : EXIT.ok;
  } catch (err) {
    output.close();
    throw err;
  } finally {
    interrupts.ended();
  }
}

module.exports = { runStation };
