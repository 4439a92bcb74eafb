// The decoding worker of <kx-image> (kx-image.js starts a small pool of
// them): decodes into the module's memory and draws from a view of it, so
// that a picture crosses no thread as pixels and the page's thread never
// decodes or copies one. The page hands over the compiled module (it never
// fetches here) and each element's canvas (an OffscreenCanvas) once.
import { createCodec } from './kx.js';

let codec = null;
const canvases = new Map();  // element number -> its OffscreenCanvas
let queue = Promise.resolve();

// One job at a time: a view of the module's memory stays valid only while
// no other call can grow the memory.
function draw(job) {
  const info = codec.probe(job.bytes);
  if (info.decodable && info.width * info.height > job.maxPixels) {
    throw new RangeError(`${info.width} × ${info.height} is over the cap of ${job.maxPixels} pixels`);
  }
  return codec.decodeView(job.bytes, (picture) => {
    const { width, height, complete, decodedPixels } = picture;
    const facts = { width, height, complete, decodedPixels };
    const image = new ImageData(picture.data, width, height);
    const canvas = canvases.get(job.element);
    if (canvas !== undefined) {
      canvas.width = width;
      canvas.height = height;
      canvas.getContext('2d').putImageData(image, 0, 0);
      return { facts };
    }
    // No canvas of its own here (an engine that cannot transfer one): a
    // bitmap, handed over whole. The block is freed before the bitmap is
    // made, but nothing writes the memory until the next job, which waits.
    return createImageBitmap(image).then((bitmap) => ({ facts, bitmap }));
  });
}

// A picture arriving in pieces from the page, drawn row band by row band
// into the element's canvas as the rows become final.
const arriving = new Map();  // job -> the stream's controller

function drawArriving(job, stream) {
  const canvas = canvases.get(job.element);
  const context = canvas.getContext('2d');
  let drawn = 0;
  return codec.decodeStream(stream, {
    maxPixels: job.maxPixels,
    onRows: ({ width, height, rowsFinal, data }) => {
      if (canvas.width !== width || canvas.height !== height) {
        canvas.width = width;
        canvas.height = height;
      }
      context.putImageData(new ImageData(data, width, height), 0, 0, 0, drawn, width, rowsFinal - drawn);
      drawn = rowsFinal;
    },
  }).then(({ width, height, complete, decodedPixels }) => ({ facts: { width, height, complete, decodedPixels } }));
}

onmessage = ({ data }) => {
  if (data.type === 'start') {
    createCodec({ module: data.module, simd: data.simd }).then((made) => {
      codec = made;
      postMessage({ type: 'ready' });
    }, (e) => postMessage({ type: 'failed', message: String(e?.message ?? e) }));
  } else if (data.type === 'canvas') {
    canvases.set(data.element, data.canvas);
  } else if (data.type === 'forget') {
    canvases.delete(data.element);
  } else if (data.type === 'stream') {
    const stream = new ReadableStream({ start: (controller) => arriving.set(data.job, controller) });
    queue = queue.then(async () => {
      try {
        const { facts } = await drawArriving(data, stream);
        postMessage({ type: 'done', job: data.job, facts });
      } catch (e) {
        postMessage({ type: 'done', job: data.job, error: String(e?.message ?? e) });
      } finally {
        arriving.delete(data.job);
      }
    });
  } else if (data.type === 'piece') {
    arriving.get(data.job)?.enqueue(data.bytes);
  } else if (data.type === 'end') {
    arriving.get(data.job)?.close();
  } else if (data.type === 'decode') {
    queue = queue.then(async () => {
      try {
        const { facts, bitmap } = await draw(data);
        postMessage({ type: 'done', job: data.job, facts, bitmap }, bitmap ? [bitmap] : []);
      } catch (e) {
        postMessage({ type: 'done', job: data.job, error: String(e?.message ?? e) });
      }
    });
  }
};
