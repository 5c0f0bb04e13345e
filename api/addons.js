'use strict';
// Loads the two addons through pkg-prebuilds: a build of this folder (build/Release)
// when there is one, else the prebuilt binary of the npm package
// (prebuilds/<name>-linux-x64/node-napi-v8.node).
const path = require('node:path');
const loadBinding = require('pkg-prebuilds');

const root = path.join(__dirname, '..');
const { napi_versions } = require('../package.json').binary;

function loadAddon(name) {
  try {
    return loadBinding(root, { name, napi_versions });
  } catch (err) {
    throw new Error(`cannot load the ${name} addon (${err.message}); build it with "npm run build" in ${root}`);
  }
}

module.exports = { flasher: loadAddon('flasher'), sudo: loadAddon('sudo') };
