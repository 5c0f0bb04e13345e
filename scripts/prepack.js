'use strict';
// npm pack: packs the prebuilt addons that `npm run prebuilds` made (glibc 2.31, x64
// and arm64) when prebuilds/ holds all of them. Otherwise builds both addons on this
// machine (build/Release) and copies them, stripped, where pkg-prebuilds looks for the
// binary of this platform: prebuilds/<name>-linux-<arch>/node-napi-v8.node.
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const root = path.join(__dirname, '..');
const [napiVersion] = require('../package.json').binary.napi_versions;
const ADDONS = ['flasher', 'sudo'];
const PREBUILT_ARCHES = ['x64', 'arm64'];
const SOURCES = ['CMakeLists.txt', 'lib', 'n-api'];

const prebuilt = ADDONS.flatMap((name) =>
  PREBUILT_ARCHES.map((arch) => path.join(root, 'prebuilds', `${name}-linux-${arch}`, `node-napi-v${napiVersion}.node`)));

// The newest modification time among the files of the addons' sources.
function newestSource(file) {
  const stat = fs.statSync(file);
  if (!stat.isDirectory()) return stat.mtimeMs;
  return Math.max(0, ...fs.readdirSync(file).map((entry) => newestSource(path.join(file, entry))));
}

if (prebuilt.every((file) => fs.existsSync(file))) {
  const built = Math.min(...prebuilt.map((file) => fs.statSync(file).mtimeMs));
  if (Math.max(...SOURCES.map((source) => newestSource(path.join(root, source)))) > built) {
    console.error('prepack: the sources changed after the prebuilt addons were made; run "npm run prebuilds" again');
  }
  process.exit(0);
}

// Their output goes to standard error: npm pack prints the tarball's name on standard output.
const node = (script, args) =>
  execFileSync(process.execPath, [require.resolve(script), ...args], { cwd: root, stdio: ['ignore', 2, 2] });

node('cmake-js/bin/cmake-js', ['compile', '--log-level', 'error']);
fs.rmSync(path.join(root, 'prebuilds'), { recursive: true, force: true });
for (const name of ADDONS) {
  node('pkg-prebuilds/bin/copy.mjs', [
    '--baseDir', 'build/Release', '--source', `${name}.node`, '--name', name, '--napi_version', String(napiVersion), '--strip',
  ]);
}
