'use strict';
// Ctrl-C: before any job started it ends the program at once; during a job it aborts
// the job, and the program waits for the job's end steps.
const interrupts = {
  requested: false,
  jobStarted: false,
  cancel: null,
  watch(onIdle) {
    process.on('SIGINT', () => {
      this.requested = true;
      if (this.cancel) this.cancel();
      else if (!this.jobStarted) onIdle();
    });
  },
  // An AbortController for the job about to start; `note` tells the user of each Ctrl-C.
  controller(note) {
    const controller = new AbortController();
    let cancelling = false;
    this.jobStarted = true;
    this.cancel = () => {
      if (!cancelling) controller.abort();
      note(cancelling ? 'still ending the job, please wait' : 'cancelling');
      cancelling = true;
    };
    return controller;
  },
  ended() {
    this.cancel = null;
  },
};

module.exports = { interrupts };
