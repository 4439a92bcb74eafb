// The KX image codec for browsers, workers and Node: the C library compiled
// to WebAssembly, behind a small ES module. Pixels are RGBA rows from the
// top down, as ImageData keeps them.

import createSimdModule from './dist/kx-simd.js';
import createPlainModule from './dist/kx-plain.js';

const RESULT_NAMES = [
  'KX_OK',
  'KX_ERR_TRUNCATED_HEADER',
  'KX_ERR_NOT_KX',
  'KX_ERR_CODING',
  'KX_ERR_BYTES_PER_PIXEL',
  'KX_ERR_SIDE_RANGE',
  'KX_ERR_NO_PIXELS',
  'KX_ERR_TOO_LARGE',
  'KX_ERR_NULL_POINTER',
  'KX_ERR_BAD_LAYOUT',
  'KX_ERR_BAD_STRIDE',
  'KX_ERR_BUFFER_TOO_SMALL',
  'KX_ERR_BAD_SIZE',
  'KX_ERR_BAD_LEVEL',
  'KX_ERR_BAD_STRUCT_SIZE',
  'KX_ERR_WINDOW_TOO_SMALL',
  'KX_ERR_OUT_OF_MEMORY',
  'KX_ERR_FINISHED',
];
// The numbers by name, so that calls below name the result they mean.
const R = Object.fromEntries(RESULT_NAMES.map((name, code) => [name, code]));

export const MIN_LEVEL = 1;
export const MAX_LEVEL = 9;
export const DEFAULT_LEVEL = 6;
export const MAX_DECODE_SPEED = 9;
export const MAX_SIDE = 8192;

/** A result of the library other than success: `code` is its number, `name`
 * its constant's name, the message its text. */
export class KxError extends Error {
  constructor(code, message) {
    super(message);
    this.name = 'KxError';
    this.code = code;
    this.codeName = RESULT_NAMES[code] ?? 'KX_ERR_UNKNOWN';
  }
}

// The smallest module that uses a SIMD instruction: validates where the
// engine has WebAssembly SIMD.
const SIMD_PROBE = new Uint8Array([
  0, 97, 115, 109, 1, 0, 0, 0, 1, 5, 1, 96, 0, 1, 123, 3, 2, 1, 0, 10, 10, 1, 8, 0, 65, 0, 253, 15, 253, 98, 11,
]);

export function simdSupported() {
  return typeof WebAssembly === 'object' && WebAssembly.validate(SIMD_PROBE);
}

// Where each build's file is, written out whole so that bundlers find them.
function wasmUrl(simd) {
  return simd ? new URL('./dist/kx-simd.wasm', import.meta.url) : new URL('./dist/kx-plain.wasm', import.meta.url);
}

async function compileFrom(source) {
  if (source instanceof WebAssembly.Module) return source;
  if (source instanceof ArrayBuffer || ArrayBuffer.isView(source)) return WebAssembly.compile(source);
  if (typeof Response === 'function' && source instanceof Response) {
    // compileStreaming needs the application/wasm type; a server that sends
    // another still works, through the bytes.
    if (typeof WebAssembly.compileStreaming === 'function' &&
        (source.headers.get('Content-Type') ?? '').startsWith('application/wasm')) {
      return WebAssembly.compileStreaming(source);
    }
    return WebAssembly.compile(await source.arrayBuffer());
  }
  const url = source instanceof URL ? source : new URL(String(source), import.meta.url);
  if (url.protocol === 'file:') {
    // fetch takes no file URLs (Node's neither); kx-node.js, the package's
    // Node entry, hands the bytes over instead. No Node module is named
    // here, so that no bundler meets one on its way to a page.
    throw new Error(`cannot load ${url}: file URLs are read by kx-codec's Node entry`);
  }
  const response = await fetch(url);
  if (!response.ok) throw new Error(`cannot load ${url}: HTTP ${response.status}`);
  return compileFrom(response);
}

function concat(a, b) {
  const joined = new Uint8Array(a.length + b.length);
  joined.set(a);
  joined.set(b, a.length);
  return joined;
}

// Whether decode is given a stream (a fetch body) or a Response holding one.
export function isStream(input) {
  return (typeof ReadableStream === 'function' && input instanceof ReadableStream) ||
    (typeof Response === 'function' && input instanceof Response);
}

function toBytes(input, what) {
  if (input instanceof Uint8Array) return input;
  if (input instanceof ArrayBuffer) return new Uint8Array(input);
  if (ArrayBuffer.isView(input)) return new Uint8Array(input.buffer, input.byteOffset, input.byteLength);
  throw new TypeError(`${what} must be an ArrayBuffer or a typed array`);
}

// Record words (web/glue/kx_wasm.cpp).
const OUT_POINTER = 0, OUT_BYTES = 1, OUT_WIDTH = 2, OUT_HEIGHT = 3, OUT_COMPLETE = 4, OUT_DECODED_PIXELS = 5;
const STREAM_DECODER = 0, STREAM_POINTER = 1, STREAM_BYTES = 2, STREAM_WIDTH = 3, STREAM_HEIGHT = 4;
const RECORD_WORDS = 8;

function makeCodec(module, simd, compiled) {
  const text = (code) => {
    const heap = module.HEAPU8;
    const start = module._kxw_result_text(code) >>> 0;
    let end = start;
    while (heap[end] !== 0) ++end;
    return new TextDecoder().decode(heap.subarray(start, end));
  };
  const fail = (code) => new KxError(code, text(code));
  // Memory may grow during any call, which replaces the heap's views: each
  // is taken afresh after the call.
  const words = (record) => new Int32Array(module.HEAPU8.buffer, record, RECORD_WORDS);

  // Runs body(record) with a scratch record and the input copied into the
  // module; both are freed whatever happens.
  const withInput = (bytes, body) => {
    const record = module._kxw_alloc(4 * RECORD_WORDS) >>> 0;
    const src = bytes.length > 0 ? module._kxw_alloc(bytes.length) >>> 0 : 0;
    try {
      if (record === 0 || (bytes.length > 0 && src === 0)) throw fail(R.KX_ERR_OUT_OF_MEMORY);
      if (bytes.length > 0) module.HEAPU8.set(bytes, src);
      return body(src, record);
    } finally {
      if (src !== 0) module._kxw_free(src);
      if (record !== 0) module._kxw_free(record);
    }
  };

  const takeBlock = (record, ArrayType) => {
    const w = words(record);
    const pointer = w[OUT_POINTER] >>> 0;
    const bytes = w[OUT_BYTES] >>> 0;
    const copy = new ArrayType(module.HEAPU8.buffer.slice(pointer, pointer + bytes));
    module._kxw_free(pointer);
    return copy;
  };

  // Decodes into a block of the module's memory and returns the picture
  // with the block's address; the caller frees it.
  const decodeToBlock = (input) => {
    const bytes = toBytes(input, 'decode: the file');
    return withInput(bytes, (src, record) => {
      const result = module._kxw_decode(src, bytes.length, record);
      if (result !== R.KX_OK) throw fail(result);
      const w = words(record);
      return {
        width: w[OUT_WIDTH], height: w[OUT_HEIGHT], complete: w[OUT_COMPLETE] === 1, decodedPixels: w[OUT_DECODED_PIXELS],
        pointer: w[OUT_POINTER] >>> 0, bytes: w[OUT_BYTES] >>> 0,
      };
    });
  };

  return {
    simd,
    module: compiled,
    version: `${Math.floor(module._kxw_version_number() / 10000)}.${
        Math.floor(module._kxw_version_number() / 100) % 100}.${module._kxw_version_number() % 100}`,

    probe(input) {
      const bytes = toBytes(input, 'probe: the header').subarray(0, 16);
      return withInput(bytes, (src, record) => {
        const decoding = module._kxw_probe(src, bytes.length, record);
        const w = words(record);
        const recognition = w[1];
        return {
          width: w[2],
          height: w[3],
          coding: w[4],
          bytesPerPixel: w[5],
          recognized: recognition === R.KX_OK,
          recognitionError: recognition === R.KX_OK ? null : text(recognition),
          decodable: decoding === R.KX_OK,
          decodingError: decoding === R.KX_OK ? null : text(decoding),
        };
      });
    },

    decode(input) {
      const { pointer, bytes, ...picture } = decodeToBlock(input);
      const data = new Uint8ClampedArray(module.HEAPU8.buffer.slice(pointer, pointer + bytes));
      module._kxw_free(pointer);
      return { ...picture, data };
    },

    decodeView(input, use) {
      const { pointer, bytes, ...picture } = decodeToBlock(input);
      try {
        return use({ ...picture, data: new Uint8ClampedArray(module.HEAPU8.buffer, pointer, bytes) });
      } finally {
        module._kxw_free(pointer);
      }
    },

    async decodeStream(source, options = {}) {
      const reader = (typeof Response === 'function' && source instanceof Response ? source.body : source).getReader();
      let decoder = 0, dst = 0, scratch = 0, scratchBytes = 0, width = 0, height = 0, dstBytes = 0;
      const record = module._kxw_alloc(4 * RECORD_WORDS) >>> 0;
      // Copies a piece into the module (one block, grown as needed) and
      // pushes it; the rows final after it.
      const push = (piece) => {
        if (piece.length > scratchBytes) {
          if (scratch !== 0) module._kxw_free(scratch);
          scratch = module._kxw_alloc(piece.length) >>> 0;
          scratchBytes = scratch === 0 ? 0 : piece.length;
          if (scratch === 0) throw fail(R.KX_ERR_OUT_OF_MEMORY);
        }
        module.HEAPU8.set(piece, scratch);
        const rows = module._kxw_decoder_push(decoder, scratch, piece.length);
        if (rows < 0) throw fail(-rows);
        return rows;
      };
      const report = (rows) => options.onRows?.({
        width, height, rowsFinal: rows, data: new Uint8ClampedArray(module.HEAPU8.buffer, dst, dstBytes),
      });
      try {
        if (record === 0) throw fail(R.KX_ERR_OUT_OF_MEMORY);
        // The header first: the decoder is made for it, then takes the
        // file from its first byte.
        let head = new Uint8Array(0);
        let ended = false;
        while (head.length < 16 && !ended) {
          const { done, value } = await reader.read();
          if (done) ended = true; else head = concat(head, toBytes(value, 'decode: a piece of the stream'));
        }
        if (options.maxPixels !== undefined) {
          const info = this.probe(head);
          if (info.decodable && info.width * info.height > options.maxPixels) {
            throw new RangeError(`${info.width} × ${info.height} is over the cap of ${options.maxPixels} pixels`);
          }
        }
        const started = withInput(head, (src) => module._kxw_decoder_start(src, head.length, record));
        if (started !== R.KX_OK) throw fail(started);
        const w = words(record);
        decoder = w[STREAM_DECODER] >>> 0;
        dst = w[STREAM_POINTER] >>> 0;
        dstBytes = w[STREAM_BYTES] >>> 0;
        width = w[STREAM_WIDTH];
        height = w[STREAM_HEIGHT];
        let rows = push(head);
        report(rows);
        while (rows < height) {
          const { done, value } = await reader.read();
          if (done) break;
          const before = rows;
          rows = push(toBytes(value, 'decode: a piece of the stream'));
          if (rows > before) report(rows);
        }
        const finished = module._kxw_decoder_finish(decoder, record);
        if (finished !== R.KX_OK) throw fail(finished);
        const out = words(record);
        if (rows < height) report(height);
        return {
          width, height, complete: out[OUT_COMPLETE] === 1, decodedPixels: out[OUT_DECODED_PIXELS],
          data: new Uint8ClampedArray(module.HEAPU8.buffer.slice(dst, dst + dstBytes)),
        };
      } finally {
        reader.cancel().catch(() => {});
        if (decoder !== 0) module._kxw_decoder_end(decoder, dst);
        if (scratch !== 0) module._kxw_free(scratch);
        if (record !== 0) module._kxw_free(record);
      }
    },

    encode(pixels, options = {}) {
      const image = pixels;
      const width = options.width ?? image.width;
      const height = options.height ?? image.height;
      const level = options.level ?? DEFAULT_LEVEL;
      const decodeSpeed = options.decodeSpeed ?? 0;
      const data = image !== null && typeof image === 'object' && 'data' in image && !ArrayBuffer.isView(image) ?
          image.data :
          image;
      const bytes = toBytes(data, 'encode: the pixels');
      if (!Number.isInteger(width) || !Number.isInteger(height))
        throw new TypeError('encode: width and height must be integers');
      if (!Number.isInteger(level)) throw new TypeError('encode: level must be an integer');
      if (!Number.isInteger(decodeSpeed)) throw new TypeError('encode: decodeSpeed must be an integer');
      // The library refuses these itself; they are checked here too so that
      // values beyond 32 bits cannot wrap into accepted ones on the way in.
      if (width < 1 || width > MAX_SIDE || height < 1 || height > MAX_SIDE) throw fail(R.KX_ERR_BAD_SIZE);
      if (level < MIN_LEVEL || level > MAX_LEVEL || decodeSpeed < 0 || decodeSpeed > MAX_DECODE_SPEED)
        throw fail(R.KX_ERR_BAD_LEVEL);
      if (bytes.length < 4 * width * height) throw fail(R.KX_ERR_BUFFER_TOO_SMALL);
      return withInput(bytes.subarray(0, 4 * width * height), (src, record) => {
        const result = module._kxw_encode(src, 4 * width * height, width, height, 4 * width, level, decodeSpeed,
          record);
        if (result !== R.KX_OK) throw fail(result);
        return takeBlock(record, Uint8Array);
      });
    },
  };
}

/** Loads a codec of its own: a fresh module and memory. Options: `module`
 * (a compiled WebAssembly.Module) or `wasm` (its bytes, a Response, or a
 * URL) for environments that cannot fetch the package's file themselves,
 * and `simd` to choose the build instead of detecting it (a given module
 * or bytes must be of that build). */
export async function createCodec(options = {}) {
  const simd = options.simd ?? simdSupported();
  const compiled = await compileFrom(options.module ?? options.wasm ?? wasmUrl(simd));
  // The two loaders differ only in the file name they would fetch, which is
  // never used here; both are imported statically so that a bundler
  // building a worker into one file needs no code splitting.
  const factory = simd ? createSimdModule : createPlainModule;
  const module = await new Promise((resolve, reject) => {
    factory({
      instantiateWasm(imports, receive) {
        WebAssembly.instantiate(compiled, imports).then((instance) => receive(instance, compiled), reject);
        return {};
      },
      onAbort: (what) => reject(new Error(`the KX module stopped: ${what}`)),
    }).then(resolve, reject);
  });
  return makeCodec(module, simd, compiled);
}

let ready = null;

/** The codec the module-level functions share, loaded on first use (with
 * the options of the first call). */
export function init(options = {}) {
  if (ready === null) {
    ready = createCodec(options);
    ready.catch(() => {
      ready = null;
    });
  }
  return ready;
}

/** The header's fields and what readers make of them. */
export async function probe(bytes) {
  return (await init()).probe(bytes);
}

/** Decodes a KX file to RGBA: {width, height, data, complete, decodedPixels}.
 * Takes the bytes, or a ReadableStream (a fetch body) or Response decoded
 * as its pieces arrive. */
export async function decode(input) {
  const codec = await init();
  return isStream(input) ? codec.decodeStream(input) : codec.decode(input);
}

/** Encodes RGBA pixels (or an ImageData) into a KX file at options.level and options.decodeSpeed. */
export async function encode(pixels, options) {
  return (await init()).encode(pixels, options);
}
