// The browser checks every engine runs (engines.test.js loads this page in
// Chromium, Firefox and WebKit): they run in the page, with nothing of a
// particular driver, and leave their outcome in window.kxEngine. Where an
// engine lacks a probe, the same thing is measured another way: long tasks
// (Chromium only) as the longest gap of a 10 ms heartbeat; the viewer's
// downloads (Chromium's remote protocol only) as the Blob behind the link
// it clicks.
import '../kx-image.js';

const checks = [];
const measures = {};
window.kxEngine = { done: false, checks, measures };

function check(name, ok, detail = '') {
  checks.push({ name, ok: Boolean(ok), detail: String(detail) });
}

// A golden bitmap (24-bit, bottom-up, rows padded to 4 bytes) as RGBA.
async function golden(url) {
  const bmp = new DataView(await (await fetch(url)).arrayBuffer());
  const offset = bmp.getUint32(10, true), width = bmp.getInt32(18, true), height = bmp.getInt32(22, true);
  const stride = (3 * width + 3) & ~3;
  const data = new Uint8Array(4 * width * height);
  for (let y = 0; y < height; ++y) {
    for (let x = 0; x < width; ++x) {
      const at = offset + (height - 1 - y) * stride + 3 * x;
      data.set([bmp.getUint8(at + 2), bmp.getUint8(at + 1), bmp.getUint8(at), 255], 4 * (y * width + x));
    }
  }
  return { width, height, data };
}

function pixelsOf(canvas, x, y, width, height) {
  const copy = document.createElement('canvas');
  copy.width = width;
  copy.height = height;
  const context = copy.getContext('2d');
  context.drawImage(canvas, x, y, width, height, 0, 0, width, height);
  return context.getImageData(0, 0, width, height).data;
}

function firstDifference(a, b) {
  if (a.length !== b.length) return `lengths ${a.length} and ${b.length}`;
  for (let k = 0; k < a.length; ++k) if (a[k] !== b[k]) return `byte ${k}: ${a[k]} for ${b[k]}`;
  return null;
}

function element(src, attributes = {}) {
  const made = document.createElement('kx-image');
  for (const [name, value] of Object.entries(attributes)) made.setAttribute(name, value);
  made.src = src;
  document.body.append(made);
  return made;
}

const pause = (ms) => new Promise((r) => setTimeout(r, ms));
// A 10 ms heartbeat: a task of over 50 ms leaves a gap of over 60. The
// runner may allow more (?gap=) where the engine itself takes the page's
// thread around the picture.
const allowedGap = Number(new URLSearchParams(location.search).get('gap') ?? 60);

// The page's thread (a frame of this site's shares it), watched by a 10 ms
// heartbeat, and by long tasks where the engine reports them (Chromium).
// take(): the longest gap between beats since the last take, the one still
// open included (a decode on this thread ends in the task that settles the
// promise, before the next beat can record it). stop(): the long tasks, or
// null where the engine reports none.
function heartbeat() {
  const longTasks = [];
  let observer = null;
  if (PerformanceObserver.supportedEntryTypes.includes('longtask')) {
    observer = new PerformanceObserver((list) => { for (const e of list.getEntries()) longTasks.push(Math.round(e.duration)); });
    observer.observe({ type: 'longtask' });
  }
  let beating = true;
  let last = performance.now();
  let longest = 0;
  const beat = () => {
    const now = performance.now();
    longest = Math.max(longest, now - last);
    last = now;
    if (beating) setTimeout(beat, 10);
  };
  setTimeout(beat, 10);
  return {
    take() {
      const gap = Math.max(longest, performance.now() - last);
      longest = 0;
      last = performance.now();
      return gap;
    },
    stop() {
      beating = false;
      observer?.disconnect();
      return observer === null ? null : longTasks;
    },
  };
}

const outcome = (made) => made.decode().then(() => 'shown', (e) => `${e.name}: ${e.message}`);
const frames = () => new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(() => setTimeout(r, 300))));

async function elementChecks() {
  for (const [name, complete] of [['gradient-333x129', true], ['cut-64x67', false]]) {
    const made = element(`/samples/${name}.kx`, { alt: name });
    const result = await outcome(made);
    await frames();
    const expected = await golden(`/samples/${name}.bmp`);
    check(`<kx-image> ${name}: shown`, result === 'shown' && made.complete && made.streamComplete === complete &&
      made.naturalWidth === expected.width, `${result} ${made.streamComplete} ${made.naturalWidth}`);
    const difference = firstDifference(pixelsOf(made.shadowRoot.querySelector('canvas'), 0, 0, expected.width, expected.height),
      expected.data);
    check(`<kx-image> ${name}: the golden pixels`, difference === null, difference);
    const read = await made.getImageData(0, 0, expected.width, expected.height).then((i) => firstDifference(i.data, expected.data),
      (e) => `${e.name}: ${e.message}`);
    check(`<kx-image> ${name}: getImageData gives the golden pixels`, read === null, read);
  }
  // Arriving slowly in uneven pieces: rows drawn while it arrives (the top
  // one shown while the bottom one is still empty), then the golden picture.
  const slow = element('/samples/gradient-333x129.kx?slow');
  const slowCanvas = slow.shadowRoot.querySelector('canvas');
  let partSeen = false;
  while (!slow.complete) {
    if (slowCanvas.width === 333) {
      const rows = pixelsOf(slowCanvas, 0, 0, 333, 129);
      partSeen ||= rows[3] === 255 && rows[4 * 333 * 128 + 3] === 0;
    }
    await new Promise((r) => setTimeout(r, 20));
  }
  const slowResult = await outcome(slow);
  for (let k = 0; k < 100 && pixelsOf(slowCanvas, 0, 128, 1, 1)[3] !== 255; ++k) await new Promise((r) => setTimeout(r, 50));
  const slowGolden = await golden('/samples/gradient-333x129.bmp');
  const slowDifference = firstDifference(pixelsOf(slowCanvas, 0, 0, 333, 129), slowGolden.data);
  check('<kx-image> arriving slowly: rows drawn while it arrives', slowResult === 'shown' && partSeen, slowResult);
  check('<kx-image> arriving slowly: the golden pixels', slowDifference === null, slowDifference);

  const broken = await outcome(element('/damaged/not-kx.kx'));
  check('<kx-image> not KX: EncodingError', /^EncodingError: .*not a KX image/.test(broken), broken);
  const missing = await outcome(element('/samples/no-such-file.kx'));
  check('<kx-image> missing: EncodingError with HTTP 404', /^EncodingError: HTTP 404/.test(missing), missing);
  const capped = await outcome(element('/samples/gradient-333x129.kx', { 'max-pixels': '40000' }));
  check('<kx-image> max-pixels', /cap of 40000 pixels/.test(capped), capped);

  // The page's thread while the 8192 x 8192 picture and the 9000 x 9000
  // header load.
  const beats = heartbeat();
  // The gaps of the idle page first, for the machine's own share.
  await pause(1000);
  const idle = beats.take();
  const large = element('/pictures/large.kx', { width: '300' });
  const header = element('/pictures/header-9000.kx');
  const [largeResult, headerResult] = await Promise.all([outcome(large), outcome(header)]);
  const whileDecoding = beats.take();
  await frames();
  const whilePainting = beats.take();
  const longTasks = beats.stop();
  // Apart: the gap while the picture loads and is decoded and drawn (the
  // element's part) and the longest from then until two frames have shown
  // it (the engine's painting of the element's canvas, on the page's
  // thread in WebKitGTK).
  measures.heartbeatGapIdleMs = Math.round(idle);
  measures.heartbeatGapWhileDecodingMs = Math.round(whileDecoding);
  measures.heartbeatGapWhilePaintingMs = Math.round(whilePainting);
  measures.longTasksMs = longTasks ?? 'not reported by this engine';
  check('8192 x 8192 shown', largeResult === 'shown' && large.naturalWidth === 8192, largeResult);
  check('9000 x 9000 header over the cap', /9000 × 9000 is over the cap of 67108864 pixels/.test(headerResult), headerResult);
  check('no task over 50 ms on the page\'s thread while decoding (heartbeat)', whileDecoding <= allowedGap,
    `${Math.round(whileDecoding)} ms, ${allowedGap} allowed`);
  if (longTasks !== null) check('no long task over 50 ms', longTasks.every((ms) => ms <= 50), longTasks);
  // The canvas is drawn at the size it is shown (300 wide, the picture's
  // proportions), and getImageData reads the picture at its full size.
  const corner = await (await fetch('/pictures/large-corner.json')).json();
  const canvas = large.shadowRoot.querySelector('canvas');
  const ratio = window.devicePixelRatio || 1;
  const shownAt = async (side) => {
    for (let k = 0; k < 100 && canvas.width !== side; ++k) await new Promise((r) => setTimeout(r, 50));
    const middle = pixelsOf(canvas, side >> 1, side >> 1, 1, 1);
    return `${canvas.width} x ${canvas.height}, alpha ${middle[3]} in the middle`;
  };
  const cornerDifference = () => large.getImageData(8190, 8190, 2, 2).then((i) => firstDifference(i.data, corner),
    (e) => `${e.name}: ${e.message}`);
  const side = Math.round(300 * ratio);
  let shown = await shownAt(side);
  check('8192 x 8192: drawn at the size it is shown', shown === `${side} x ${side}, alpha 255 in the middle`, shown);
  let difference = await cornerDifference();
  check('8192 x 8192: the corner\'s pixels (getImageData)', difference === null, difference);
  // Shown smaller: drawn again at the new size, the full picture kept.
  large.width = 150;
  const smaller = Math.round(150 * ratio);
  shown = await shownAt(smaller);
  check('8192 x 8192: drawn again when shown smaller', shown === `${smaller} x ${smaller}, alpha 255 in the middle`, shown);
  difference = await cornerDifference();
  check('8192 x 8192: the corner\'s pixels after that', difference === null, difference);
  // Resized, smaller and larger, a few times: the page's thread while it
  // lays out and paints each change and the worker draws the picture again
  // at the new size, until two frames have shown it. The pixels read then
  // (drawImage of the worker's canvas, which WebKitGTK does on this thread)
  // are the test's own work, and left out of the gaps.
  const resizing = heartbeat();
  await pause(1000);
  measures.resizeGapIdleMs = Math.round(resizing.take());
  const drawnAt = [];
  let whileResizing = 0;
  for (const width of [300, 120, 260, 90, 300, 150, 220, 100, 280, 150]) {
    large.width = width;
    const side = Math.round(width * ratio);
    for (let k = 0; k < 100 && canvas.width !== side; ++k) await pause(50);
    await frames();
    whileResizing = Math.max(whileResizing, resizing.take());
    const at = await shownAt(side);
    resizing.take();
    if (at !== `${side} x ${side}, alpha 255 in the middle`) drawnAt.push(`${width}: ${at}`);
  }
  const resizeLongTasks = resizing.stop();
  measures.heartbeatGapWhileResizingMs = Math.round(whileResizing);
  measures.resizeLongTasksMs = resizeLongTasks ?? 'not reported by this engine';
  check('8192 x 8192: drawn again at each size it is resized to', drawnAt.length === 0, drawnAt.join('; '));
  if (resizeLongTasks !== null) check('no long task over 50 ms while resized', resizeLongTasks.every((ms) => ms <= 50), resizeLongTasks);
  const early = await element('/samples/gradient-333x129.kx').getImageData(0, 0, 1, 1).then(() => 'read', (e) => e.name);
  check('getImageData before a picture is shown: InvalidStateError', early === 'InvalidStateError', early);
}

// The viewer in a frame: a dropped KX file shown exactly, saved as KX at
// level 9 (the Blob behind the link it clicks, taken as the page makes its
// URL), and a refused file clearing it.
async function viewerChecks() {
  const frame = document.createElement('iframe');
  frame.style.width = '1000px';
  frame.style.height = '700px';
  document.body.prepend(frame);
  await new Promise((resolve) => { frame.onload = resolve; frame.src = '/viewer/index.html'; });
  const view = frame.contentWindow;
  const doc = frame.contentDocument;
  // The Blob behind the link, and the name the link gives it.
  const blobs = new Map();
  const made = view.URL.createObjectURL.bind(view.URL);
  view.URL.createObjectURL = (blob) => {
    const url = made(blob);
    blobs.set(url, blob);
    return url;
  };
  const saved = [];
  view.HTMLAnchorElement.prototype.click = function click() { saved.push({ blob: blobs.get(this.href), name: this.download }); };
  const stage = doc.getElementById('stage');
  const drop = async (bytes, name) => {
    delete stage.dataset.state;
    const transfer = new view.DataTransfer();
    transfer.items.add(new view.File([bytes], name));
    stage.dispatchEvent(new view.DragEvent('drop', { dataTransfer: transfer, bubbles: true, cancelable: true }));
    for (let k = 0; k < 600 && stage.dataset.state === undefined; ++k) await new Promise((r) => setTimeout(r, 50));
    return stage.dataset.state;
  };
  check('viewer: no facts on the empty page', view.getComputedStyle(doc.getElementById('facts')).display === 'none');
  const file = new Uint8Array(await (await fetch('/samples/gradient-333x129.kx')).arrayBuffer());
  const state = await drop(file, 'gradient.kx');
  await frames();
  const expected = await golden('/samples/gradient-333x129.bmp');
  check('viewer: opens a dropped KX file', state === 'shown', doc.getElementById('status').textContent);
  const difference = firstDifference(pixelsOf(doc.getElementById('picture'), 0, 0, expected.width, expected.height), expected.data);
  check('viewer: the golden pixels', difference === null, difference);
  doc.getElementById('level').value = '9';
  doc.getElementById('save-kx').click();
  for (let k = 0; k < 600 && saved.length === 0; ++k) await new Promise((r) => setTimeout(r, 50));
  const written = saved.length === 0 ? new Uint8Array(0) : new Uint8Array(await saved[0].blob.arrayBuffer());
  const native = new Uint8Array(await (await fetch('/pictures/gradient-level9.kx')).arrayBuffer());
  check('viewer: Save as KX gives the native writer\'s file', saved[0]?.name === 'gradient.kx' && firstDifference(written, native) === null,
    `${saved[0]?.name} ${written.length} bytes`);
  // The same picture again, at the same size: shown again.
  const again = await drop(file, 'gradient-again.kx');
  check('viewer: opens a second picture of the same size', again === 'shown' &&
    doc.getElementById('status').textContent.startsWith('gradient-again.kx'), doc.getElementById('status').textContent);
  await largeInViewer(view, doc, drop, saved);
  const refused = await drop(new Uint8Array([1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17]), 'junk.bin');
  check('viewer: a refused file clears the picture and Save', refused === 'error' && doc.getElementById('save-kx').disabled &&
    doc.getElementById('facts').hidden, doc.getElementById('status').textContent);
  frame.remove();
}

// The viewer with the 8192 x 8192 picture: the page's thread while it
// opens and is painted; its canvas never larger than what is shown, in Fit
// and in 1:1; at 1:1 scrolled to the bottom right, the native pixels there;
// Save as KX the native writer's file of the whole picture.
async function largeInViewer(view, doc, drop, saved) {
  const stage = doc.getElementById('stage');
  const canvas = doc.getElementById('picture');
  const ratio = view.devicePixelRatio || 1;
  const file = new Uint8Array(await (await fetch('/pictures/large.kx')).arrayBuffer());
  const beats = heartbeat();
  await pause(1000);
  measures.viewerGapIdleMs = Math.round(beats.take());
  const state = await drop(file, 'large.kx');
  const whileDecoding = beats.take();
  await frames();
  const whileFitPainting = beats.take();
  doc.getElementById('actual').click();
  await frames();
  stage.scrollTo(stage.scrollWidth, stage.scrollHeight);
  await frames();
  const whileScrolling = beats.take();
  const longTasks = beats.stop();
  measures.viewerGapWhileDecodingMs = Math.round(whileDecoding);
  measures.viewerGapWhilePaintingMs = Math.round(Math.max(whileFitPainting, whileScrolling));
  measures.viewerLongTasksMs = longTasks ?? 'not reported by this engine';
  check('viewer: opens 8192 x 8192', state === 'shown' && doc.getElementById('fact-size').textContent === '8192 × 8192',
    doc.getElementById('status').textContent);
  check('viewer: no task over 50 ms on the page\'s thread while decoding 8192 x 8192 (heartbeat)', whileDecoding <= allowedGap,
    `${Math.round(whileDecoding)} ms, ${allowedGap} allowed`);
  if (longTasks !== null) check('viewer: no long task over 50 ms', longTasks.every((ms) => ms <= 50), longTasks);

  // The canvas's size against the box it is shown in, and the box against
  // the part of the stage one sees (within a pixel: a row seen in part is
  // drawn whole); at 1:1 the box is that part of the area. Polled, as the
  // worker draws after the page lays out.
  const area = doc.getElementById('area');
  const sized = async (expected, seenPart) => {
    let text = '';
    for (let k = 0; k < 100; ++k) {
      const box = canvas.getBoundingClientRect();
      const rect = stage.getBoundingClientRect();
      const port = { left: rect.left + stage.clientLeft, top: rect.top + stage.clientTop };
      Object.assign(port, { right: port.left + stage.clientWidth, bottom: port.top + stage.clientHeight });
      const inside = box.left > port.left - 1 && box.top > port.top - 1 && box.right < port.right + 1 && box.bottom < port.bottom + 1;
      const of = area.getBoundingClientRect();
      const seen = [Math.max(of.left, port.left), Math.max(of.top, port.top), Math.min(of.right, port.right), Math.min(of.bottom, port.bottom)];
      const covers = !seenPart || [box.left, box.top, box.right, box.bottom].every((side, k) => Math.abs(side - seen[k]) < 1);
      const want = expected(box);
      const where = (r) => [r.left, r.top, r.right, r.bottom].map(Math.round).join(' ');
      text = `canvas ${canvas.width} x ${canvas.height}, shown at ${box.width} x ${box.height} CSS pixels (${where(box)})` +
        `${inside ? '' : `, past the stage (${where(port)})`}${covers ? '' : `, not the part seen (${seen.map(Math.round).join(' ')})`}` +
        `, ${want.width} x ${want.height} expected`;
      if (inside && covers && canvas.width === want.width && canvas.height === want.height) return null;
      await pause(50);
    }
    return text;
  };
  // Fit: the canvas as large as its box in device pixels (the picture is
  // larger than the frame).
  doc.getElementById('fit').click();
  let problem = await sized((box) => ({ width: Math.round(box.width * ratio), height: Math.round(box.height * ratio) }), false);
  check('viewer: Fit draws 8192 x 8192 at the size it is shown', problem === null, problem);
  // 1:1: a picture pixel for each CSS pixel, the canvas only the part one
  // sees, and there the native pixels of the bottom right corner.
  doc.getElementById('actual').click();
  problem = await sized((box) => ({ width: Math.round(box.width), height: Math.round(box.height) }), true);
  check('viewer: 1:1 draws only the part of 8192 x 8192 one sees', problem === null, problem);
  check('viewer: 1:1 scrolls over all 8192 x 8192', stage.scrollWidth > 8192 && stage.scrollHeight > 8192,
    `${stage.scrollWidth} x ${stage.scrollHeight}`);
  stage.scrollTo(stage.scrollWidth, stage.scrollHeight);
  const native = new Uint8Array(await (await fetch('/pictures/large-bottom-right.rgba')).arrayBuffer());
  const NATIVE_SIDE = 1024;
  let difference = 'not drawn';
  for (let k = 0; k < 100 && difference !== null; ++k) {
    await pause(50);
    const { width, height } = canvas;
    if (width > NATIVE_SIDE || height > NATIVE_SIDE) {
      difference = `a canvas of ${width} x ${height}`;
      continue;
    }
    const expected = new Uint8Array(4 * width * height);
    for (let y = 0; y < height; ++y) {
      const from = 4 * ((NATIVE_SIDE - height + y) * NATIVE_SIDE + NATIVE_SIDE - width);
      expected.set(native.subarray(from, from + 4 * width), 4 * width * y);
    }
    difference = firstDifference(pixelsOf(canvas, 0, 0, width, height), expected);
  }
  check('viewer: 1:1 scrolled to the bottom right shows the native pixels there', difference === null, difference);
  problem = await sized((box) => ({ width: Math.round(box.width), height: Math.round(box.height) }), true);
  check('viewer: 1:1 scrolled, still only the part one sees', problem === null, problem);
  doc.getElementById('fit').click();

  saved.length = 0;
  doc.getElementById('level').value = '1';
  doc.getElementById('save-kx').click();
  for (let k = 0; k < 1200 && saved.length === 0; ++k) await pause(50);
  const written = saved.length === 0 ? new Uint8Array(0) : new Uint8Array(await saved[0].blob.arrayBuffer());
  const nativeFile = new Uint8Array(await (await fetch('/pictures/large-level1.kx')).arrayBuffer());
  check('viewer: Save as KX of 8192 x 8192 gives the native writer\'s file', saved[0]?.name === 'large.kx' &&
    firstDifference(written, nativeFile) === null, `${saved[0]?.name} ${written.length} bytes`);
}

try {
  await viewerChecks();
  await elementChecks();
} catch (e) {
  check('the checks ran to the end', false, e?.stack ?? e);
}
window.kxEngine.done = true;
