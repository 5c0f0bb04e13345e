'use strict';
// npm pack: builds both addons (build/Release) and copies them, stripped, where
// pkg-prebuilds looks for the prebuilt binary of this platform:
// prebuilds/<name>-linux-x64/node-napi-v8.node.
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const root = path.join(__dirname, '..');
const [napiVersion] = require('../package.json').binary.napi_versions;
// Their output goes to standard error: npm pack prints the tarball's name on standard output.
const node = (script, args) =>
  execFileSync(process.execPath, [require.resolve(script), ...args], { cwd: root, stdio: ['ignore', 2, 2] });

node('cmake-js/bin/cmake-js', ['compile', '--log-level', 'error']);
fs.rmSync(path.join(root, 'prebuilds'), { recursive: true, force: true });
for (const name of ['flasher', 'sudo']) {
  node('pkg-prebuilds/bin/copy.mjs', [
    '--baseDir', 'build/Release', '--source', `${name}.node`, '--name', name, '--napi_version', String(napiVersion), '--strip',
  ]);
}
