'use strict';
// The flasher command over the stand-in tools: listing, confirmed writes with
// verification onto one or two drives, compressed images with their block maps, the
// refusals that must leave the drives untouched, and Ctrl-C.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawn, execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { root, disk, sandbox, whyNoFatTools, fatImage } = require('./harness');

const cli = path.join(root, 'cli.js');
const KiB = 1024;
const MiB = 1024 * KiB;

// Runs the command; `input` is written to its standard input, which is then closed
// (null keeps it open, as a terminal would). `onStdout` and `onStderr` see the output
// as it grows and may act on the child.
function run(args, { env, input = '', onStdout, onStderr } = {}) {
  return new Promise((resolve, reject) => {
    const child = spawn(process.execPath, [cli, ...args], { env, stdio: 'pipe' });
    let stdout = '';
    let stderr = '';
    child.stdout.on('data', (chunk) => {
      stdout += chunk;
      if (onStdout) onStdout(stdout, child);
    });
    child.stderr.on('data', (chunk) => {
      stderr += chunk;
      if (onStderr) onStderr(stderr, child);
    });
    child.on('error', reject);
    child.on('close', (code, signal) => {
      child.stdin.destroy();
      resolve({ code, signal, stdout, stderr });
    });
    if (input !== null) child.stdin.end(input);
  });
}

const jsonLines = (stdout) => stdout.trim().split('\n').map((line) => JSON.parse(line));
const event = (lines, name) => lines.find((line) => line.event === name);

// A drive whose every byte is 0xAA, so that both the zero fill and bytes left alone show.
function patternDrive(box, size) {
  fs.writeFileSync(box.drivePath, Buffer.alloc(size, 0xaa));
}

function assertUntouched(box, size) {
  assert.ok(fs.readFileSync(box.drivePath).equals(Buffer.alloc(size, 0xaa)), 'the drive was written');
  assert.deepEqual(box.calls().filter((call) => /^(udisksctl|sudo -S -k setfacl)/.test(call)), []);
}

test('list shows removable and hot-pluggable disks; --all adds internal ones as not writable', async () => {
  const box = sandbox();
  try {
    const stick = disk({
      file: box.drivePath, size: 8 * MiB, children: [
        { name: 'fakesd1', path: `${box.drivePath}1`, size: 4 * MiB, fstype: 'vfat', label: 'PHOTOS', partlabel: null, mountpoint: '/media/photos' },
        { name: 'fakesd2', path: `${box.drivePath}2`, size: 2 * MiB, fstype: 'ext4', label: null, partlabel: null, mountpoint: null },
      ],
    });
    const reader = disk({ name: 'hotsd', file: path.join(box.dir, 'hot.img'), size: 2 * MiB, rm: false, hotplug: true, vendor: 'Card ', model: 'Reader' });
    const internal = disk({ name: 'nvme0n1', file: path.join(box.dir, 'internal.img'), size: 512 * MiB, rm: false, hotplug: false, vendor: '', model: 'System SSD' });
    const loop = { name: 'loop0', path: '/dev/loop0', type: 'loop', size: MiB, rm: false, hotplug: false };
    box.list([stick, internal, loop, reader]);

    const text = await run(['list'], { env: box.env });
    assert.equal(text.code, 0, text.stderr);
    assert.match(text.stdout, new RegExp(`^fakesd +${box.drivePath} +8\\.0 MiB +Test Flash Disk +\\[removable\\]$`, 'm'));
    assert.match(text.stdout, /^ +fakesd1 .*4\.0 MiB +vfat +"PHOTOS" +mounted at \/media\/photos$/m);
    assert.match(text.stdout, /^ +fakesd2 .*ext4 +- +not mounted$/m);
    assert.match(text.stdout, /^hotsd .*Card Reader +\[hot-pluggable\]$/m);
    assert.doesNotMatch(text.stdout, /nvme0n1|loop0/);

    const all = await run(['list', '--all'], { env: box.env });
    assert.equal(all.code, 0, all.stderr);
    assert.match(all.stdout, /^nvme0n1 .*System SSD +\[internal, not writable\]$/m);
    assert.doesNotMatch(all.stdout, /loop0/);

    const json = await run(['list', '--json'], { env: box.env });
    assert.equal(json.code, 0, json.stderr);
    const drives = JSON.parse(json.stdout);
    assert.deepEqual(drives.map((d) => [d.name, d.writable]), [['fakesd', true], ['hotsd', true]]);
    assert.equal(drives[0].path, box.drivePath);
    assert.equal(drives[0].size, 8 * MiB);
    assert.equal(drives[0].sectorSize, 512);
    assert.deepEqual(drives[0].partitions[0], {
      name: 'fakesd1', path: `${box.drivePath}1`, size: 4 * MiB, fstype: 'vfat', label: 'PHOTOS', partlabel: '', mountpoint: '/media/photos',
    });
    assert.equal(drives[0].partitions[1].mountpoint, '');

    const allJson = JSON.parse((await run(['list', '--all', '--json'], { env: box.env })).stdout);
    assert.deepEqual(allJson.map((d) => [d.name, d.writable]), [['fakesd', true], ['nvme0n1', false], ['hotsd', true]]);
  } finally {
    box.cleanup();
  }
});

test('a write confirmed by the drive name, with the password on standard input, puts the image and its zero fill on the drive', async () => {
  const box = sandbox({ diskSize: 4 * MiB, whoami: 'alice', sudoPassword: 'open sesame' });
  try {
    patternDrive(box, 4 * MiB);
    const image = box.image(MiB + 1000);
    const env = { ...box.env, FAKE_SU_ACCOUNTS: 'alice' };
    // The capacity check would leave zeros past the image.
    const result = await run(['write', image.file, 'fakesd', '--password-stdin', '--block-size', '64K', '--no-capacity-check', '--json'], {
      env, input: 'fakesd\nopen sesame\n',
    });
    assert.equal(result.code, 0, result.stderr);
    assert.match(result.stderr, /Type the drive's name \(fakesd\)/);

    const drive = fs.readFileSync(box.drivePath);
    const padded = 17 * 64 * KiB; // 16 whole blocks and the last one with the residual 1000 bytes
    assert.ok(drive.subarray(0, image.bytes.length).equals(image.bytes), 'image bytes');
    assert.ok(drive.subarray(image.bytes.length, padded).equals(Buffer.alloc(padded - image.bytes.length)), 'zero fill');
    assert.ok(drive.subarray(padded).equals(Buffer.alloc(drive.length - padded, 0xaa)), 'bytes past the last block');

    const lines = jsonLines(result.stdout);
    const summary = event(lines, 'summary');
    assert.equal(summary.ok, true);
    assert.deepEqual(summary.drives.map((d) => [d.drive, d.status, d.bytesWritten, d.verify.differingBytes]),
      [['fakesd', 'ok', image.bytes.length, 0]]);
    assert.ok(lines.some((line) => line.event === 'progress' && line.phase === 'verify' && line.drive === 'fakesd'));

    // Not root for the addon: the node was given to this user and taken back through
    // sudo, for the write and for the verification (read and write: its GPT step may write
    // through the drive it holds from the start), with the password on standard input only.
    const sudo = box.calls().filter((call) => call.startsWith('sudo -S -k setfacl'));
    const grants = ['rw', 'rw'].map((rights) => `sudo -S -k setfacl -m u:${process.getuid()}:${rights} -- ${box.drivePath} [accepted]`);
    assert.deepEqual(sudo.filter((call) => call.includes(' -m ')), grants);
    assert.equal(sudo.filter((call) => call.includes(' --set ') && call.endsWith('[accepted]')).length, 2);
    assert.ok(sudo.every((call) => !call.includes('[password on a command line]')));
  } finally {
    box.cleanup();
  }
});

// A 4 MiB image with data in two places only, compressed, and its block map under one
// of the names looked for. The drives are all 0xAA, which the unmapped range keeps
// where no capacity check leaves its zeroed signatures.
test('a compressed image is written with the block map next to it, onto one drive or two', async () => {
  const cases = [
    { compress: 'xz', map: 'x.bmap', drives: ['fakesd'], answer: 'fakesd', options: ['--no-capacity-check'], decoded: /\(xz, .* compressed, 4\.0 MiB decoded\)/ },
    { compress: 'gzip', map: 'x.img.bmap', drives: ['fakesd', 'second'], answer: ' second  fakesd', options: [], decoded: /\(gzip, .* compressed, unknown decoded\)/ },
  ];
  for (const { compress, map, drives, answer, options, decoded } of cases) {
    const box = sandbox({ diskSize: 8 * MiB, sudoPassword: 'pw' }); // a user who is not root needs it
    try {
      const second = path.join(box.dir, 'second.img');
      for (const file of [box.drivePath, second]) fs.writeFileSync(file, Buffer.alloc(8 * MiB, 0xaa));
      box.list([disk({ file: box.drivePath, size: 8 * MiB }), disk({ name: 'second', file: second, size: 8 * MiB })]);
      const raw = path.join(box.dir, 'x.img');
      const data = Buffer.alloc(4 * MiB);
      data.fill(1, 0, 64 * KiB);
      data.fill(2, 3 * MiB, 3 * MiB + 4 * KiB);
      fs.writeFileSync(raw, data);
      execFileSync('fallocate', ['--dig-holes', raw]);
      execFileSync('bmaptool', ['create', raw, '-o', path.join(box.dir, map)], { stdio: 'ignore' });
      execFileSync(compress, [raw]);

      const result = await run(['write', `${raw}${compress === 'xz' ? '.xz' : '.gz'}`, ...drives, ...options, '--password-stdin'],
        { env: box.env, input: `${answer}\npw\n` });
      assert.equal(result.code, 0, result.stderr);
      assert.match(result.stderr, decoded);
      assert.match(result.stderr, new RegExp(`^Block map: .*/${map}$`, 'm'));
      for (const [name, file] of [['fakesd', box.drivePath], ['second', second]]) {
        const bytes = fs.readFileSync(file);
        if (!drives.includes(name)) {
          assert.ok(bytes.equals(Buffer.alloc(8 * MiB, 0xaa)), `${compress}: ${name} was written`);
          continue;
        }
        for (const [from, to] of [[0, 64 * KiB], [3 * MiB, 3 * MiB + 4 * KiB]]) {
          assert.ok(bytes.subarray(from, to).equals(data.subarray(from, to)), `${compress}: ${name} at ${from}`);
        }
        if (options.length) assert.ok(bytes.subarray(64 * KiB, 3 * MiB).every((b) => b === 0xaa), 'unmapped range written');
        assert.match(result.stdout, new RegExp(`^${name}: ok \\(68\\.0 KiB written.*verified: 0 differing bytes, eject: powered off\\)$`, 'm'));
      }
    } finally {
      box.cleanup();
    }
  }
});

test('verify succeeds on a drive that holds the image and fails on one differing byte', async () => {
  const box = sandbox({ diskSize: 2 * MiB, sudoPassword: 'pw' }); // a user who is not root needs it
  try {
    const image = box.image(MiB + 512);
    const drive = Buffer.alloc(2 * MiB);
    image.bytes.copy(drive);
    fs.writeFileSync(box.drivePath, drive);

    const good = await run(['verify', image.file, box.drivePath, '--block-size', '64K', '--password-stdin'], { env: box.env, input: 'pw\n' });
    assert.equal(good.code, 0, good.stderr);
    assert.match(good.stdout, /0 differing bytes/);

    drive[MiB + 100] ^= 0xff; // in the residual part of the image
    fs.writeFileSync(box.drivePath, drive);
    const bad = await run(['verify', image.file, 'fakesd', '--block-size', '64K', '--json', '--password-stdin'], { env: box.env, input: 'pw\n' });
    assert.equal(bad.code, 1);
    assert.match(bad.stderr, /verify: 1 bytes differ between the drive and the image/);
    const summary = event(jsonLines(bad.stdout), 'summary');
    assert.equal(summary.ok, false);
    // The comparison went through: the image bytes compared, and its time.
    assert.deepEqual([summary.validate.numwriteerrs, summary.validate.completed, summary.validate.compared], [1, 100, MiB + 512]);
    assert.ok(summary.validate.duration > 0);
  } finally {
    box.cleanup();
  }
});

// Of a gzip image the decoded size is unknown: the bar follows the share of the file read.
test('the bar of an image of unknown size follows the compressed bytes read', async () => {
  const box = sandbox({ diskSize: 8 * MiB, sudoPassword: 'pw' });
  try {
    const image = box.image(4 * MiB);
    execFileSync('gzip', ['-k', '-1', image.file]);
    const result = await run(['write', `${image.file}.gz`, 'fakesd', '--yes', '--no-verify', '--password-stdin'], { env: box.env, input: 'pw\n' });
    assert.equal(result.code, 0, result.stderr);
    const writing = result.stderr.split(/[\r\n]/).filter((line) => line.includes('Writing'));
    assert.ok(writing.length > 0, result.stderr);
    for (const line of writing) {
      const [, percent, read, size] = /(\d+)% \| [\d.]+ \S+ written, ([\d.]+ \S+) \/ ([\d.]+ \S+) read/.exec(line) || [];
      assert.ok(percent !== undefined, line);
      assert.ok(percent !== '100' || read === size, `full only once the file is read: ${line}`);
    }
    assert.match(writing.at(-1), /100% \| 4\.0 MiB written, /);
  } finally {
    box.cleanup();
  }
});

test('without confirmation nothing is written', async () => {
  const box = sandbox({ diskSize: 2 * MiB });
  try {
    patternDrive(box, 2 * MiB);
    const image = box.image(64 * KiB);
    for (const input of ['fakesd1\n', 'FAKESD\n', '']) {
      const result = await run(['write', image.file, 'fakesd', '--block-size', '64K'], { env: box.env, input });
      assert.equal(result.code, 1, `input ${JSON.stringify(input)}`);
      assert.match(result.stderr, /flasher: the drive was not confirmed: nothing was written/);
    }
    assertUntouched(box, 2 * MiB);
  } finally {
    box.cleanup();
  }
});

test('a wrong sudo password stops the write before anything starts', async () => {
  const box = sandbox({ diskSize: 2 * MiB, whoami: 'alice', sudoPassword: 'open sesame' });
  try {
    patternDrive(box, 2 * MiB);
    const image = box.image(64 * KiB);
    const env = { ...box.env, FAKE_SU_ACCOUNTS: 'alice' };
    const result = await run(['write', image.file, 'fakesd', '--yes', '--password-stdin', '--block-size', '64K'], { env, input: 'open sesame!\n' });
    assert.equal(result.code, 1);
    assert.match(result.stderr, /flasher: invalid sudo password/);
    assert.ok(box.calls().includes('sudo -S -k su -- alice [refused]'));
    assertUntouched(box, 2 * MiB);
  } finally {
    box.cleanup();
  }
});

test('the drive is refused before any question when the engine would refuse it', async () => {
  const box = sandbox({ diskSize: MiB });
  try {
    patternDrive(box, MiB);
    const internal = disk({ name: 'sda', file: path.join(box.dir, 'internal.img'), rm: false, hotplug: false });
    const part = { name: 'fakesd1', path: `${box.drivePath}1`, size: MiB / 2, fstype: null, label: null, partlabel: null, mountpoint: null };
    const tiny = disk({ name: 'tiny', file: path.join(box.dir, 'tiny.img'), size: 32 * KiB });
    box.list([disk({ file: box.drivePath, size: MiB, children: [part] }), internal, tiny]);
    const whole = box.image(MiB + 512, 'whole.img').file;
    const small = box.image(64 * KiB, 'small.img').file;
    // [arguments, message, exit status: 2 for a value the command line cannot take]
    const cases = [
      [['write', whole, 'fakesd'], /flasher: drive is too small for given image \(1049088 bytes decoded, the drive holds 1048576\)/],
      [['write', small, 'fakesd', 'tiny', '--block-size', '16K'], /flasher: .*tiny\.img: drive is too small for given image/],
      [['write', small, 'fakesd', box.drivePath], /flasher: .*drive\.img: the drive is named twice/],
      [['write', small, 'sda'], /flasher: drive is not external\/removable/],
      [['write', small, 'nosuch'], /flasher: required drive nosuch is not available/],
      [['write', small, 'fakesd1'], /flasher: fakesd1 is a partition of fakesd: give the whole drive/],
      [['write', small, 'fakesd', '--block-size', '1000'], /flasher: invalid write block size: 1000 bytes is not a multiple of the drive's 512-byte sectors/, 2],
      [['write', small, 'fakesd', '--verify-block-size', '1000'], /flasher: invalid read block size: 1000 bytes/, 2],
      [['write', small, 'fakesd', '--block-size', '4M'], /flasher: invalid write block size: 4194304 bytes is more than the drive holds/, 2],
      [['write', small, 'fakesd', '--block-size', '512M'], /flasher: invalid write block size: 536870912 bytes is above the limit of 256 MiB/, 2],
      [['write', small, 'fakesd', '--block-size', '4X'], /flasher: invalid block size "4X"/, 2],
      [['write', path.join(box.dir, 'missing.img'), 'fakesd'], /flasher: failed to determine size of .*missing\.img : image file may not exist/],
      [['write', box.dir, 'fakesd'], /flasher: .* is a directory, not an image file/],
    ];
    for (const [args, message, status = 1] of cases) {
      if (!args.some((arg) => arg.startsWith('--block-size'))) args.push('--block-size', '64K');
      const result = await run(args, { env: box.env, input: 'fakesd\n' });
      assert.equal(result.code, status, args.join(' '));
      assert.match(result.stderr, message);
      assert.doesNotMatch(result.stderr, /Type the/);
    }
    assertUntouched(box, MiB);
    assert.ok(!fs.existsSync(tiny.path), 'the small drive was written');
  } finally {
    box.cleanup();
  }
});

test('Ctrl-C cancels the running write, waits for its end and exits non-zero', { timeout: 30000 }, async () => {
  const box = sandbox({ diskSize: 4 * MiB, sudoPassword: 'pw' });
  // The drive is a FIFO that holds one block and is read only once the cancel was
  // requested: the job cannot get past its first block before that, wherever in the job
  // the request lands.
  const fifo = path.join(box.dir, 'drive.fifo');
  execFileSync('mkfifo', [fifo]);
  const reader = fs.openSync(fifo, fs.constants.O_RDONLY | fs.constants.O_NONBLOCK);
  const received = [];
  const drain = () => {
    const chunk = Buffer.alloc(MiB);
    try {
      for (let got; (got = fs.readSync(reader, chunk)) > 0;) received.push(Buffer.from(chunk.subarray(0, got)));
    } catch (err) {
      if (err.code !== 'EAGAIN') throw err;
    }
  };
  let draining = null;
  let child = null;
  try {
    box.list([disk({ file: fifo, size: 4 * MiB })]);
    const image = box.image(MiB);
    let interrupted = false;
    // A FIFO holds no signatures to read back: no capacity check.
    const result = await run(['write', image.file, 'fakesd', '--yes', '--json', '--block-size', '64K', '--no-capacity-check',
      '--no-first-block-last', '--password-stdin'], {
      env: box.env,
      input: 'pw\n',
      onStdout(stdout, proc) {
        child = proc;
        if (!interrupted && stdout.includes('"event":"progress"')) {
          interrupted = true;
          proc.kill('SIGINT');
        }
        if (!draining && stdout.includes('"event":"note"')) draining = setInterval(drain, 5);
      },
    });
    clearInterval(draining);
    drain();
    assert.equal(result.code, 130, result.stderr);
    const bytes = Buffer.concat(received);
    assert.ok(bytes.length === 0 || bytes.equals(image.bytes.subarray(0, 64 * KiB)),
      `the job wrote ${bytes.length} bytes, more than the block in progress`);

    const lines = jsonLines(result.stdout);
    assert.deepEqual(event(lines, 'note'), { event: 'note', message: 'cancelling' });
    const summary = event(lines, 'summary');
    assert.equal(summary.ok, false);
    assert.deepEqual(summary.drives.map((d) => [d.drive, d.status]), [['fakesd', 'cancelled']]);
    assert.equal(lines.filter((line) => line.phase === 'verify').length, 0);
  } finally {
    fs.closeSync(reader);
    if (child && child.exitCode === null) child.kill('SIGKILL');
    box.cleanup();
  }
});

test('Ctrl-C at the confirmation question ends the command with nothing started', async () => {
  const box = sandbox({ diskSize: MiB });
  try {
    patternDrive(box, MiB);
    const image = box.image(64 * KiB);
    let asked = false;
    const result = await run(['write', image.file, 'fakesd', '--block-size', '64K'], {
      env: box.env,
      input: null,
      onStderr(stderr, proc) {
        if (!asked && stderr.includes("Type the drive's name")) {
          asked = true;
          proc.kill('SIGINT');
        }
      },
    });
    assert.equal(result.code, 130);
    assert.match(result.stderr, /interrupted, nothing was started/);
    assertUntouched(box, MiB);
  } finally {
    box.cleanup();
  }
});

test('--file writes a local file into the FAT partition, --no-eject leaves the drive on, and the summary shows the steps',
  { skip: whyNoFatTools() || false }, async () => {
    const box = sandbox({ diskSize: 16 * MiB, sudoPassword: 'pw' }); // a user who is not root needs it
    try {
      const local = path.join(box.dir, 'user-data');
      fs.writeFileSync(local, '#cloud-config\nhostname: pi\n');
      const result = await run(['write', fatImage(box.dir), 'fakesd', '--yes', '--block-size', '1M', '--file', `1:/user-data=${local}`,
        '--no-eject', '--json', '--password-stdin'], { env: box.env, input: 'pw\n' });
      assert.equal(result.code, 0, result.stderr);
      const [drive] = event(jsonLines(result.stdout), 'summary').drives;
      assert.deepEqual([drive.steps.files.files, drive.steps.eject.message],
        [[{ partition: 1, path: '/user-data', bytes: 27 }], 'not asked for']);
      assert.deepEqual(box.calls().filter((call) => call.startsWith('udisksctl power-off')), []);
    } finally {
      box.cleanup();
    }
  });

test('station --log refuses a link and makes a new log readable by its owner alone', async () => {
  const dir = fs.mkdtempSync(path.join(require('node:os').tmpdir(), 'flasher-log-'));
  fs.writeFileSync(path.join(dir, 'victim'), 'kept');
  fs.symlinkSync(path.join(dir, 'victim'), path.join(dir, 'link.log'));
  const linked = await run(['station', 'none.img', '--log', path.join(dir, 'link.log')]);
  assert.deepEqual([linked.code, fs.readFileSync(path.join(dir, 'victim'), 'utf8')], [2, 'kept']);
  assert.match(linked.stderr, /the log .*link\.log is a symbolic link/);
  await run(['station', 'none.img', '--log', path.join(dir, 'new.log')]);
  assert.equal(fs.statSync(path.join(dir, 'new.log')).mode & 0o777, 0o600);
  fs.rmSync(dir, { recursive: true });
});
