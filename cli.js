#!/usr/bin/env node
'use strict';
// flasher: lists removable drives, writes a disk image onto one and reads it back.
const { Command, CommanderError } = require('commander');
const { list } = require('./cli/list');
const { write, verify } = require('./cli/flash');
const { interrupts } = require('./cli/job');
const { Interrupted } = require('./cli/input');
const EXIT = require('./cli/exit');
const { version } = require('./package.json');

const program = new Command()
  .name('flasher')
  .description('Write a disk image onto a removable drive and verify it by reading it back.')
  .version(version)
  .exitOverride();

program
  .command('list')
  .description('list the drives an image can be written to (removable or hot-pluggable)')
  .option('--all', 'also list internal drives, marked as not writable')
  .option('--json', 'print the drives as JSON')
  .action(async (opts) => {
    process.exitCode = await list(opts);
  });

program
  .command('write')
  .description('write IMAGE onto DRIVE (kernel name such as sdb, or device path), then verify it')
  .argument('<image>', 'image file')
  .argument('<drive>', 'target drive: name or path as "flasher list" shows it')
  .option('-y, --yes', 'do not ask to confirm by typing the drive name')
  .option('--password-stdin', 'read the sudo password from one line of standard input')
  .option('--no-verify', 'do not read the drive back after writing')
  .option('--block-size <size>', 'bytes per write, with a unit: 64K, 1M, 4M', '4M')
  .option('--verify-block-size <size>', 'bytes per read of the verification (default: the write block size)')
  .option('--json', 'print progress and the final statistics as JSON lines, no bar')
  .action(async (image, drive, opts) => {
    process.exitCode = await write(image, drive, opts);
  });

program
  .command('verify')
  .description('compare DRIVE with IMAGE by reading it back')
  .argument('<image>', 'image file')
  .argument('<drive>', 'drive: name or path as "flasher list" shows it')
  .option('--password-stdin', 'read the sudo password from one line of standard input')
  .option('--block-size <size>', 'bytes per read, with a unit: 64K, 1M, 4M', '4M')
  .option('--json', 'print progress and the final statistics as JSON lines, no bar')
  .action(async (image, drive, opts) => {
    process.exitCode = await verify(image, drive, opts);
  });

interrupts.watch(() => {
  process.stderr.write('\nflasher: interrupted, nothing was started\n');
  process.exit(EXIT.interrupted);
});

program.parseAsync(process.argv).catch((err) => {
  if (err instanceof CommanderError) {
    process.exitCode = err.exitCode === 0 ? EXIT.ok : EXIT.usage;
  } else if (err instanceof Interrupted) {
    process.stderr.write('flasher: interrupted, nothing was started\n');
    process.exitCode = EXIT.interrupted;
  } else {
    process.stderr.write(`flasher: ${err.message}\n`);
    process.exitCode = EXIT.failure;
  }
});
