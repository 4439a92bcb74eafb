// The package's entry in Node (the "node" condition of its exports): the
// codec of kx.js, with the module's file read from disk, which Node's fetch
// cannot do. Kept apart so that no bundler meets node:fs on its way to a page.
import { readFile } from 'node:fs/promises';

import * as kx from './kx.js';

export {
  DEFAULT_LEVEL, isStream, KxError, MAX_DECODE_SPEED, MAX_LEVEL, MAX_SIDE, MIN_LEVEL, simdSupported,
} from './kx.js';

// The options with the module's bytes in place of a file URL: the package's
// own file when neither a module nor bytes are given.
async function withBytes(options) {
  if (options.module !== undefined) return options;
  const simd = options.simd ?? kx.simdSupported();
  let source = options.wasm ?? new URL(simd ? './dist/kx-simd.wasm' : './dist/kx-plain.wasm', import.meta.url);
  if (typeof source === 'string' && !/^[a-z][a-z0-9+.-]*:/i.test(source)) source = new URL(source, import.meta.url);
  if (source instanceof URL && source.protocol === 'file:') source = await readFile(source);
  return { ...options, simd, wasm: source };
}

export async function createCodec(options = {}) {
  return kx.createCodec(await withBytes(options));
}

let ready = null;

export function init(options = {}) {
  if (ready === null) {
    ready = createCodec(options);
    ready.catch(() => {
      ready = null;
    });
  }
  return ready;
}

export async function probe(bytes) {
  return (await init()).probe(bytes);
}

export async function decode(input) {
  const codec = await init();
  return kx.isStream(input) ? codec.decodeStream(input) : codec.decode(input);
}

export async function encode(pixels, options) {
  return (await init()).encode(pixels, options);
}
