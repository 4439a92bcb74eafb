// The packed tarball installed into a new project beside the bundlers a web
// developer uses (pinned in tests/consumer/package-lock.json, installed with
// npm ci), each building a page with <kx-image> with no configuration of
// its own; each page, served under the strict policy, shows the picture
// exactly in headless Chromium. Where a bundler copies no .wasm by itself,
// the page uses the recipe docs/web.md gives.
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, test } from 'node:test';
import puppeteer from 'puppeteer-core';

import { goldenRgba, repoDir, sameBytes, webDir, workDir } from './common.js';
import { serve } from './server.js';

const decodeDir = path.join(repoDir, 'tests', 'data', 'decode');
const consumerDir = path.join(webDir, 'tests', 'consumer');
const work = path.join(workDir, 'consumer');
const project = path.join(work, 'project');
const bin = (name) => path.join(project, 'node_modules', '.bin', name);
// Runs a tool in the project; its output, both streams, as it printed them
// (a bundler's warnings go to either).
function run(command, args) {
  const done = spawnSync(command, args, { cwd: project, encoding: 'utf8' });
  const log = `${done.stdout}${done.stderr}`;
  if (done.status !== 0) throw new Error(`${path.basename(command)} ${args.join(' ')} failed:\n${log}`);
  return log;
}

const classicPage = (script, type) => `<!doctype html><html lang="en"><head><meta charset="utf-8"><title>kx-codec in a bundle</title>
<script ${type} src="${script}"></script></head>
<body><kx-image id="picture" src="/pictures/gradient-333x129.kx" alt="A gradient in bands"></kx-image></body></html>`;

// Each bundler: how it builds into out, and the page it needs beside its output.
const BUNDLERS = [
  { name: 'vite', build: (out) => run(bin('vite'), ['build', '--outDir', out, '--emptyOutDir']) },
  {
    name: 'webpack',
    build: (out) => {
      const log = run(bin('webpack'), ['--mode', 'production', '--entry', './src/main.js', '--output-path', out]);
      fs.writeFileSync(path.join(out, 'index.html'), classicPage('main.js', 'defer'));
      return log;
    },
  },
  {
    name: 'rollup',
    build: (out) => {
      // docs/web.md: Rollup follows no new URL(…, import.meta.url): the
      // element's worker is a second input, and the .wasm files are copied.
      const log = run(bin('rollup'), ['src/main.js', 'node_modules/kx-codec/kx-worker.js', '-d', out, '-f', 'es', '-p', 'node-resolve']);
      fs.mkdirSync(path.join(out, 'dist'));
      for (const name of ['kx-simd.wasm', 'kx-plain.wasm']) {
        fs.copyFileSync(path.join(project, 'node_modules', 'kx-codec', 'dist', name), path.join(out, 'dist', name));
      }
      fs.writeFileSync(path.join(out, 'index.html'), classicPage('main.js', 'type="module"'));
      return log;
    },
  },
  {
    name: 'esbuild',
    build: (out) => {
      const log = run(bin('esbuild'), ['src/main-esbuild.js', 'kx-worker=kx-codec/worker', '--bundle', '--format=esm',
        `--outdir=${out}`, '--loader:.wasm=file']);
      fs.writeFileSync(path.join(out, 'index.html'), classicPage('main-esbuild.js', 'type="module"'));
      return log;
    },
  },
];

let browser, profile;

before(() => {
  // The tarball, and a project of its own holding the bundlers from the
  // lockfile and the package installed from the tarball, as a user would.
  fs.rmSync(work, { recursive: true, force: true });
  fs.mkdirSync(project, { recursive: true });
  const [packed] = JSON.parse(execFileSync('npm', ['pack', '--json', '--pack-destination', work], { cwd: webDir, encoding: 'utf8' }));
  for (const name of ['package.json', 'package-lock.json', 'index.html']) fs.copyFileSync(path.join(consumerDir, name), path.join(project, name));
  fs.cpSync(path.join(consumerDir, 'src'), path.join(project, 'src'), { recursive: true });
  run('npm', ['ci', '--prefer-offline', '--no-audit', '--no-fund', '--loglevel=error']);
  run('npm', ['install', '--no-save', '--offline', '--no-audit', '--no-fund', '--loglevel=error', path.join(work, packed.filename)]);
});

before(async () => {
  profile = fs.mkdtempSync(path.join(workDir, 'chromium-'));
  browser = await puppeteer.launch({
    executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium',
    headless: true,
    userDataDir: profile,
    args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage', '--no-first-run'],
  });
});

after(async () => {
  await browser?.close();
  if (profile) fs.rmSync(profile, { recursive: true, force: true });
});

const golden = goldenRgba(path.join(decodeDir, 'gradient-333x129.bmp'));

for (const bundler of BUNDLERS) {
  test(`${bundler.name}: the bundle holds no Node module and its page shows the picture exactly`, async () => {
    const out = path.join(work, bundler.name);
    const log = bundler.build(out);
    assert.doesNotMatch(log, /node:fs|externali[sz]ed/i, `${bundler.name} reported: ${log}`);
    const shipped = fs.readdirSync(out, { recursive: true }).filter((n) => n.endsWith('.js'));
    for (const name of shipped) {
      const text = fs.readFileSync(path.join(out, name), 'utf8');
      assert.ok(!/node:fs|["']fs\/promises["']|browser-external/.test(text), `${bundler.name}: ${name} refers to a Node module`);
    }

    const server = await serve({ '/': out, '/pictures/': decodeDir });
    const page = await browser.newPage();
    const problems = [];
    page.on('pageerror', (e) => problems.push(`page error: ${e.message}`));
    page.on('console', (m) => { if (m.type() === 'error' && !m.text().startsWith('Failed to load resource')) problems.push(`console: ${m.text()}`); });
    page.on('requestfailed', (r) => problems.push(`failed: ${r.url()}`));
    const workers = [];
    page.on('workercreated', (w) => workers.push(w.url()));
    page.on('response', (r) => { if (r.status() >= 400 && !r.url().endsWith('/favicon.ico')) problems.push(`HTTP ${r.status()}: ${r.url()}`); });
    try {
      await page.goto(`http://127.0.0.1:${server.address().port}/index.html`);
      const state = await page.waitForFunction(() => {
        const element = document.getElementById('picture');
        return element?.complete && [element.getAttribute('state'), element.error];
      }, { timeout: 30_000 }).then((h) => h.jsonValue());
      assert.deepEqual(state, ['loaded', null], `${problems}`);
      const base64 = await page.evaluate((w, h) => {
        const copy = new OffscreenCanvas(w, h).getContext('2d');
        copy.drawImage(document.getElementById('picture').shadowRoot.querySelector('canvas'), 0, 0);
        const bytes = copy.getImageData(0, 0, w, h).data;
        let text = '';
        for (let k = 0; k < bytes.length; k += 0x8000) text += String.fromCharCode(...bytes.subarray(k, k + 0x8000));
        return btoa(text);
      }, golden.width, golden.height);
      assert.ok(sameBytes(new Uint8Array(Buffer.from(base64, 'base64')), golden.data), `${bundler.name}: pixels differ from the golden file`);
      assert.deepEqual(problems.filter((p) => !p.includes('favicon')), []);
      // The element decoded in its worker, not on the page as a last resort.
      assert.ok(workers.length >= 1, `${bundler.name}: no worker started`);
    } finally {
      await page.close();
      server.close();
    }
  });
}

// The declarations, with every example of docs/web.md compiled as it stands
// (the names an example takes as given are declared beside it), under
// tsc --strict of each TypeScript pinned, in each module resolution. The
// "node" resolution (node10) is gone from TypeScript 7, which refuses it.
const TYPESCRIPTS = ['ts50', 'ts56', 'ts59', 'ts7'];
const RESOLUTIONS = {
  nodenext: { module: 'nodenext', moduleResolution: 'nodenext' },
  bundler: { module: 'esnext', moduleResolution: 'bundler' },
  node: { module: 'esnext', moduleResolution: 'node' },
};
const GIVEN = `declare const bytes: ArrayBuffer;
declare const firstBytes: Uint8Array;
declare const rgbaBytes: Uint8Array;
declare const imageData: ImageData;
declare const context: CanvasRenderingContext2D;
declare const width: number;
declare const height: number;
`;

function docExamples() {
  const text = fs.readFileSync(path.join(repoDir, 'docs', 'web.md'), 'utf8');
  return [...text.matchAll(/^```(?:js|ts)\n([\s\S]*?)^```/gm)].map((m) => m[1]);
}

test('docs/web.md has examples of the codec, the element and the wasm files to compile', () => {
  const all = docExamples().join('\n');
  for (const name of ["'kx-codec'", "'kx-codec/element'", "'kx-codec/kx-simd.wasm'"]) assert.ok(all.includes(name), name);
});

for (const ts of TYPESCRIPTS) {
  test(`${ts}: the documented examples compile with --strict in every module resolution`, () => {
    const dir = path.join(project, 'types', ts);
    fs.rmSync(dir, { recursive: true, force: true });
    fs.mkdirSync(dir, { recursive: true });
    const files = docExamples().map((code, k) => {
      fs.writeFileSync(path.join(dir, `example-${k}.ts`), `${code}\nexport {};\n`);
      return `example-${k}.ts`;
    });
    fs.writeFileSync(path.join(dir, 'given.d.ts'), GIVEN);
    const version = JSON.parse(fs.readFileSync(path.join(project, 'node_modules', ts, 'package.json'), 'utf8')).version;
    for (const [resolution, options] of Object.entries(RESOLUTIONS)) {
      fs.writeFileSync(path.join(dir, 'tsconfig.json'), JSON.stringify({
        compilerOptions: { strict: true, noEmit: true, target: 'es2022', lib: ['es2022', 'dom'], types: [], ...options },
        files: ['given.d.ts', ...files],
      }));
      const done = spawnSync(process.execPath, [path.join(project, 'node_modules', ts, 'bin', 'tsc'), '-p', dir], { encoding: 'utf8' });
      const log = `${done.stdout}${done.stderr}`;
      if (resolution === 'node' && Number(version.split('.')[0]) >= 7) {
        assert.match(log, /moduleResolution.*node10|node10.*moduleResolution/is, `${ts} ${version}: ${log}`);
        assert.notEqual(done.status, 0);
        console.log(`# ${ts} (typescript ${version}) ${resolution}: refused by this TypeScript`);
        continue;
      }
      assert.equal(done.status, 0, `${ts} (typescript ${version}), ${resolution}:\n${log}`);
      console.log(`# ${ts} (typescript ${version}) ${resolution}: compiled`);
    }
  });
}
