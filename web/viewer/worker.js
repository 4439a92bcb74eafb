// The viewer's worker: reads, decodes and encodes off the page's thread,
// draws into the page's canvas (an OffscreenCanvas it was handed) and
// hands the page finished Blobs. The picture is kept here at full size (a
// source canvas); the page's canvas gets only what is shown of it, at the
// size it is shown (see kx-draw.js: WebKitGTK paints a canvas on the page's
// thread, 1.1 s for the viewer's 8192 x 8192 one).
import { init } from '../kx.js';
import { drawRows, shownSize, sourceCanvas } from '../kx-draw.js';

// The picture on show: {serial, name, source, sourceContext, drawn}. Its
// serial tells the page's views of it from those of the one before.
let current = null;
let serial = 0;
let canvas = null;  // the page's canvas
let context = null;
let view = null;  // the latest view the page asked for, not drawn yet

const codecReady = init();

function progress(phase, loaded, total) {
  postMessage({ type: 'progress', phase, loaded, total });
}

// The file's bytes, with progress as they arrive (large files take a while
// to come off a disk or out of a drop).
async function readAll(file) {
  const bytes = new Uint8Array(file.size);
  let loaded = 0;
  let reported = 0;
  const reader = file.stream().getReader();
  for (;;) {
    const { done, value } = await reader.read();
    if (done) break;
    bytes.set(value, loaded);
    loaded += value.length;
    const now = performance.now();
    if (now - reported > 50) {
      reported = now;
      progress('reading', loaded, file.size);
    }
  }
  return loaded === bytes.length ? bytes : bytes.subarray(0, loaded);
}

function show(name, { source, sourceContext }, facts) {
  current = { serial: ++serial, name, source, sourceContext, drawn: false };
  progress('drawing', 0, 0);
  postMessage({ type: 'picture', serial, name, width: source.width, height: source.height, ...facts });
}

function resize(width, height) {
  if (canvas.width !== width || canvas.height !== height) {
    canvas.width = width;
    canvas.height = height;
  }
}

// The page's view of the picture: Fit, its box in device pixels; 1:1, the
// rectangle of the picture one sees (picture pixels, a CSS pixel each).
function draw({ mode, x, y, width, height }) {
  const { source, sourceContext } = current;
  if (mode === 'fit') {
    const size = shownSize(source.width, source.height, { width: Math.max(1, width), height: Math.max(1, height) });
    resize(size.width, size.height);
    drawRows(context, size, source, sourceContext);
  } else {
    const left = Math.min(Math.max(0, x), source.width - 1), top = Math.min(Math.max(0, y), source.height - 1);
    const part = { width: Math.min(Math.max(1, width), source.width - left), height: Math.min(Math.max(1, height), source.height - top) };
    resize(part.width, part.height);
    context.putImageData(sourceContext.getImageData(left, top, part.width, part.height), 0, 0);
  }
  if (!current.drawn) {
    current.drawn = true;
    postMessage({ type: 'shown', serial: current.serial });
  }
}

async function open(file) {
  progress('reading', 0, file.size);
  const bytes = await readAll(file);
  const codec = await codecReady;
  const info = codec.probe(bytes);
  if (info.decodable || bytes[0] === 0x4b && bytes[1] === 0x58) {
    progress('decoding', 0, 0);
    const start = performance.now();
    // Put from a view of the module's memory: the picture is not copied
    // out first. Throws the library's refusal.
    const { picture, facts } = codec.decodeView(bytes, ({ data, width, height, complete, decodedPixels }) => {
      const decodeMs = performance.now() - start;
      const made = sourceCanvas(width, height);
      made.sourceContext.putImageData(new ImageData(data, width, height), 0, 0);
      return { picture: made, facts: { complete, decodedPixels, decodeMs } };
    });
    show(file.name, picture, { kind: 'kx', coding: info.coding, fileBytes: bytes.length, ...facts });
    return;
  }
  // Anything else is handed to the browser's own decoders, pixels as stored:
  // no colour conversion, no premultiplication, alpha then dropped.
  progress('decoding', 0, 0);
  const start = performance.now();
  let bitmap;
  try {
    bitmap = await createImageBitmap(new Blob([bytes], { type: file.type }),
      { colorSpaceConversion: 'none', premultiplyAlpha: 'none' });
  } catch {
    throw new Error('not a KX, PNG or JPEG picture');
  }
  const picture = sourceCanvas(bitmap.width, bitmap.height);
  const { sourceContext } = picture;
  sourceContext.drawImage(bitmap, 0, 0);
  bitmap.close();
  const image = sourceContext.getImageData(0, 0, picture.source.width, picture.source.height);
  const data = image.data;
  for (let k = 3; k < data.length; k += 4) data[k] = 255;
  sourceContext.putImageData(image, 0, 0);
  show(file.name, picture, {
    kind: 'image', coding: null, complete: true, decodedPixels: image.width * image.height,
    fileBytes: bytes.length, decodeMs: performance.now() - start,
  });
}

// Saved from the source canvas: the picture at full size, whatever is shown.
async function savePng() {
  const { name, source } = current;
  progress('encoding', 0, 0);
  const blob = await source.convertToBlob({ type: 'image/png' });
  postMessage({ type: 'file', blob, name: name.replace(/\.[^.]*$/, '') + '.png' });
}

async function saveKx(level) {
  const { name, source, sourceContext } = current;
  progress('encoding', 0, 0);
  const codec = await codecReady;
  const file = codec.encode(sourceContext.getImageData(0, 0, source.width, source.height), { level });
  postMessage({ type: 'file', blob: new Blob([file], { type: 'image/x-kx' }), name: name.replace(/\.[^.]*$/, '') + '.kx' });
}

// A refused file leaves no picture here either: Save would otherwise save
// the one before under its name.
function forget() {
  current = null;
  view = null;
  if (canvas !== null) {
    // A frame of one transparent pixel, drawn: a canvas of no size commits
    // no frame, and the page's would go on showing the old picture.
    resize(1, 1);
    context.clearRect(0, 0, 1, 1);
  }
}

// Views come as fast as the page scrolls; one drawn per turn, the latest
// (those of a picture no longer on show are dropped).
function drawLatest() {
  const latest = view;
  view = null;
  if (latest === null || current?.serial !== latest.serial) return;
  try {
    draw(latest);
  } catch (e) {
    // Not drawn at all: the file is not opened (the page would otherwise
    // wait for it).
    const opening = !current.drawn;
    if (opening) forget();
    postMessage({ type: 'error', during: opening ? 'open' : 'view', message: e?.message ?? String(e) });
  }
}

onmessage = async ({ data }) => {
  try {
    if (data.type === 'canvas') {
      canvas = data.canvas;
      context = canvas.getContext('2d');
    } else if (data.type === 'view') {
      if (view === null) setTimeout(drawLatest, 0);
      view = data;
    } else if (data.type === 'open') await open(data.file);
    else if (data.type === 'save-png') await savePng();
    else if (data.type === 'save-kx') await saveKx(data.level);
  } catch (e) {
    if (data.type === 'open') forget();
    postMessage({ type: 'error', during: data.type, message: e?.message ?? String(e) });
  }
};
