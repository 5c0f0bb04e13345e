'use strict';
// Exit statuses of the flasher command, and the error of a command line that asks for
// something that cannot be: a value no option takes, a block size no drive takes.
const EXIT = {
  ok: 0,
  failure: 1, // refused, a job recorded an error, or the drive differs from the image
  usage: 2,
  interrupted: 130, // Ctrl-C: the job was cancelled
};

class UsageError extends Error {}

module.exports = { ...EXIT, UsageError };
