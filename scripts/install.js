'use strict';
// npm install: keeps the prebuilt addons of the package when both load on this
// machine; otherwise, or with --build-from-source, builds them with cmake-js, which
// then needs cmake, make and a C++17 compiler.
const { spawnSync } = require('node:child_process');
const path = require('node:path');
const loadBinding = require('pkg-prebuilds');

const root = path.join(__dirname, '..');
const { napi_versions } = require('../package.json').binary;

function prebuildLoads(name) {
  const file = loadBinding.resolve(root, { name, napi_versions }, true, false);
  if (!file) return false;
  try {
    require(file);
    return true;
  } catch (err) {
    console.warn(`flasher-addon: the prebuilt ${name} addon does not load here (${err.message}); building it`);
    return false;
  }
}

if (process.env.npm_config_build_from_source !== 'true' && ['flasher', 'sudo'].every(prebuildLoads)) {
  process.exit(0);
}
const cmakeJs = require.resolve('cmake-js/bin/cmake-js');
const build = spawnSync(process.execPath, [cmakeJs, 'compile'], { cwd: root, stdio: 'inherit' });
process.exit(build.status === null ? 1 : build.status);
