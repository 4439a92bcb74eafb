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
