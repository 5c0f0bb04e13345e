'use strict';
// The npm package as an application gets it: packed with its prebuilt addons and
// installed where PATH holds no compiler, cmake or make; then used, through require and
// import, to write a file drive. Also its type declarations, through tsc.
const test = require('node:test');
const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { root, toolsDir, sandbox } = require('./harness');

// What the prebuilt addons may need: glibc and the compression libraries every desktop
// has; liblzma is linked in, since older ones lack its multi-threaded decoder.
const ALLOWED = /^(linux-vdso|ld-linux-x86-64|libc|libm|libpthread|libdl|librt|libzstd|libz|libbz2)\.so/;
// All the installation and the application get on PATH.
const TOOLS = ['node', 'npm', 'sh', 'bash', 'env', 'cat', 'dirname'];

function toolFolder(dir) {
  fs.mkdirSync(dir);
  for (const tool of TOOLS) {
    fs.symlinkSync(execFileSync('which', [tool], { encoding: 'utf8' }).trim(), path.join(dir, tool));
  }
  return dir;
}

const libraries = (file) =>
  execFileSync('ldd', [file], { encoding: 'utf8' }).split('\n').map((line) => line.trim().split(' ')[0]).filter(Boolean)
    .map((name) => path.basename(name));

test('the packed package installs without build tools and writes a file drive', { timeout: 300000 }, (t) => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'flasher-pack-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const bin = toolFolder(path.join(dir, 'bin'));
  const tarball = execFileSync('npm', ['pack', '--silent', '--pack-destination', dir], { cwd: root, encoding: 'utf8' });
  const app = path.join(dir, 'app');
  fs.mkdirSync(app);
  const bare = { HOME: process.env.HOME, PATH: bin };
  execFileSync('npm', ['install', '--no-audit', '--no-fund', '--prefer-offline', path.join(dir, tarball.trim().split('\n').pop())],
    { cwd: app, env: bare, stdio: 'ignore' });

  const installed = path.join(app, 'node_modules', 'flasher-addon');
  assert.ok(!fs.existsSync(path.join(installed, 'build')), 'the install built the addons');
  for (const name of ['flasher', 'sudo']) {
    const needed = libraries(path.join(installed, 'prebuilds', `${name}-linux-x64`, 'node-napi-v8.node'));
    assert.deepEqual(needed.filter((lib) => !ALLOWED.test(lib)), [], `${name} needs more than glibc`);
  }

  // The engine is told the user is root: the drive is the user's own file, and the
  // stand-in sudo finds none of the tools it needs on this bare PATH.
  const box = sandbox({ diskSize: 2 * 1024 * 1024, whoami: 'root' });
  t.after(() => box.cleanup());
  const image = box.image(300000);
  const env = { ...box.env, ...bare, PATH: `${toolsDir}:${bin}` };
  const script = `require('flasher-addon').flash({ image: ${JSON.stringify(image.file)}, drive: 'fakesd', blockSize: 65536 })
    .then((result) => console.log(result.verify.differingBytes))`;
  assert.equal(execFileSync('node', ['-e', script], { cwd: app, env, encoding: 'utf8' }), '0\n');
  assert.ok(fs.readFileSync(box.drivePath).subarray(0, image.bytes.length).equals(image.bytes));

  const esm = `import * as esm from 'flasher-addon';
    import { createRequire } from 'node:module';
    const cjs = createRequire(process.cwd() + '/')('flasher-addon');
    console.log(Object.keys(cjs).filter((name) => esm[name] === cjs[name]).length, Object.keys(cjs).length);`;
  const [same, all] = execFileSync('node', ['--input-type=module', '-e', esm], { cwd: app, env, encoding: 'utf8' }).split(' ');
  assert.equal(Number(same), Number(all), 'import gives every export of require');
});

test('the type declarations fit a typed application (tsc --noEmit)', () => {
  execFileSync(process.execPath, [path.join(root, 'node_modules/typescript/bin/tsc'), '-p', 'test/types'], { cwd: root });
});
