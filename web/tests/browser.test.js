// The viewer page and <kx-image> in a real browser: Debian's Chromium,
// headless, driven by puppeteer-core, the page served from 127.0.0.1 under
// the strict content security policy.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import puppeteer from 'puppeteer-core';

import {
  nativeDecode, nativeEncode, picturesDir, repoDir, sameBytes, webDir, workDir, writeHeader9000,
} from './common.js';
import { readPng, writePng } from './png.js';
import { POLICY, serve } from './server.js';

const decodeDir = path.join(repoDir, 'tests', 'data', 'decode');
const damagedDir = path.join(repoDir, 'tests', 'data', 'damaged');
const downloads = path.join(workDir, 'downloads');

let server, browser, origin, profile;

before(async () => {
  server = await serve({ '/': webDir, '/samples/': decodeDir, '/damaged/': damagedDir, '/pictures/': picturesDir });
  origin = `http://127.0.0.1:${server.address().port}`;
  profile = fs.mkdtempSync(path.join(workDir, 'chromium-'));
  browser = await puppeteer.launch({
    executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium',
    headless: true,
    userDataDir: profile,
    args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--window-size=1200,900'],
  });
});

after(async () => {
  await browser?.close();
  server?.close();
  if (profile) fs.rmSync(profile, { recursive: true, force: true });
});

// A page that records what the policy blocks, long tasks on its thread,
// errors, and the load and error events of every element.
async function newPage(pathname, { beforeScripts = null } = {}) {
  const page = await browser.newPage();
  if (beforeScripts !== null) await page.evaluateOnNewDocument(beforeScripts);
  await page.setViewport({ width: 1200, height: 900 });
  const problems = [];
  page.on('pageerror', (e) => problems.push(`page error: ${e.message}`));
  page.on('console', (m) => {
    if (m.type() === 'error' && !m.text().startsWith('Failed to load resource')) problems.push(`console: ${m.text()}`);
  });
  page.on('response', (r) => {
    if (r.status() >= 400 && !r.url().endsWith('/favicon.ico')) problems.push(`HTTP ${r.status()}: ${r.url()}`);
  });
  await page.evaluateOnNewDocument(() => {
    window.kxTest = { violations: [], longTasks: [], taskTimes: [], events: [] };
    document.addEventListener('securitypolicyviolation', (e) => window.kxTest.violations.push(e.violatedDirective));
    for (const type of ['load', 'error']) {
      document.addEventListener(type, (e) => {
        if (e.target?.localName === 'kx-image') window.kxTest.events.push(`${e.target.id}:${type}`);
      }, true);
    }
    new PerformanceObserver((list) => {
      for (const entry of list.getEntries()) {
        window.kxTest.longTasks.push(entry.duration);
        window.kxTest.taskTimes.push([entry.startTime, entry.duration]);
      }
    }).observe({ type: 'longtask', buffered: true });
  });
  const response = await page.goto(origin + pathname, { waitUntil: 'load' });
  assert.equal(response.headers()['content-security-policy'], POLICY);
  return { page, problems };
}

// The canvas's pixels, drawn into a 2D canvas of the same size.
async function canvasPixels(page, selector, width, height) {
  const base64 = await page.evaluate(async (sel, w, h) => {
    const shown = sel.includes('>>') ? document.querySelector(sel.split('>>')[0]).shadowRoot.querySelector(sel.split('>>')[1])
      : document.querySelector(sel);
    const copy = new OffscreenCanvas(w, h);
    const context = copy.getContext('2d');
    context.drawImage(shown, 0, 0);
    const bytes = new Uint8Array(context.getImageData(0, 0, w, h).data.buffer);
    let text = '';
    for (let k = 0; k < bytes.length; k += 0x8000) text += String.fromCharCode(...bytes.subarray(k, k + 0x8000));
    return btoa(text);
  }, selector, width, height);
  return new Uint8Array(Buffer.from(base64, 'base64'));
}

// What an element's getImageData gives for a rectangle.
async function elementPixels(page, id, x, y, width, height) {
  const base64 = await page.evaluate(async (...args) => {
    const bytes = (await document.getElementById(args[0]).getImageData(...args.slice(1))).data;
    let text = '';
    for (let k = 0; k < bytes.length; k += 0x8000) text += String.fromCharCode(...bytes.subarray(k, k + 0x8000));
    return btoa(text);
  }, id, x, y, width, height);
  return new Uint8Array(Buffer.from(base64, 'base64'));
}

// The rectangle of a top-down RGBA picture.
function rectangle({ width, data }, x, y, w, h) {
  const out = new Uint8Array(4 * w * h);
  for (let row = 0; row < h; ++row) out.set(data.subarray(4 * ((y + row) * width + x), 4 * ((y + row) * width + x + w)), 4 * w * row);
  return out;
}

async function waitForDownload(name, timeoutMs = 60_000) {
  const file = path.join(downloads, name);
  for (const start = Date.now(); Date.now() - start < timeoutMs;) {
    if (fs.existsSync(file) && !fs.existsSync(`${file}.crdownload`) && fs.statSync(file).size > 0) return fs.readFileSync(file);
    await new Promise((r) => setTimeout(r, 100));
  }
  throw new Error(`no download ${name}`);
}

async function allowDownloads(page) {
  fs.rmSync(downloads, { recursive: true, force: true });
  fs.mkdirSync(downloads, { recursive: true });
  const session = await page.createCDPSession();
  await session.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: downloads });
}

async function openInViewer(page, file) {
  await page.evaluate(() => { delete document.getElementById('stage').dataset.state; });
  const input = await page.$('#file');
  await input.uploadFile(file);
  await page.waitForFunction(() => document.getElementById('stage').dataset.state !== undefined, { timeout: 120_000 });
  return page.evaluate(() => ({
    state: document.getElementById('stage').dataset.state,
    size: document.getElementById('fact-size').textContent,
    coding: document.getElementById('fact-coding').textContent,
    stream: document.getElementById('fact-stream').textContent,
    status: document.getElementById('status').textContent,
    bytes: document.getElementById('fact-bytes').textContent,
    time: document.getElementById('fact-time').textContent,
    factsShown: getComputedStyle(document.getElementById('facts')).display !== 'none',
    saveDisabled: [document.getElementById('save-png').disabled, document.getElementById('save-kx').disabled],
    label: document.getElementById('picture').getAttribute('aria-label'),
  }));
}

describe('viewer page', () => {
  test('opens KX files, saves PNG and KX, under the policy', async () => {
    const { page, problems } = await newPage('/viewer/index.html');
    await allowDownloads(page);
    // The empty page shows no facts' labels.
    assert.equal(await page.$eval('#facts', (e) => getComputedStyle(e).display), 'none');

    // Whole and damaged files: the canvas holds the native library's pixels.
    for (const [name, stream] of [['gradient-333x129.kx', 'complete'], ['cut-64x67.kx', 'ended early']]) {
      const file = path.join(decodeDir, name);
      const facts = await openInViewer(page, file);
      const native = nativeDecode(file);
      assert.equal(facts.state, 'shown', facts.status);
      assert.equal(facts.size, `${native.width} × ${native.height}`);
      assert.equal(facts.coding, '0x83');
      assert.ok(facts.stream.startsWith(stream), facts.stream);
      assert.ok(sameBytes(await canvasPixels(page, '#picture', native.width, native.height), native.data), `${name}: canvas pixels`);
      assert.equal(facts.bytes, `${fs.statSync(file).size.toLocaleString('en')} bytes`);
      assert.match(facts.time, /^\d+\.\d ms$/);
    }

    // Save as PNG: the file holds the same pixels.
    await page.click('#save-png');
    const png = readPng(await waitForDownload('cut-64x67.png'));
    assert.ok(sameBytes(png.data, nativeDecode(path.join(decodeDir, 'cut-64x67.kx')).data), 'saved PNG');

    // A PNG dropped in and saved as KX at level 9: the native writer's file,
    // decoding to the PNG's pixels with its alpha dropped.
    const width = 120, height = 70;
    const pixels = new Uint8ClampedArray(4 * width * height);
    for (let k = 0; k < pixels.length; k += 4) {
      const x = (k / 4) % width, y = Math.floor(k / 4 / width);
      pixels.set([(x * 2) & 0xff, (y * 3) & 0xff, (x ^ y) & 0xff, 255], k);
    }
    const dropped = writePng({ width, height, data: pixels });
    await page.evaluate(async (base64) => {
      const bytes = Uint8Array.from(atob(base64), (c) => c.charCodeAt(0));
      const transfer = new DataTransfer();
      transfer.items.add(new File([bytes], 'dropped.png', { type: 'image/png' }));
      delete document.getElementById('stage').dataset.state;
      document.getElementById('stage').dispatchEvent(new DragEvent('drop', { dataTransfer: transfer, bubbles: true, cancelable: true }));
    }, dropped.toString('base64'));
    await page.waitForFunction(() => document.getElementById('stage').dataset.state !== undefined);
    assert.equal(await page.$eval('#fact-size', (e) => e.textContent), `${width} × ${height}`);
    await page.select('#level', '9');
    await page.click('#save-kx');
    const kxFile = await waitForDownload('dropped.kx');
    assert.ok(sameBytes(kxFile, nativeEncode(pixels, width, height, 9)), 'KX file differs from the native writer\'s');
    const savedPath = path.join(downloads, 'dropped.kx');
    assert.ok(sameBytes(nativeDecode(savedPath).data, pixels), 'saved KX decodes to other pixels');

    // A JPEG (made by this browser) dropped in and saved at level 1: the
    // file holds the pixels the browser reads from it, as stored.
    const jpeg = await page.evaluate(async () => {
      const source = new OffscreenCanvas(64, 48);
      const context = source.getContext('2d');
      const fill = context.createLinearGradient(0, 0, 64, 48);
      fill.addColorStop(0, '#c03020');
      fill.addColorStop(1, '#2050e0');
      context.fillStyle = fill;
      context.fillRect(0, 0, 64, 48);
      const blob = await source.convertToBlob({ type: 'image/jpeg', quality: 0.8 });
      const bitmap = await createImageBitmap(blob, { colorSpaceConversion: 'none', premultiplyAlpha: 'none' });
      const reader = new OffscreenCanvas(64, 48).getContext('2d');
      reader.drawImage(bitmap, 0, 0);
      const pixels = Array.from(reader.getImageData(0, 0, 64, 48).data);
      const transfer = new DataTransfer();
      transfer.items.add(new File([blob], 'gradient.jpg', { type: 'image/jpeg' }));
      delete document.getElementById('stage').dataset.state;
      document.getElementById('stage').dispatchEvent(new DragEvent('drop', { dataTransfer: transfer, bubbles: true, cancelable: true }));
      return pixels;
    });
    await page.waitForFunction(() => document.getElementById('stage').dataset.state !== undefined);
    await page.select('#level', '1');
    await page.click('#save-kx');
    await waitForDownload('gradient.kx');
    const jpegPixels = Uint8ClampedArray.from(jpeg);
    assert.ok(sameBytes(nativeDecode(path.join(downloads, 'gradient.kx')).data, jpegPixels), 'KX from the JPEG');
    assert.ok(sameBytes(fs.readFileSync(path.join(downloads, 'gradient.kx')), nativeEncode(jpegPixels, 64, 48, 1)));

    // A file that is nothing the viewer reads: a visible error, and the
    // page still opens the next one.
    // It clears the picture before it: no facts, nothing to save.
    const refused = await openInViewer(page, path.join(damagedDir, 'not-kx.kx'));
    assert.equal(refused.state, 'error');
    assert.match(refused.status, /not a KX, PNG or JPEG/);
    assert.deepEqual([refused.factsShown, refused.saveDisabled, refused.label, refused.size], [false, [true, true], 'No picture open', '']);
    assert.deepEqual(await page.evaluate(() => {
      const c = document.getElementById('picture');
      const copy = new OffscreenCanvas(1, 1).getContext('2d');
      if (c.width > 0 && c.height > 0) copy.drawImage(c, 0, 0);
      return Array.from(copy.getImageData(0, 0, 1, 1).data);
    }), [0, 0, 0, 0]);
    const tooLarge = await openInViewer(page, path.join(damagedDir, 'too-large-32767.kx'));
    assert.equal(tooLarge.state, 'error');
    assert.match(tooLarge.status, /256 MiB/);
    assert.equal((await openInViewer(page, path.join(decodeDir, 'tokens-64x67.kx'))).state, 'shown');
    // Fit enlarges a small picture to the room there is, keeping its
    // proportions; 1:1 shows it at its size.
    const shownSize = () => page.$eval('#picture', (c) => [c.getBoundingClientRect().width, c.getBoundingClientRect().height]);
    const [fitWidth, fitHeight] = await shownSize();
    assert.ok(fitWidth > 4 * 64, `fit: ${fitWidth}`);
    assert.ok(Math.abs(fitWidth / fitHeight - 64 / 67) < 0.02, `fit: ${fitWidth} x ${fitHeight}`);
    await page.click('#actual');
    assert.deepEqual(await shownSize(), [64, 67]);
    await page.click('#fit');

    // Nothing was blocked, and the policy is in force: an inline script is.
    assert.deepEqual(await page.evaluate(() => window.kxTest.violations), []);
    const inlineRan = await page.evaluate(async () => {
      const script = document.createElement('script');
      script.textContent = 'window.kxInline = true';
      document.head.append(script);
      await new Promise((r) => setTimeout(r, 50));
      return window.kxInline === true;
    });
    assert.equal(inlineRan, false);
    assert.ok((await page.evaluate(() => window.kxTest.violations)).includes('script-src-elem'));
    assert.deepEqual(problems.filter((p) => !p.includes('Content Security Policy')), []);
    await page.close();
  });

  test('an 8192 x 8192 picture opens with no long task over 200 ms on the page\'s thread', async () => {
    const { page, problems } = await newPage('/viewer/index.html');
    // Progress shows while it loads: the status changes before the picture.
    const statuses = [];
    await page.exposeFunction('kxStatus', (text) => statuses.push(text));
    await page.evaluate(() => new MutationObserver(() => window.kxStatus(document.getElementById('status').textContent))
      .observe(document.getElementById('status'), { childList: true, characterData: true, subtree: true }));
    await page.evaluate(() => { delete document.getElementById('stage').dataset.state; });
    await (await page.$('#file')).uploadFile(path.join(picturesDir, 'large.kx'));
    // A file dropped while the large one opens is not lost silently.
    const dropped = await page.evaluate(() => {
      const transfer = new DataTransfer();
      transfer.items.add(new File([new Uint8Array(20)], 'second.kx'));
      document.getElementById('stage').dispatchEvent(new DragEvent('drop', { dataTransfer: transfer, bubbles: true, cancelable: true }));
      return document.getElementById('status').textContent;
    });
    assert.match(dropped, /^Still busy with large\.kx: second\.kx was not opened/);
    await page.waitForFunction(() => document.getElementById('stage').dataset.state !== undefined, { timeout: 120_000 });
    const facts = await page.evaluate(() => ({
      state: document.getElementById('stage').dataset.state, status: document.getElementById('status').textContent,
      size: document.getElementById('fact-size').textContent,
    }));
    assert.equal(facts.state, 'shown', facts.status);
    assert.equal(facts.size, '8192 × 8192');
    // Let the first frames with the picture be painted: the canvas is drawn
    // at the size it is shown, far under the picture's.
    await page.waitForFunction(() => {
      const c = document.getElementById('picture');
      return c.width > 1 && c.width === Math.round(c.getBoundingClientRect().width * devicePixelRatio);
    }, { timeout: 30_000 });
    await page.evaluate(() => new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(() => setTimeout(r, 500)))));
    const longTasks = await page.evaluate(() => window.kxTest.longTasks);
    console.log(`long tasks on the page's thread: ${JSON.stringify(longTasks.map(Math.round))}`);
    assert.ok(longTasks.every((ms) => ms <= 200), `long tasks: ${longTasks}`);
    assert.ok(statuses.some((s) => s.startsWith('Decoding')), `statuses: ${statuses}`);
    // 1:1 scrolls over every pixel, the canvas only the part one sees; scrolled
    // to the bottom right, its corner pixels are the native library's.
    await page.click('#actual');
    assert.deepEqual(await page.$eval('#area', (a) => [a.getBoundingClientRect().width, a.getBoundingClientRect().height]), [8192, 8192]);
    await page.$eval('#stage', (s) => s.scrollTo(s.scrollWidth, s.scrollHeight));
    const native = nativeDecode(path.join(picturesDir, 'large.kx')).data;
    const at = (x, y) => Array.from(native.subarray(4 * (y * 8192 + x), 4 * (y * 8192 + x) + 4));
    const nativeCorner = JSON.stringify([...at(8190, 8190), ...at(8191, 8190), ...at(8190, 8191), ...at(8191, 8191)]);
    await page.waitForFunction((expected) => {
      const shown = document.getElementById('picture');
      if (shown.width < 2 || shown.height < 2 || shown.width > 1200 || shown.height > 900) return false;
      const copy = new OffscreenCanvas(2, 2);
      copy.getContext('2d').drawImage(shown, shown.width - 2, shown.height - 2, 2, 2, 0, 0, 2, 2);
      return JSON.stringify(Array.from(copy.getContext('2d').getImageData(0, 0, 2, 2).data)) === expected;
    }, { timeout: 10_000 }, nativeCorner);
    const shownWidth = () => page.$eval('#picture', (c) => Math.round(c.getBoundingClientRect().width));
    await page.click('#fit');
    assert.ok((await shownWidth()) < 1200);
    await page.screenshot({ path: path.join(workDir, 'viewer.png') });
    assert.deepEqual(problems, []);
    await page.close();
  });
});

describe('<kx-image>', () => {
  test('renders a picture, sized like <img>, and shows its error state, firing its events', async () => {
    const { page, problems } = await newPage('/tests/element.html');
    await page.waitForFunction(() => window.kxTest.events.length >= 5, { timeout: 30_000 });
    const events = (await page.evaluate(() => window.kxTest.events)).sort();
    assert.deepEqual(events, ['broken:error', 'good:load', 'missing:error', 'scaled:load', 'styled:load']);

    const native = nativeDecode(path.join(decodeDir, 'gradient-333x129.kx'));
    assert.ok(sameBytes(await canvasPixels(page, '#good>>canvas', 333, 129), native.data), '<kx-image> pixels');
    const state = await page.evaluate(() => {
      const box = (id) => {
        const element = document.getElementById(id);
        const rect = element.getBoundingClientRect();
        const error = element.shadowRoot.querySelector('[part=error]');
        return {
          state: element.getAttribute('state'), role: element.getAttribute('role'), label: element.getAttribute('aria-label'),
          width: Math.round(rect.width), height: Math.round(rect.height), complete: element.complete,
          errorShown: getComputedStyle(error).display !== 'none' && error.offsetHeight > 0, errorText: error.textContent,
          natural: [element.naturalWidth, element.naturalHeight], streamComplete: element.streamComplete,
        };
      };
      return { good: box('good'), scaled: box('scaled'), styled: box('styled'), broken: box('broken'), missing: box('missing') };
    });
    assert.deepEqual([state.good.state, state.good.role, state.good.label], ['loaded', 'img', 'A gradient in bands']);
    assert.deepEqual([state.good.width, state.good.height, state.good.streamComplete], [333, 129, true]);
    assert.deepEqual(state.good.natural, [333, 129]);
    assert.equal(state.good.errorShown, false);
    assert.deepEqual([state.scaled.width, state.scaled.height], [111, 43]);
    assert.deepEqual([state.styled.width, state.styled.height], [666, 258]);
    // Each canvas as large as it is shown, never over the picture's size;
    // getImageData gives the picture's own pixels whatever the canvas.
    const canvases = await page.evaluate(() => ['good', 'scaled', 'styled'].map((id) => {
      const canvas = document.getElementById(id).shadowRoot.querySelector('canvas');
      return [canvas.width, canvas.height];
    }));
    assert.deepEqual(canvases, [[333, 129], [111, 43], [333, 129]]);
    assert.ok(sameBytes(await elementPixels(page, 'scaled', 0, 0, 333, 129), native.data), 'getImageData of the scaled element');
    assert.ok(sameBytes(await elementPixels(page, 'good', 100, 50, 20, 10), rectangle(native, 100, 50, 20, 10)),
      'getImageData of a rectangle');
    for (const failed of [state.broken, state.missing]) {
      assert.equal(failed.state, 'error');
      assert.equal(failed.complete, true);
      assert.equal(failed.errorShown, true);
      assert.equal(failed.role, 'img');
      assert.ok(failed.errorText.includes(failed.label), failed.errorText);
    }
    assert.match(state.broken.errorText, /not a KX image/);

    // Moved while it loads, it loads once; a new src loads the new picture.
    const moved = await page.evaluate(async () => {
      const element = document.createElement('kx-image');
      const events = [];
      element.addEventListener('load', () => events.push('load'));
      element.addEventListener('error', () => events.push('error'));
      element.src = '/samples/tokens-64x67.kx';
      document.body.append(element);
      document.body.prepend(element);
      await new Promise((resolve) => element.addEventListener('load', resolve, { once: true }));
      element.src = '/samples/gradient-333x129.kx';
      await new Promise((resolve) => element.addEventListener('load', resolve, { once: true }));
      return [events, element.naturalWidth, element.naturalHeight];
    });
    assert.deepEqual(moved, [['load', 'load'], 333, 129]);
    assert.match(state.missing.errorText, /HTTP 404/);
    assert.deepEqual(await page.evaluate(() => window.kxTest.violations), []);
    assert.deepEqual(problems.filter((p) => !p.includes('404')), []);
    await page.close();
  });
});

describe('<kx-image> where no worker can start', () => {
  test('the page decodes as a last resort, and getImageData reads its canvas', async () => {
    const { page, problems } = await newPage('/tests/element.html', {
      beforeScripts: () => {
        window.Worker = class {
          constructor() { throw new DOMException('workers refused here', 'SecurityError'); }
        };
      },
    });
    await page.waitForFunction(() => window.kxTest.events.length >= 5, { timeout: 30_000 });
    const native = nativeDecode(path.join(decodeDir, 'gradient-333x129.kx'));
    assert.ok(sameBytes(await canvasPixels(page, '#scaled>>canvas', 333, 129), native.data), 'the canvas holds the full picture');
    assert.ok(sameBytes(await elementPixels(page, 'scaled', 0, 0, 333, 129), native.data), 'getImageData of the whole picture');
    assert.ok(sameBytes(await elementPixels(page, 'good', 100, 50, 20, 10), rectangle(native, 100, 50, 20, 10)),
      'getImageData of a rectangle');
    assert.deepEqual(page.workers(), []);
    assert.deepEqual(problems.filter((p) => !p.includes('404')), []);
    await page.close();
  });
});

describe('<kx-image> off the page\'s thread', () => {
  test('8192 x 8192 and a 9000 x 9000 header leave no task over 50 ms; the cap, decode(), lazy loading', async () => {
    writeHeader9000(picturesDir);

    const { page, problems } = await newPage('/tests/element.html');
    await page.waitForFunction(() => window.kxTest.events.length >= 5, { timeout: 30_000 });
    const run = await page.evaluate(async () => {
      const since = performance.now();
      const make = (src, attributes = {}) => {
        const element = document.createElement('kx-image');
        for (const [name, value] of Object.entries(attributes)) element.setAttribute(name, value);
        element.src = src;
        document.body.append(element);
        return element;
      };
      const outcome = (element) => element.decode().then(() => 'shown', (e) => `${e.name}: ${e.message}`);
      const large = make('/pictures/large.kx', { width: '300' });
      const header = make('/pictures/header-9000.kx');
      const capped = make('/samples/gradient-333x129.kx', { 'max-pixels': '40000' });
      const results = await Promise.all([outcome(large), outcome(header), outcome(capped)]);
      await new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(() => setTimeout(r, 500))));
      // The canvas is drawn at the size it is shown; the full picture is
      // read through getImageData.
      const shown = large.shadowRoot.querySelector('canvas');
      for (let k = 0; k < 100 && shown.width !== 300; ++k) await new Promise((r) => setTimeout(r, 50));
      return {
        results, natural: [large.naturalWidth, large.naturalHeight, large.complete, header.complete],
        shown: [shown.width, shown.height],
        corner: Array.from((await large.getImageData(8190, 8190, 2, 2)).data),
        // Long tasks reach observers only, never the performance timeline.
        longTasks: window.kxTest.taskTimes.filter(([start]) => start >= since).map(([, duration]) => duration),
      };
    });
    console.log(`long tasks on the page's thread while 8192 x 8192 and the 9000 x 9000 header load: ${JSON.stringify(run.longTasks.map(Math.round))}`);
    assert.deepEqual(run.results[0], 'shown');
    assert.match(run.results[1], /^EncodingError: .*9000 × 9000 is over the cap of 67108864 pixels/);
    assert.match(run.results[2], /^EncodingError: .*333 × 129 is over the cap of 40000 pixels/);
    assert.deepEqual(run.natural, [8192, 8192, true, true]);
    assert.deepEqual(run.shown, [300, 300], 'the canvas drawn at the size it is shown');
    assert.ok(run.longTasks.every((ms) => ms <= 50), `long tasks: ${run.longTasks}`);
    const native = nativeDecode(path.join(picturesDir, 'large.kx')).data;
    const at = (x, y) => Array.from(native.subarray(4 * (y * 8192 + x), 4 * (y * 8192 + x) + 4));
    assert.deepEqual(run.corner, [...at(8190, 8190), ...at(8191, 8190), ...at(8190, 8191), ...at(8191, 8191)]);

    // A picture arriving slowly in uneven pieces: rows are drawn while it
    // arrives (the top rows shown, the bottom ones still empty), and it
    // ends as the golden picture.
    const partial = await page.evaluate(async () => {
      const element = document.createElement('kx-image');
      element.src = '/samples/gradient-333x129.kx?slow';
      document.body.append(element);
      const canvas = element.shadowRoot.querySelector('canvas');
      const seen = [];
      while (!element.complete) {
        if (canvas.width === 333) {
          const copy = new OffscreenCanvas(333, 129).getContext('2d');
          copy.drawImage(canvas, 0, 0);
          const data = copy.getImageData(0, 0, 333, 129).data;
          seen.push([data[3], data[4 * 333 * 128 + 3]]);
        }
        await new Promise((r) => setTimeout(r, 20));
      }
      await element.decode();
      return { seen, id: (element.id = 'slow') };
    });
    assert.ok(partial.seen.some(([top, bottom]) => top === 255 && bottom === 0), `alpha of the top and bottom rows seen: ${JSON.stringify(partial.seen)}`);
    await page.waitForFunction(() => document.getElementById('slow').shadowRoot.querySelector('canvas').width === 333);
    assert.ok(sameBytes(await canvasPixels(page, '#slow>>canvas', 333, 129), nativeDecode(path.join(decodeDir, 'gradient-333x129.kx')).data),
      'the slowly arriving picture\'s pixels');

    // loading="lazy" below the fold: no request until it is scrolled near.
    const requested = [];
    page.on('request', (r) => requested.push(new URL(r.url()).pathname));
    const lazy = await page.evaluate(async () => {
      const spacer = document.createElement('div');
      spacer.style.height = '5000px';
      document.body.append(spacer);
      const element = document.createElement('kx-image');
      element.loading = 'lazy';
      element.src = '/samples/tokens-64x67.kx?lazy';
      document.body.append(element);
      await new Promise((r) => setTimeout(r, 500));
      const before = element.complete;
      element.scrollIntoView();
      await element.decode();
      return [before, element.complete, element.naturalWidth];
    });
    assert.deepEqual(lazy, [false, true, 64]);
    assert.equal(requested.filter((p) => p === '/samples/tokens-64x67.kx').length, 1);
    assert.deepEqual(problems.filter((p) => !p.includes('404')), []);
    await page.close();
  });
});
