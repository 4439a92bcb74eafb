// One measurement for Node and the browser alike: each picture decoded (and
// its pixels encoded) `reps` times, a fresh output each time as the native
// side allocates one per call; the times of every run, in ms. The codec is
// warmed up first, so that the engine's optimising tier has compiled it.
const codecs = new Map();

export async function measure(kxModule, simd, bytesList, decodeReps, encodeReps) {
  if (!codecs.has(simd)) {
    const codec = await kxModule.createCodec({ simd });
    for (let k = 0; k < 3; ++k) codec.decode(bytesList[0]);
    codecs.set(simd, codec);
  }
  const codec = codecs.get(simd);
  const times = (reps, work) => {
    const ms = [];
    for (let k = 0; k < reps; ++k) {
      const start = performance.now();
      work();
      ms.push(performance.now() - start);
    }
    return ms;
  };
  return bytesList.map((bytes) => {
    const picture = codec.decode(bytes);
    return { decode_ms: times(decodeReps, () => codec.decode(bytes)), encode_ms: times(encodeReps, () => codec.encode(picture)) };
  });
}

// Decoding into the module's memory only, the picture used where it lies
// (decodeView, as <kx-image>'s workers do): the library's work and the
// file's copy in, without the copy out.
export async function measureView(kxModule, simd, bytesList, reps) {
  await measure(kxModule, simd, bytesList.slice(0, 1), 0, 0);
  const codec = codecs.get(simd);
  return bytesList.map((bytes) => {
    const ms = [];
    for (let k = 0; k < reps; ++k) {
      const start = performance.now();
      codec.decodeView(bytes, (picture) => picture.width);
      ms.push(performance.now() - start);
    }
    return { decode_ms: ms, encode_ms: [] };
  });
}

// The copy out alone: a fresh array of the picture's size written from a
// view of the module's memory, which is what decode adds to decodeView (the
// result must be an array of the caller's own, and a fresh one is written
// into pages the system hands over one at a time).
export async function measureCopyOut(kxModule, simd, bytesList, reps) {
  await measure(kxModule, simd, bytesList.slice(0, 1), 0, 0);
  const codec = codecs.get(simd);
  return bytesList.map((bytes) => {
    const ms = [];
    codec.decodeView(bytes, (picture) => {
      for (let k = 0; k < reps; ++k) {
        const start = performance.now();
        new Uint8ClampedArray(picture.data.length).set(picture.data);
        ms.push(performance.now() - start);
      }
    });
    return { decode_ms: ms, encode_ms: [] };
  });
}

// From a Response to pixels on a 2D canvas, the KX file through the codec
// (a view of the module's memory put on the canvas) and the same picture as
// PNG through the browser's own path (createImageBitmap of the Blob, then
// drawn); a one-pixel read makes each canvas finish its drawing. Page only.
export async function toCanvas(kxModule, kxBytes, pngBytes) {
  await measure(kxModule, true, [kxBytes], 0, 0);
  const codec = codecs.get(true);
  const context = document.createElement('canvas').getContext('2d');
  let start = performance.now();
  const file = await new Response(kxBytes).arrayBuffer();
  codec.decodeView(file, (picture) => {
    context.canvas.width = picture.width;
    context.canvas.height = picture.height;
    context.putImageData(new ImageData(picture.data, picture.width, picture.height), 0, 0);
  });
  context.getImageData(0, 0, 1, 1);
  const kx_ms = performance.now() - start;
  start = performance.now();
  const bitmap = await createImageBitmap(await new Response(pngBytes).blob());
  context.canvas.width = bitmap.width;
  context.canvas.height = bitmap.height;
  context.drawImage(bitmap, 0, 0);
  bitmap.close();
  context.getImageData(0, 0, 1, 1);
  const png_ms = performance.now() - start;
  return { kx_ms, png_ms };
}
