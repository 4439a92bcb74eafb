// Decode and encode times of the WebAssembly builds in Node and in Chromium
// against the native library, on the benchmark pictures, in one run. The
// runners take turns, round after round, so that a machine whose load
// changes meanwhile weighs on all of them alike; each keeps its fastest
// time. Prints a table and writes build/web/bench.json; asserts nothing
// about speed (the machine is shared).
//
//   node tests/bench.js [ROUNDS [ENCODE_ROUNDS]]
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import puppeteer from 'puppeteer-core';

import * as kx from '../kx-node.js';
import { nativeDecode, picturesDir, reference, webDir, workDir } from './common.js';
import { measure, measureView } from './measure.js';
import { writePng } from './png.js';
import { serve } from './server.js';

const rounds = Number(process.argv[2] ?? 5);
const encodeRounds = Number(process.argv[3] ?? 2);
const names = ['flat.kx', 'photo.kx', 'art.kx'];
const files = names.map((n) => path.join(picturesDir, n));
const bytesList = files.map((f) => fs.readFileSync(f));
// The same pictures as PNG, for the browser's own path to a canvas.
for (const name of names) {
  const png = path.join(picturesDir, name.replace(/\.kx$/, '.png'));
  if (!fs.existsSync(png)) fs.writeFileSync(png, writePng(nativeDecode(path.join(picturesDir, name))));
}

const server = await serve({ '/': webDir, '/pictures/': picturesDir });
const profile = fs.mkdtempSync(path.join(workDir, 'chromium-bench-'));
const browser = await puppeteer.launch({
  executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium', headless: true, userDataDir: profile,
  args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage', '--no-first-run', '--disable-background-networking',
    '--disable-component-update', '--disable-sync'],
});
const page = await browser.newPage();
await page.goto(`http://127.0.0.1:${server.address().port}/viewer/index.html`);
await page.evaluate(async (names) => {
  window.bench = { kx: await import('/kx.js'), ...(await import('/tests/measure.js')) };
  const load = async (n) => new Uint8Array(await (await fetch(`/pictures/${n}`)).arrayBuffer());
  window.bench.bytes = await Promise.all(names.map(load));
  window.bench.pngs = await Promise.all(names.map((n) => load(n.replace(/\.kx$/, '.png'))));
}, names);

const runners = {
  native: (encode) => {
    const out = JSON.parse(execFileSync(reference, ['time', '1', ...files], { encoding: 'utf8' }));
    return files.map((f) => ({ decode_ms: [out[f].decode_ms], encode_ms: encode ? [out[f].encode_ms] : [] }));
  },
  'node simd': (encode) => measure(kx, true, bytesList, 1, encode ? 1 : 0),
  'node plain': () => measure(kx, false, bytesList, 1, 0),
  'chromium simd': (encode) => page.evaluate((e) => window.bench.measure(window.bench.kx, true, window.bench.bytes, 1, e), encode ? 1 : 0),
  'chromium plain': () => page.evaluate(() => window.bench.measure(window.bench.kx, false, window.bench.bytes, 1, 0)),
  'chromium view': () => page.evaluate(() => window.bench.measureView(window.bench.kx, true, window.bench.bytes, 1)),
  'node view': () => measureView(kx, true, bytesList, 1),
  // From a Response to a canvas: KX in the decode_ms column, PNG in encode_ms.
  'canvas kx|png': () => page.evaluate(async () => {
    const out = [];
    for (let k = 0; k < window.bench.bytes.length; ++k) {
      const t = await window.bench.toCanvas(window.bench.kx, window.bench.bytes[k], window.bench.pngs[k]);
      out.push({ decode_ms: [t.kx_ms], encode_ms: [t.png_ms] });
    }
    return out;
  }),
};
const best = {};
for (let round = 0; round < rounds; ++round) {
  for (const [runner, run] of Object.entries(runners)) {
    const times = await run(round < encodeRounds);
    best[runner] ??= times.map(() => ({ decode_ms: Infinity, encode_ms: Infinity }));
    times.forEach((t, k) => {
      best[runner][k].decode_ms = Math.min(best[runner][k].decode_ms, ...t.decode_ms);
      best[runner][k].encode_ms = Math.min(best[runner][k].encode_ms, ...t.encode_ms);
    });
  }
}
await browser.close();
server.close();
fs.rmSync(profile, { recursive: true, force: true });

fs.writeFileSync(path.join(workDir, 'bench.json'), JSON.stringify({ names, rounds, encodeRounds, best }, null, 2));
const row = (cells) => console.log(cells.map((c, k) => String(c).padEnd(k === 0 ? 16 : 22)).join(''));
for (const what of ['decode_ms', 'encode_ms']) {
  console.log(`\n${what === 'decode_ms' ? 'decode to RGBA' : 'encode RGBA at level 6'}: fastest ms (ratio to native)`);
  row(['', ...names]);
  for (const [runner, times] of Object.entries(best)) {
    if (times.some((t) => t[what] === Infinity) || runner.startsWith('canvas')) continue;
    row([runner, ...times.map((t, k) => runner === 'native' ? t[what].toFixed(1)
      : `${t[what].toFixed(1)} (${(t[what] / best.native[k][what]).toFixed(2)}x)`)]);
  }
}

console.log('\nfrom a Response to pixels on a canvas in Chromium: fastest ms (KX / PNG)');
row(['', ...names]);
row(['KX, PNG', ...best['canvas kx|png'].map((t) => `${t.decode_ms.toFixed(1)}, ${t.encode_ms.toFixed(1)} (${(t.decode_ms / t.encode_ms).toFixed(2)}x)`)]);
