'use strict';
// The demonstration ends without claiming what its simulated drive cannot do: no
// eject is reported for a file in a temporary folder.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

test('the demonstration writes and verifies its simulated drive and reports no eject', { timeout: 120000 }, () => {
  const demo = spawnSync(process.execPath, [path.join(__dirname, '..', '..', 'scripts', 'demo.js')], { encoding: 'utf8' });
  assert.equal(demo.status, 0, demo.stderr);
  assert.match(demo.stdout, /equal: the drive holds the image byte for byte/);
  assert.doesNotMatch(demo.stdout, /eject: |powered off/);
});
