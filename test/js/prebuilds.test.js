'use strict';
// npm run prebuilds from a cold cache: both addons for x64 and arm64, built in a fresh
// Debian 11 root. No symbol of theirs asks for a glibc newer than 2.31 or for
// libstdc++, and each pair loads and writes a file drive inside that root under the
// official Node.js binary of its architecture (arm64 through qemu-aarch64-static).
// Root only: debootstrap and chroot need it.
const { describe, before, after, test } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync, execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { root } = require('./harness');
const { hasTool } = require('./e2e/e2e-helpers');

const ARCHES = ['x64', 'arm64'];
const ADDONS = ['flasher', 'sudo'];
const NEWEST_GLIBC = [2, 31];

function whyNot() {
  if (process.getuid() !== 0) return 'the prebuilds are built in a Debian 11 root, which needs root (debootstrap, chroot)';
  const missing = ['debootstrap', 'unshare', 'objdump', 'qemu-aarch64-static'].filter((tool) => !hasTool(tool));
  if (missing.length) return `missing tools: ${missing.join(' ')} (scripts/setup.sh test installs them)`;
  return null;
}
const skip = whyNot() || false;
if (skip) console.log(`# prebuild tests skipped: ${skip}`);

const script = (name) => path.join(root, 'scripts', name);
const addonFile = (dir, name, arch) => path.join(dir, `${name}-linux-${arch}`, 'node-napi-v8.node');

// The glibc and libstdc++ versions the dynamic symbols of a file ask for.
function symbolVersions(file) {
  const text = execFileSync('objdump', ['-T', file], { encoding: 'utf8' });
  return [...new Set(text.match(/\b(GLIBC|GLIBCXX|CXXABI)_[0-9.]+/g) || [])];
}
const newerThan = ([major, minor], version) => {
  const [m, n] = version.split('_')[1].split('.').map(Number);
  return m > major || (m === major && (n || 0) > minor);
};

describe('prebuilt addons for glibc 2.31', { skip }, () => {
  const dir = skip ? '' : fs.mkdtempSync(path.join(os.tmpdir(), 'flasher-prebuilds-'));
  const cache = path.join(dir, 'cache');
  const out = path.join(dir, 'prebuilds');
  const rootfs = path.join(cache, 'root');

  before(() => {
    const log = path.join(dir, 'prebuilds.log');
    const started = Date.now();
    const built = spawnSync('bash', [script('prebuilds.sh')], {
      cwd: root,
      env: { ...process.env, FLASHER_PREBUILD_CACHE: cache, FLASHER_PREBUILD_OUT: out },
      stdio: ['ignore', fs.openSync(log, 'w'), fs.openSync(log, 'a')],
    });
    if (built.status !== 0) {
      throw new Error(`npm run prebuilds failed:\n${fs.readFileSync(log, 'utf8').split('\n').slice(-60).join('\n')}`);
    }
    console.log(`prebuilds built from a cold cache in ${Math.round((Date.now() - started) / 1000)} s`);
  }, { timeout: 25 * 60 * 1000 });
  after(() => fs.rmSync(dir, { recursive: true, force: true }));

  for (const arch of ARCHES) {
    for (const name of ADDONS) {
      test(`${name}-linux-${arch} asks for no glibc newer than 2.31 and no libstdc++`, () => {
        const versions = symbolVersions(addonFile(out, name, arch));
        assert.ok(versions.some((v) => v.startsWith('GLIBC_')), `objdump -T found no glibc symbol: ${versions}`);
        assert.deepEqual(versions.filter((v) => !v.startsWith('GLIBC_') || newerThan(NEWEST_GLIBC, v)), []);
      });
    }

    test(`the ${arch} addons write a file drive in Debian 11 under the official Node.js`, { timeout: 300000 }, (t) => {
      // The program, the harness and the stand-in tools laid out as in the checkout.
      const work = fs.mkdtempSync(path.join(rootfs, 'tmp', 'flasher-prebuild-test-'));
      t.after(() => fs.rmSync(work, { recursive: true, force: true }));
      const inRoot = (file) => `/${path.relative(rootfs, file)}`;
      fs.mkdirSync(path.join(work, 'test', 'js'), { recursive: true });
      for (const file of ['harness.js', 'prebuild-write-program.js']) {
        fs.copyFileSync(path.join(__dirname, file), path.join(work, 'test', 'js', file));
      }
      fs.cpSync(path.join(root, 'test', 'tools'), path.join(work, 'test', 'tools'), { recursive: true });
      for (const name of ADDONS) fs.cpSync(path.join(out, `${name}-linux-${arch}`), path.join(work, `${name}-linux-${arch}`), { recursive: true });

      const nodeDir = execFileSync('bash', [script('prebuild/fetch-node.sh'), arch, path.join(rootfs, 'opt')], { encoding: 'utf8' }).trim();
      let command = [`${inRoot(nodeDir)}/bin/node`];
      if (arch === 'arm64') {
        fs.copyFileSync(execFileSync('sh', ['-c', 'command -v qemu-aarch64-static'], { encoding: 'utf8' }).trim(),
          path.join(rootfs, 'usr', 'local', 'bin', 'qemu-aarch64-static'));
        command = ['qemu-aarch64-static', '-L', '/', ...command];
      }
      const program = path.join(work, 'test', 'js', 'prebuild-write-program.js');
      const output = execFileSync(script('prebuild/enter-root.sh'), [rootfs, ...command, inRoot(program),
        ...ADDONS.map((name) => inRoot(addonFile(work, name, arch)))], { encoding: 'utf8', timeout: 240000 });
      const seen = JSON.parse(output);
      assert.deepEqual(seen, {
        inspected: { format: 'xz', fileSize: seen.inspected.fileSize, size: 3 * 1024 * 1024 },
        written: { completed: 100, errque: '' },
        verified: { completed: 100, errque: '', numwriteerrs: 0 },
        driveHoldsImage: true,
        passwords: [true, false],
      });
    });
  }
});
