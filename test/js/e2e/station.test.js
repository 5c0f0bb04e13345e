'use strict';
// `flasher station` as an operator runs it: loop devices attached while it runs
// appear through the kernel's events, listed as removable by the stand-in lsblk, and
// each is written and verified; one attached before the start is left alone; a fault
// device pulled out mid-write ends with EREMOVED and the station goes on. Its NDJSON
// events parse, come in order per drive, and the log holds one drive-done per drive.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const readline = require('node:readline');
const { spawn } = require('node:child_process');
const h = require('./e2e-helpers.js');
const { whyNoFaultDevice, openFaultDevice } = require('./fault-device.js');

const MiB = 1024 * 1024;
const IMAGE = 8 * MiB;
const skip = whyNoFaultDevice() || false;
if (skip) console.log(`# station test skipped: ${skip}`);

// The station's events as they come, and a wait for the first one that passes a test.
function eventReader(stream) {
  const events = [];
  const waiting = [];
  readline.createInterface({ input: stream }).on('line', (line) => {
    events.push(JSON.parse(line));
    for (const w of [...waiting]) if (w.test(events.at(-1))) w.resolve(events.at(-1));
  });
  return {
    events,
    next(what, testEvent, limitMs = 60000) {
      const seen = events.find(testEvent);
      if (seen) return Promise.resolve(seen);
      return new Promise((resolve, reject) => {
        const timer = setTimeout(() => reject(new Error(`no ${what} within ${limitMs} ms`)), limitMs);
        waiting.push({ test: testEvent, resolve: (e) => resolve(clearTimeout(timer) || e) });
      });
    },
  };
}

const on = (name, event) => (e) => e.drive && e.drive.name === name && e.event === event;

test('station: drives plugged in while it runs are written, one there before is left alone', { skip, timeout: 240000 }, async (t) => {
  const undo = new h.Undo();
  t.after(() => undo.runAll());
  const dir = h.tempDir(undo, 'flasher-station-');
  const image = path.join(dir, 'image.bin');
  const bytes = h.randomFile(image, IMAGE);
  const backing = (name) => {
    const file = path.join(dir, `${name}.img`);
    fs.writeFileSync(file, Buffer.alloc(IMAGE + 4 * MiB));
    return file;
  };
  const present = h.attachLoop(undo, backing('present'));
  const log = path.join(dir, 'events.log');

  const child = spawn(process.execPath, [path.join(h.root, 'cli.js'), 'station', image, '-y', '--json', '--log', log,
    '--block-size', '256K', '--no-capacity-check'], {
    env: { ...process.env, PATH: `${h.e2eToolsDir}:${process.env.PATH}`, FAKE_LSBLK_REMOVABLE_UNDER: dir },
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  let stderr = '';
  child.stderr.on('data', (d) => (stderr += d));
  const exited = new Promise((resolve) => child.on('exit', resolve));
  undo.add('end the station', async () => {
    if (child.exitCode === null) child.kill('SIGKILL');
    await exited;
  });
  const station = eventReader(child.stdout);
  const presentName = path.basename(present);
  const leftAlone = await station.next('word of the drive there before', on(presentName, 'drive-added'));
  assert.strictEqual(leftAlone.ignored, 'present at the start');

  // The file is replaced between the two drives: each record names what its job read.
  const second = path.join(dir, 'second.bin');
  const secondBytes = h.randomFile(second, IMAGE);
  const written = [];
  for (const name of ['first', 'second']) {
    if (name === 'second') fs.renameSync(second, image);
    const device = h.attachLoop(undo, backing(name));
    const done = await station.next(`drive-done of ${device}`, on(path.basename(device), 'drive-done'));
    assert.strictEqual(done.result, 'ok', `${device}: ${JSON.stringify(done.error)}\n${stderr}`);
    assert.strictEqual(done.verify.differingBytes, 0);
    assert.strictEqual(done.imageSha256, h.sha256(name === 'first' ? bytes : secondBytes));
    written.push(device);
  }
  const fault = await openFaultDevice(undo, { parent: dir, size: IMAGE + 4 * MiB, pullAfter: 3 * MiB });
  const pulled = await station.next('drive-done of the pulled drive', on(path.basename(fault.loopDevice), 'drive-done'));
  assert.strictEqual(pulled.result, 'failed');
  assert.strictEqual(pulled.error.code, 'EREMOVED');

  child.kill('SIGINT');
  assert.strictEqual(await exited, 1, `exit status: one drive failed\n${stderr}`);
  const stopped = station.events.at(-1);
  assert.strictEqual(stopped.event, 'station-stopped');
  assert.deepStrictEqual(stopped.tallies, { done: 2, failed: 1, cancelled: 0 });

  written.forEach((device, i) => assert.ok(h.readBytes(device, 0, IMAGE).equals([bytes, secondBytes][i]), `${device} holds its image`));
  assert.ok(h.readBytes(present, 0, IMAGE).equals(Buffer.alloc(IMAGE)), 'the drive there before was not written');

  // Each job's events in order; the log holds what standard output printed.
  const order = { 'drive-added': 0, 'job-started': 1, phase: 2, progress: 2, 'drive-done': 3, 'drive-removed': 4 };
  const jobs = new Set(station.events.filter((e) => e.job !== null).map((e) => e.job));
  assert.strictEqual(jobs.size, 3);
  for (const job of jobs) {
    const kinds = station.events.filter((e) => e.job === job).map((e) => order[e.event]);
    assert.deepStrictEqual(kinds, [...kinds].sort((a, b) => a - b), `events of job ${job} in order`);
    assert.deepStrictEqual([kinds[0], kinds[1], kinds.at(-1)], [0, 1, 3]);
  }
  const logged = fs.readFileSync(log, 'utf8').trim().split('\n').map((line) => JSON.parse(line));
  assert.deepStrictEqual(logged, station.events);
  assert.strictEqual(logged.filter((e) => e.event === 'drive-done').length, 3);
  for (const done of logged.filter((e) => e.event === 'drive-done')) {
    assert.ok(done.time && done.drive.sysfs.startsWith('/sys/devices/'), 'time and sysfs path recorded');
  }
});
