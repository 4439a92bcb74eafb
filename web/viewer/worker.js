// The viewer's worker: reads, decodes and encodes off the page's thread,
// draws into the page's canvas (an OffscreenCanvas it was handed) and
// hands the page finished Blobs. Shown from the page's thread, an
// ImageBitmap of 8192 x 8192 took 2.4 s of its time to paint (Chromium,
// software compositing); drawn here, none.
import { init } from '../kx.js';

let current = null;  // {name, image: ImageData} of the picture on show
let canvas = null;  // the page's canvas
let renderer = null;

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

async function show(name, image, facts) {
  current = { name, image };
  progress('drawing', 0, 0);
  const bitmap = await createImageBitmap(image);
  canvas.width = image.width;
  canvas.height = image.height;
  renderer.transferFromImageBitmap(bitmap);
  postMessage({ type: 'picture', name, width: image.width, height: image.height, ...facts });
}

async function open(file) {
  progress('reading', 0, file.size);
  const bytes = await readAll(file);
  const codec = await codecReady;
  const info = codec.probe(bytes);
  if (info.decodable || bytes[0] === 0x4b && bytes[1] === 0x58) {
    progress('decoding', 0, 0);
    const start = performance.now();
    const picture = codec.decode(bytes);  // throws the library's refusal
    await show(file.name, new ImageData(picture.data, picture.width, picture.height), {
      kind: 'kx', coding: info.coding, complete: picture.complete, decodedPixels: picture.decodedPixels,
      fileBytes: bytes.length, decodeMs: performance.now() - start,
    });
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
  const canvas = new OffscreenCanvas(bitmap.width, bitmap.height);
  const context = canvas.getContext('2d', { willReadFrequently: true });
  context.drawImage(bitmap, 0, 0);
  bitmap.close();
  const image = context.getImageData(0, 0, canvas.width, canvas.height);
  const data = image.data;
  for (let k = 3; k < data.length; k += 4) data[k] = 255;
  await show(file.name, image, {
    kind: 'image', coding: null, complete: true, decodedPixels: image.width * image.height,
    fileBytes: bytes.length, decodeMs: performance.now() - start,
  });
}

async function savePng() {
  const { name, image } = current;
  progress('encoding', 0, 0);
  const canvas = new OffscreenCanvas(image.width, image.height);
  canvas.getContext('2d').putImageData(image, 0, 0);
  const blob = await canvas.convertToBlob({ type: 'image/png' });
  postMessage({ type: 'file', blob, name: name.replace(/\.[^.]*$/, '') + '.png' });
}

async function saveKx(level) {
  const { name, image } = current;
  progress('encoding', 0, 0);
  const codec = await codecReady;
  const file = codec.encode(image, { level });
  postMessage({ type: 'file', blob: new Blob([file], { type: 'image/x-kx' }), name: name.replace(/\.[^.]*$/, '') + '.kx' });
}

// A refused file leaves no picture here either: Save would otherwise save
// the one before under its name.
function forget() {
  current = null;
  if (canvas !== null) {
    // A frame of one transparent pixel: a canvas of no size commits no
    // frame, and the page's would go on showing the old picture.
    canvas.width = 1;
    canvas.height = 1;
    renderer.transferFromImageBitmap(null);
  }
}

onmessage = async ({ data }) => {
  try {
    if (data.type === 'canvas') {
      canvas = data.canvas;
      renderer = canvas.getContext('bitmaprenderer');
    } else if (data.type === 'open') await open(data.file);
    else if (data.type === 'save-png') await savePng();
    else if (data.type === 'save-kx') await saveKx(data.level);
  } catch (e) {
    if (data.type === 'open') forget();
    postMessage({ type: 'error', during: data.type, message: e?.message ?? String(e) });
  }
};
