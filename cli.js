#!/usr/bin/env node
'use strict';
// flasher: lists removable drives, writes a disk image onto one or several and reads
// them back, and reads a drive back into an image file.
const { Command, CommanderError } = require('commander');
const { list } = require('./cli/list');
const { write } = require('./cli/write');
const { verify } = require('./cli/verify');
const { runStation } = require('./cli/station');
const { backup } = require('./cli/backup');
const cache = require('./cli/cache');
const { interrupts } = require('./cli/interrupts');
const { Interrupted } = require('./cli/input');
const EXIT = require('./cli/exit');
const { version } = require('./package.json');

const program = new Command()
  .name('flasher')
  .description('Write a disk image onto removable drives and verify them by reading them back; back drives up into images.')
  .version(version)
  .exitOverride();

program
  .command('list')
  .description('list the drives an image can be written to (removable or hot-pluggable)')
  .option('--all', 'also list internal drives, marked as not writable')
  .option('--loop', 'also list the loop devices attached over files, which write and verify take with --loop')
  .option('--json', 'print the drives as JSON')
  .action(async (opts) => {
    process.exitCode = await list(opts);
  });

program
  .command('write')
  .description('write IMAGE onto each DRIVE (kernel name such as sdb, or device path), then verify them')
  .argument('<image>', 'image file or http(s) URL: raw, or compressed with xz, gzip, zstd, bzip2 or zip; or a drive, copied (./sdb is a file)')
  .argument('<drive...>', 'target drives: names or paths as "flasher list" shows them')
  .option('-y, --yes', 'do not ask to confirm by typing the drive names')
  .option('--password-stdin', 'read the sudo password from one line of standard input')
  .option('--no-verify', 'do not read the drives back after writing')
  .option('--bmap <file>', 'block map (file or URL) to write with (default: IMAGE.bmap, or for x.img.xz x.img.bmap or x.bmap)')
  .option('--no-bmap', 'write every block, even where a block map lies next to the image')
  .option('--sync', 'one synchronous write at a time instead of direct writes with several in flight')
  .option('--no-capacity-check', 'do not check first that each drive holds as many bytes as it reports')
  .option('--block-size <size>', 'bytes per write, with a unit: 64K, 1M, 4M', '4M')
  .option('--verify-block-size <size>', 'bytes per read of the verification (default: the write block size)')
  .option('--repair <n>', 'times to write what the verification finds differing again and verify again', '2')
  .option('--no-fix-gpt', "leave a GPT's backup where the image ends instead of moving it to the drive's end")
  .option('--file <part:path=localfile>', 'after the verification, write LOCALFILE as PATH into FAT partition PART (repeatable)',
    (value, list) => [...list, value], [])
  .option('--no-eject', 'leave the drives powered on at the end')
  .option('--sha256 <hex>', 'the published SHA-256 of the image file')
  .option('--checksums <file>', 'checksums file (path or URL) listing the image: SHA256SUMS or a .sha256 file')
  .option('--keyring <file>', 'keyring whose key must sign the checksums file (clearsigned, or .gpg, .sign, .asc next to it)')
  .option('--cache', 'keep an image from a URL in the cache, and take it from there')
  .option('--cache-limit <size>', 'the cache\'s size, with a unit', '16G')
  .option('--stall-timeout <seconds>', 'resume a download that sent no byte for this long', '30')
  .option('--no-first-block-last', 'write the image in its order, instead of its first MiB last (zeros until then)')
  .option('--loop', 'accept loop devices as drives, to try a write onto a file (losetup --find --show FILE)')
  .option('--json', 'print progress and the summary as JSON lines, no bars')
  .action(async (image, drives, opts) => {
    process.exitCode = await write(image, drives, opts);
  });

program
  .command('verify')
  .description('compare DRIVE with IMAGE by reading it back')
  .argument('<image>', 'image file or http(s) URL')
  .argument('<drive>', 'drive: name or path as "flasher list" shows it')
  .option('--password-stdin', 'read the sudo password from one line of standard input')
  .option('--sha256 <hex>', 'the published SHA-256 of the image file')
  .option('--checksums <file>', 'checksums file (path or URL) listing the image')
  .option('--keyring <file>', 'keyring whose key must sign the checksums file')
  .option('--cache', 'take an image from a URL from the cache, or keep it there')
  .option('--stall-timeout <seconds>', 'resume a download that sent no byte for this long', '30')
  .option('--block-size <size>', 'bytes per read, with a unit: 64K, 1M, 4M', '4M')
  .option('--loop', 'accept a loop device as the drive')
  .option('--json', 'print progress and the final statistics as JSON lines, no bar')
  .action(async (image, drive, opts) => {
    process.exitCode = await verify(image, drive, opts);
  });

program
  .command('station')
  .description('write IMAGE onto every removable drive plugged in while it runs, each at its own pace, and verify it')
  .argument('<image>', 'image file: raw, or compressed with xz, gzip, zstd, bzip2 or zip')
  .option('-y, --yes', 'do not ask to confirm the start')
  .option('--password-stdin', 'read the sudo password from one line of standard input')
  .option('--include-present', 'also write the matching drives present at the start')
  .option('--min-size <size>', 'only drives of at least this size, with a unit: 8G')
  .option('--max-size <size>', 'only drives of at most this size, with a unit: 64G')
  .option('--port <pattern>', 'only drives in this port: a /dev/disk/by-path name, * and ? allowed')
  .option('--vendor <text>', 'only drives whose vendor holds this text (any case)')
  .option('--model <text>', 'only drives whose model holds this text (any case)')
  .option('--no-verify', 'do not read the drives back after writing')
  .option('--bmap <file>', 'block map to write with (default: one next to the image)')
  .option('--no-bmap', 'write every block, even where a block map lies next to the image')
  .option('--sync', 'one synchronous write at a time instead of direct writes with several in flight')
  .option('--no-capacity-check', 'do not check first that each drive holds as many bytes as it reports')
  .option('--block-size <size>', 'bytes per write, with a unit: 64K, 1M, 4M', '4M')
  .option('--json', 'print the events as JSON lines (NDJSON) instead of the view')
  .option('--log <file>', 'append every event as a JSON line to this file')
  .action(async (image, opts) => {
    process.exitCode = await runStation(image, opts);
  });

program
  .command('backup')
  .description('read DRIVE into the image file OUTPUT, with its block map (OUTPUT.bmap) and SHA-256 (OUTPUT.sha256)')
  .argument('<drive>', 'drive: name or path as "flasher list" shows it')
  .argument('<output>', 'image file: .img (raw, sparse), .zst, .xz or .gz, or see --format')
  .option('--format <format>', 'raw, zstd, xz or gzip, whatever the name of OUTPUT')
  .option('--level <n>', 'compression level (zstd 1-19, default 3; xz 0-9, default 6; gzip 1-9, default 6)')
  .option('--extent <extent>', '"partitions": up to the end of the last partition; "whole": the whole drive', 'partitions')
  .option('--no-bmap', 'do not write OUTPUT.bmap')
  .option('--no-checksum', 'do not write OUTPUT.sha256')
  .option('--force', 'replace OUTPUT (and its .bmap and .sha256) where they exist')
  .option('--password-stdin', 'read the sudo password from one line of standard input')
  .option('--json', 'print progress and the result as JSON lines, no bar')
  .action(async (drive, output, opts) => {
    process.exitCode = await backup(drive, output, opts);
  });

const cacheCommand = program.command('cache').description('the images from URLs that write --cache keeps');
cacheCommand
  .command('list')
  .description('list the cached images, most recently used first')
  .option('--json', 'print them as JSON')
  .action((opts) => {
    process.exitCode = cache.list(opts);
  });
cacheCommand
  .command('clear')
  .description('remove every cached image')
  .action(() => {
    process.exitCode = cache.clear();
  });

interrupts.watch(() => {
  process.stderr.write('\nflasher: interrupted, nothing was started\n');
  process.exit(EXIT.interrupted);
});

program.parseAsync(process.argv).catch((err) => {
  if (err instanceof CommanderError) {
    process.exitCode = err.exitCode === 0 ? EXIT.ok : EXIT.usage;
  } else if (err instanceof EXIT.UsageError) {
    process.stderr.write(`flasher: ${err.message}\n`);
    process.exitCode = EXIT.usage;
  } else if (err instanceof Interrupted) {
    process.stderr.write('flasher: interrupted, nothing was started\n');
    process.exitCode = EXIT.interrupted;
  } else {
    process.stderr.write(`flasher: ${err.message}\n`);
    process.exitCode = EXIT.failure;
  }
});
