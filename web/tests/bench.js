// Decode and encode times of the WebAssembly builds in Node and in Chromium
// against the native library, on the benchmark pictures, in one run. The
// runners take turns, round after round, so that a machine whose load
// changes meanwhile weighs on all of them alike; each round keeps each
// runner's fastest of REPS, and the ratio to native is taken per round
// (paired) and its median over the rounds reported, with the fastest time.
// Prints tables and writes build/web/bench.json; asserts nothing about
// speed (the machine is shared).
//
//   node tests/bench.js [ROUNDS [ENCODE_ROUNDS [REPS]]]
//
// The pictures: flat, photo and art (4000 x 3000, made by the benchmarks'
// generators), and the photographs bench/run.sh uses where they are
// installed (KX_WEB_BENCH_PHOTOS, JPEG files read with djpeg; Debian's
// mate-backgrounds and libjpeg-turbo-progs).
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import puppeteer from 'puppeteer-core';

import * as kx from '../kx-node.js';
import { nativeDecode, nativeEncode, picturesDir, reference, webDir, workDir } from './common.js';
import { measure, measureCopyOut, measureView } from './measure.js';
import { writePng } from './png.js';
import { serve } from './server.js';

const rounds = Number(process.argv[2] ?? 5);
const encodeRounds = Number(process.argv[3] ?? 2);
const reps = Number(process.argv[4] ?? 1);
const names = ['flat.kx', 'photo.kx', 'art.kx'];

// A binary PPM (djpeg's output) as RGBA.
function readPpm(bytes) {
  const fields = [];
  let at = 0;
  while (fields.length < 4) {
    while (/\s/.test(String.fromCharCode(bytes[at]))) ++at;
    const start = at;
    while (!/\s/.test(String.fromCharCode(bytes[at]))) ++at;
    fields.push(bytes.subarray(start, at).toString('latin1'));
  }
  const [magic, width, height] = [fields[0], Number(fields[1]), Number(fields[2])];
  if (magic !== 'P6' || fields[3] !== '255') throw new Error('not an 8-bit binary PPM');
  const rgb = bytes.subarray(at + 1);
  const data = new Uint8Array(4 * width * height);
  for (let k = 0, j = 0; j < data.length; k += 3, j += 4) {
    data[j] = rgb[k];
    data[j + 1] = rgb[k + 1];
    data[j + 2] = rgb[k + 2];
    data[j + 3] = 255;
  }
  return { width, height, data };
}

const photos = (process.env.KX_WEB_BENCH_PHOTOS ??
  '/usr/share/backgrounds/mate/nature/Garden.jpg /usr/share/backgrounds/mate/abstract/Elephants_5640x3172.jpg')
  .split(/\s+/).filter((f) => f !== '');
for (const jpeg of photos) {
  const name = `photo-${path.basename(jpeg).replace(/[_.].*$/, '').toLowerCase()}.kx`;
  const file = path.join(picturesDir, name);
  if (!fs.existsSync(file)) {
    let ppm;
    try {
      ppm = execFileSync('djpeg', ['-ppm', jpeg], { maxBuffer: 1 << 30 });
    } catch {
      console.log(`no photograph ${jpeg} (or no djpeg): left out`);
      continue;
    }
    const { width, height, data } = readPpm(ppm);
    fs.writeFileSync(file, nativeEncode(data, width, height, 6));
  }
  names.push(name);
}
const files = names.map((n) => path.join(picturesDir, n));
const bytesList = files.map((f) => fs.readFileSync(f));
// The same pictures as PNG (RGB, as an opaque picture's PNG is), for the
// browser's own path to a canvas.
for (const name of names) {
  const png = path.join(picturesDir, name.replace(/\.kx$/, '.png'));
  if (!fs.existsSync(png)) fs.writeFileSync(png, writePng(nativeDecode(path.join(picturesDir, name)), { alpha: false }));
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

let nativeReused = null;
const runners = {
  native: (encode) => {
    const out = JSON.parse(execFileSync(reference, ['time', String(reps), encode ? '1' : '0', ...files], { encoding: 'utf8' }));
    nativeReused = files.map((f) => ({ decode_ms: [out[f].reused_ms], encode_ms: [] }));
    return files.map((f) => ({ decode_ms: [out[f].decode_ms], encode_ms: encode ? [out[f].encode_ms] : [] }));
  },
  // The same process's decodes into a block already written: the library's
  // work without a fresh block's first touch, what decodeView compares with.
  'native reused': () => nativeReused,
  'node simd': (encode) => measure(kx, true, bytesList, reps, encode ? 1 : 0),
  'node plain': () => measure(kx, false, bytesList, reps, 0),
  'node view': () => measureView(kx, true, bytesList, reps),
  'node copy out': () => measureCopyOut(kx, true, bytesList, reps),
  'chromium simd': (encode) => page.evaluate((e, r) => window.bench.measure(window.bench.kx, true, window.bench.bytes, r, e),
    encode ? 1 : 0, reps),
  'chromium plain': () => page.evaluate((r) => window.bench.measure(window.bench.kx, false, window.bench.bytes, r, 0), reps),
  'chromium view': () => page.evaluate((r) => window.bench.measureView(window.bench.kx, true, window.bench.bytes, r), reps),
  'chromium copy out': () => page.evaluate((r) => window.bench.measureCopyOut(window.bench.kx, true, window.bench.bytes, r), reps),
  // From a Response to a canvas: KX in the decode_ms column, PNG in encode_ms.
  'canvas kx|png': () => page.evaluate(async (r) => {
    const out = [];
    for (let k = 0; k < window.bench.bytes.length; ++k) {
      const kxMs = [], pngMs = [];
      for (let j = 0; j < r; ++j) {
        const t = await window.bench.toCanvas(window.bench.kx, window.bench.bytes[k], window.bench.pngs[k]);
        kxMs.push(t.kx_ms);
        pngMs.push(t.png_ms);
      }
      out.push({ decode_ms: kxMs, encode_ms: pngMs });
    }
    return out;
  }, reps),
};
// perRound[runner][picture] = [{decode_ms, encode_ms}, ...]: each round's fastest.
const perRound = {};
const loads = [];
for (let round = 0; round < rounds; ++round) {
  loads.push(fs.readFileSync('/proc/loadavg', 'utf8').split(' ')[0]);
  for (const [runner, run] of Object.entries(runners)) {
    const times = await run(round < encodeRounds);
    perRound[runner] ??= times.map(() => []);
    times.forEach((t, k) => perRound[runner][k].push({
      decode_ms: Math.min(...t.decode_ms), encode_ms: t.encode_ms.length > 0 ? Math.min(...t.encode_ms) : null,
    }));
  }
}
await browser.close();
server.close();
fs.rmSync(profile, { recursive: true, force: true });

const median = (values) => {
  const sorted = [...values].sort((a, b) => a - b);
  const mid = sorted.length >> 1;
  return sorted.length % 2 === 1 ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2;
};
// For each runner and picture: the fastest time over the rounds, and the
// median and range of the per-round ratios to `over` (native, or for the
// canvas the PNG path).
// Rounds without a time for the runner or its reference (encoding is
// measured in the first rounds only) are left out.
function summary(what, ratioTo) {
  const out = {};
  for (const [runner, pictures] of Object.entries(perRound)) {
    const cells = pictures.map((roundsOf, k) => {
      const paired = roundsOf.map((t, j) => [t[what], ratioTo(k, j)]).filter(([t, r]) => t !== null && r !== null);
      if (paired.length === 0) return null;
      const ratios = paired.map(([t, r]) => t / r);
      return { fastest_ms: Math.min(...paired.map(([t]) => t)), median_ratio: median(ratios),
        min_ratio: Math.min(...ratios), max_ratio: Math.max(...ratios) };
    });
    if (!cells.includes(null)) out[runner] = cells;
  }
  return out;
}
const decode = summary('decode_ms', (k, j) => perRound.native[k][j].decode_ms);
const decodeReused = summary('decode_ms', (k, j) => perRound['native reused'][k][j].decode_ms);
const encode = summary('encode_ms', (k, j) => perRound.native[k][j].encode_ms);
const canvas = perRound['canvas kx|png'].map((roundsOf) => {
  const ratios = roundsOf.map((t) => t.decode_ms / t.encode_ms);
  return { kx_fastest_ms: Math.min(...roundsOf.map((t) => t.decode_ms)), png_fastest_ms: Math.min(...roundsOf.map((t) => t.encode_ms)),
    median_ratio: median(ratios), min_ratio: Math.min(...ratios), max_ratio: Math.max(...ratios) };
});
delete decode['canvas kx|png'];
delete encode['canvas kx|png'];
fs.writeFileSync(path.join(workDir, 'bench.json'),
  JSON.stringify({ names, rounds, encodeRounds, reps, loads, decode, decodeReused, encode, canvas, perRound }, null, 2));

const row = (cells) => console.log(cells.map((c, k) => String(c).padEnd(k === 0 ? 18 : 26)).join(''));
console.log(`\n${rounds} rounds of ${reps}, the load average at each round's start: ${loads.join(' ')}`);
for (const [title, table] of [['decode to RGBA', decode], ['encode RGBA at level 6', encode]]) {
  console.log(`\n${title}: fastest ms; median of the per-round ratios to native [range]`);
  row(['', ...names]);
  for (const [runner, cells] of Object.entries(table)) {
    row([runner, ...cells.map((c) => runner === 'native' ? c.fastest_ms.toFixed(1)
      : `${c.fastest_ms.toFixed(1)}; ${c.median_ratio.toFixed(2)}x [${c.min_ratio.toFixed(2)}-${c.max_ratio.toFixed(2)}]`)]);
  }
}
console.log('\ndecoding into memory already written: fastest ms; median of the per-round ratios to native reused [range]');
row(['', ...names]);
for (const runner of ['native reused', 'node view', 'chromium view']) {
  const cells = decodeReused[runner];
  row([runner, ...cells.map((c) => runner === 'native reused' ? c.fastest_ms.toFixed(1)
    : `${c.fastest_ms.toFixed(1)}; ${c.median_ratio.toFixed(2)}x [${c.min_ratio.toFixed(2)}-${c.max_ratio.toFixed(2)}]`)]);
}
console.log('\nfrom a Response to pixels on a canvas in Chromium: fastest ms; median of the per-round ratios KX / PNG [range]');
row(['', ...names]);
row(['KX', ...canvas.map((c) => c.kx_fastest_ms.toFixed(1))]);
row(['PNG', ...canvas.map((c) => c.png_fastest_ms.toFixed(1))]);
row(['KX / PNG', ...canvas.map((c) => `${c.median_ratio.toFixed(2)}x [${c.min_ratio.toFixed(2)}-${c.max_ratio.toFixed(2)}]`)]);
