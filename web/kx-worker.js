// The decoding worker of <kx-image> (kx-image.js starts a small pool of
// them): decodes into the module's memory and draws from a view of it, so
// that a picture crosses no thread as pixels and the page's thread never
// decodes or copies one. The page hands over the compiled module (it never
// fetches here), each element's canvas (an OffscreenCanvas) once, and the
// size its box takes on the screen whenever that changes.
//
// Each element's picture is kept here at full size (its source canvas,
// which the element's getImageData reads), and its shown canvas is only as
// large as the screen shows it: WebKitGTK paints a canvas on the page's
// thread (see kx-draw.js).
import { drawRows, shownSize, sourceCanvas } from './kx-draw.js';
import { createCodec } from './kx.js';

let codec = null;
// element number -> {canvas: its shown OffscreenCanvas, source: the
// picture at full size or null, box: its box in device pixels (0: not laid
// out yet)}, with each canvas's 2D context, taken once (Firefox refuses a
// second getContext on a canvas handed over by the page).
const elements = new Map();
let queue = Promise.resolve();

function stateOf(element) {
  let state = elements.get(element);
  if (state === undefined) {
    state = { canvas: null, context: null, source: null, sourceContext: null, box: { width: 0, height: 0 } };
    elements.set(element, state);
  }
  return state;
}

// Draws rows [top, bottom) of the picture into the shown canvas at the
// size it is shown; the whole picture by default (see drawRows).
function show(state, top = 0, bottom = state.source.height, image = null) {
  const { canvas, source } = state;
  const size = shownSize(source.width, source.height, state.box);
  if (canvas.width !== size.width || canvas.height !== size.height) {
    canvas.width = size.width;
    canvas.height = size.height;
    top = 0;
    bottom = source.height;
    image = null;
  }
  state.context ??= canvas.getContext('2d');
  drawRows(state.context, size, source, state.sourceContext, top, bottom, image);
}

// The source canvas for a picture of this size.
function sourceFor(state, width, height) {
  if (state.source === null || state.source.width !== width || state.source.height !== height) {
    Object.assign(state, sourceCanvas(width, height));
  }
  return state.sourceContext;
}

function overCap(info, maxPixels) {
  if (info.decodable && info.width * info.height > maxPixels) {
    throw new RangeError(`${info.width} × ${info.height} is over the cap of ${maxPixels} pixels`);
  }
}

// One job at a time: a view of the module's memory stays valid only while
// no other call can grow the memory.
function draw(job) {
  overCap(codec.probe(job.bytes), job.maxPixels);
  return codec.decodeView(job.bytes, (picture) => {
    const { width, height, complete, decodedPixels } = picture;
    const facts = { width, height, complete, decodedPixels };
    const image = new ImageData(picture.data, width, height);
    const state = elements.get(job.element);
    if (state?.canvas) {
      sourceFor(state, width, height).putImageData(image, 0, 0);
      show(state, 0, height, image);
      return { facts };
    }
    // No canvas of its own here (an engine that cannot transfer one): a
    // bitmap, handed over whole. The block is freed before the bitmap is
    // made, but nothing writes the memory until the next job, which waits.
    return createImageBitmap(image).then((bitmap) => ({ facts, bitmap }));
  });
}

// A picture arriving in pieces from the page, drawn row band by row band
// as the rows become final.
const arriving = new Map();  // job -> the stream's controller

function drawArriving(job, stream) {
  const state = stateOf(job.element);
  let context = null;
  let drawn = 0;
  return codec.decodeStream(stream, {
    maxPixels: job.maxPixels,
    onRows: ({ width, height, rowsFinal, data }) => {
      context ??= sourceFor(state, width, height);
      const image = new ImageData(data, width, height);
      context.putImageData(image, 0, 0, 0, drawn, width, rowsFinal - drawn);
      if (rowsFinal > drawn) show(state, drawn, rowsFinal, image);
      drawn = rowsFinal;
    },
  }).then(({ width, height, complete, decodedPixels }) => {
    // Bands scaled one by one meet at rows drawn twice; drawn whole at the end.
    const size = shownSize(width, height, state.box);
    if (size.width !== width || size.height !== height) show(state);
    return { facts: { width, height, complete, decodedPixels } };
  });
}

// Full-size pixels of the element's picture, as a 2D context's
// getImageData gives them.
function pixels(job) {
  const state = elements.get(job.element);
  if (!state?.source) throw new DOMException('no picture is shown', 'InvalidStateError');
  const image = state.sourceContext.getImageData(job.x, job.y, job.width, job.height);
  return { width: image.width, height: image.height, data: image.data };
}

function queued(job, work) {
  queue = queue.then(async () => {
    try {
      const { transfer = [], ...answer } = await work();
      postMessage({ type: 'done', job: job.job, ...answer }, transfer);
    } catch (e) {
      postMessage({ type: 'done', job: job.job, error: String(e?.message ?? e), errorName: e?.name });
    }
  });
}

onmessage = ({ data }) => {
  if (data.type === 'start') {
    createCodec({ module: data.module, simd: data.simd }).then((made) => {
      codec = made;
      postMessage({ type: 'ready' });
    }, (e) => postMessage({ type: 'failed', message: String(e?.message ?? e) }));
  } else if (data.type === 'canvas') {
    Object.assign(stateOf(data.element), { canvas: data.canvas, context: null });
  } else if (data.type === 'size') {
    // Drawn again at once if the shown size changes; a picture still being
    // decoded takes the new size when it is drawn.
    const state = stateOf(data.element);
    state.box = { width: data.width, height: data.height };
    if (state.canvas && state.source) {
      const size = shownSize(state.source.width, state.source.height, state.box);
      if (size.width !== state.canvas.width || size.height !== state.canvas.height) show(state);
    }
  } else if (data.type === 'forget') {
    elements.delete(data.element);
  } else if (data.type === 'stream') {
    const stream = new ReadableStream({ start: (controller) => arriving.set(data.job, controller) });
    queued(data, () => drawArriving(data, stream).finally(() => arriving.delete(data.job)));
  } else if (data.type === 'piece') {
    arriving.get(data.job)?.enqueue(data.bytes);
  } else if (data.type === 'end') {
    arriving.get(data.job)?.close();
  } else if (data.type === 'decode') {
    queued(data, async () => {
      const { facts, bitmap } = await draw(data);
      return bitmap ? { facts, bitmap, transfer: [bitmap] } : { facts };
    });
  } else if (data.type === 'pixels') {
    queued(data, () => {
      const image = pixels(data);
      return { image, transfer: [image.data.buffer] };
    });
  }
};
