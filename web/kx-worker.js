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
    throw new RangeError(`${info.width} × ${info.height} is over this element's cap of ${job.maxPixels} pixels`);
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
