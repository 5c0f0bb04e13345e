'use strict';
// npm run prebuilds from a cold cache, in a fresh Debian 11 root: no symbol of the
// x64 and arm64 addons asks for a glibc newer than 2.31 or for libstdc++, and each
// pair writes a file drive inside that root under the official Node.js binary of its
// architecture (arm64 through qemu-aarch64-static). Root only: debootstrap, chroot.
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

function whyNot() {
  if (process.env.FLASHER_PREBUILDS_TEST !== '1') {
    return 'building both prebuilds from a cold cache takes minutes: .ci/run asks for it with FLASHER_PREBUILDS_TEST=1';
  }
  if (process.getuid() !== 0) return 'the prebuilds are built in a Debian 11 root, which needs root (debootstrap, chroot)';
  const missing = ['debootstrap', 'unshare', 'objdump', 'qemu-aarch64-static'].filter((tool) => !hasTool(tool));
  if (missing.length) return `missing tools: ${missing.join(' ')} (scripts/setup.sh test installs them)`;
  return null;
}
const skip = whyNot() || false;
if (skip) console.log(`# prebuild tests skipped: ${skip}`);

const script = (name) => path.join(root, 'scripts', name);
// GLIBC_2.0 to GLIBC_2.31; anything else (a newer glibc, GLIBCXX, CXXABI) is refused.
const OLD_ENOUGH = /^GLIBC_2\.([0-9]|[12][0-9]|3[01])(\.[0-9]+)?$/;

describe('prebuilt addons for glibc 2.31', { skip }, () => {
  const dir = skip ? '' : fs.mkdtempSync(path.join(os.tmpdir(), 'flasher-prebuilds-'));
  const rootfs = path.join(dir, 'cache', 'root');
  // Inside the root, where the program that loads them finds them.
  const out = path.join(rootfs, 'tmp', 'prebuilds');
  const addonFile = (name, arch) => path.join(out, `${name}-linux-${arch}`, 'node-napi-v8.node');
  const inRoot = (file) => `/${path.relative(rootfs, file)}`;

  before(() => {
    const log = path.join(dir, 'prebuilds.log');
    const started = Date.now();
    const built = spawnSync('bash', [script('prebuilds.sh')], {
      cwd: root,
      env: { ...process.env, FLASHER_PREBUILD_CACHE: path.dirname(rootfs), FLASHER_PREBUILD_OUT: out },
      stdio: ['ignore', fs.openSync(log, 'w'), fs.openSync(log, 'a')],
    });
    if (built.status !== 0) throw new Error(`npm run prebuilds failed:\n${fs.readFileSync(log, 'utf8').slice(-6000)}`);
    console.log(`prebuilds built from a cold cache in ${Math.round((Date.now() - started) / 1000)} s`);
    // The program, the harness and the stand-in tools, laid out as in the checkout.
    fs.mkdirSync(path.join(rootfs, 'tmp', 'test', 'js'), { recursive: true });
    for (const file of ['harness.js', 'prebuild-write-program.js']) {
      fs.copyFileSync(path.join(__dirname, file), path.join(rootfs, 'tmp', 'test', 'js', file));
    }
    fs.cpSync(path.join(root, 'test', 'tools'), path.join(rootfs, 'tmp', 'test', 'tools'), { recursive: true });
    fs.copyFileSync(execFileSync('sh', ['-c', 'command -v qemu-aarch64-static'], { encoding: 'utf8' }).trim(),
      path.join(rootfs, 'usr', 'local', 'bin', 'qemu-aarch64-static'));
  }, { timeout: 25 * 60 * 1000 });
  after(() => fs.rmSync(dir, { recursive: true, force: true }));

  for (const arch of ARCHES) {
    for (const name of ADDONS) {
      test(`${name}-linux-${arch} asks for no glibc newer than 2.31 and no libstdc++`, () => {
        const symbols = execFileSync('objdump', ['-T', addonFile(name, arch)], { encoding: 'utf8' });
        const versions = [...new Set(symbols.match(/\b(GLIBC|GLIBCXX|CXXABI)_[0-9.]+/g))];
        assert.ok(versions.length > 0, 'objdump -T found no versioned symbol');
        assert.deepEqual(versions.filter((version) => !OLD_ENOUGH.test(version)), []);
      });
    }

    test(`the ${arch} addons write a file drive in Debian 11 under the official Node.js`, { timeout: 300000 }, () => {
      const nodeDir = execFileSync('bash', [script('prebuild/fetch-node.sh'), arch, path.join(rootfs, 'opt')], { encoding: 'utf8' }).trim();
      const node = [...(arch === 'arm64' ? ['qemu-aarch64-static', '-L', '/'] : []), `${inRoot(nodeDir)}/bin/node`];
      const output = execFileSync(script('prebuild/enter-root.sh'), [rootfs, ...node, '/tmp/test/js/prebuild-write-program.js',
        ...ADDONS.map((name) => inRoot(addonFile(name, arch)))], { encoding: 'utf8', timeout: 240000 });
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
