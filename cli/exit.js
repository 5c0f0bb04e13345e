'use strict';
// Exit statuses of the flasher command.
module.exports = {
  ok: 0,
  failure: 1, // refused, a job recorded an error, or the drive differs from the image
  usage: 2,
  interrupted: 130, // Ctrl-C: the job was cancelled
};
