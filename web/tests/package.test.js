// The tarball npm pack makes: what it holds, its size budget, and that it
// installs and works in Node by its package name (the exports map), on the
// main thread and in a worker thread.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import zlib from 'node:zlib';
import { test } from 'node:test';

import { repoDir, webDir, workDir } from './common.js';

const GZIP_BUDGET_BYTES = 40 * 1024;

test('the packed package holds its files, within the size budget, and works once installed', () => {
  const packDir = path.join(workDir, 'pack');
  fs.rmSync(packDir, { recursive: true, force: true });
  fs.mkdirSync(packDir, { recursive: true });
  const [packed] = JSON.parse(execFileSync('npm', ['pack', '--json', '--pack-destination', packDir], { cwd: webDir, encoding: 'utf8' }));
  const names = packed.files.map((f) => f.path).sort();
  for (const name of ['package.json', 'README.md', 'kx.js', 'kx-node.js', 'kx-worker.js', 'kx-draw.js', 'kx.d.ts', 'kx-image.js', 'kx-image.d.ts', 'dist/kx-simd.js', 'dist/kx-simd.wasm',
    'dist/kx-plain.js', 'dist/kx-plain.wasm', 'viewer/index.html', 'viewer/viewer.js', 'viewer/worker.js']) {
    assert.ok(names.includes(name), `${name} missing from ${names}`);
  }
  assert.ok(!names.some((n) => n.startsWith('tests/') || n.startsWith('glue/') || n.startsWith('node_modules/')), String(names));

  // Every shipped .wasm and .js but the element's, the viewer's and the
  // worker's, gzipped.
  const sizes = {};
  for (const name of names.filter((n) => /\.(wasm|js)$/.test(n) && !n.startsWith('viewer/') && n !== 'kx-image.js')) {
    sizes[name] = zlib.gzipSync(fs.readFileSync(path.join(webDir, name)), { level: 9 }).length;
  }
  console.log(`gzipped bytes: ${JSON.stringify(sizes)}`);
  for (const [name, bytes] of Object.entries(sizes)) assert.ok(bytes < GZIP_BUDGET_BYTES, `${name}: ${bytes} bytes gzipped`);

  // Installed from the tarball into a project of its own, imported by name.
  const project = path.join(packDir, 'project');
  fs.mkdirSync(project);
  fs.writeFileSync(path.join(project, 'package.json'), '{"name": "try-kx", "private": true, "type": "module"}');
  execFileSync('npm', ['install', '--offline', '--no-audit', '--no-fund', path.join(packDir, packed.filename)], { cwd: project });
  const sample = path.join(repoDir, 'tests', 'data', 'decode', 'gradient-333x129.kx');
  fs.writeFileSync(path.join(project, 'try.js'), `
import { Worker, isMainThread, parentPort } from 'node:worker_threads';
import fs from 'node:fs';
import { decode, encode, init, KxError } from 'kx-codec';
const file = fs.readFileSync(${JSON.stringify(sample)});
const picture = await decode(file);
const again = await decode(await encode(picture, { level: 1 }));
let refused = '';
try { await decode(new Uint8Array(20)); } catch (e) { refused = e instanceof KxError ? e.codeName : String(e); }
const line = [picture.width, picture.height, picture.complete, Buffer.compare(Buffer.from(again.data.buffer), Buffer.from(picture.data.buffer)), refused,
  (await init()).simd].join(' ');
if (isMainThread) {
  const worker = new Worker(new URL(import.meta.url));
  worker.on('message', (inWorker) => console.log(line + ' | ' + inWorker));
} else {
  parentPort.postMessage(line);
}
`);
  const out = execFileSync('node', ['try.js'], { cwd: project, encoding: 'utf8' }).trim();
  const expected = '333 129 true 0 KX_ERR_NOT_KX true';
  assert.equal(out, `${expected} | ${expected}`);
  const wasmPath = execFileSync('node', ['-e', 'console.log(require.resolve("kx-codec/kx-simd.wasm"))'],
    { cwd: project, encoding: 'utf8' }).trim();
  assert.ok(fs.existsSync(wasmPath) && wasmPath.endsWith('dist/kx-simd.wasm'), wasmPath);
});
