// Declarations of kx.js, the KX image codec as WebAssembly.

/** A Uint8ClampedArray over an ArrayBuffer (not a SharedArrayBuffer), as ImageData takes it:
 * `Uint8ClampedArray<ArrayBuffer>` where the library declares typed arrays
 * generic (TypeScript 5.7 and later), plain `Uint8ClampedArray` before. */
export type KxClampedBytes = ReturnType<Uint8ClampedArray['slice']>;
/** A Uint8Array over an ArrayBuffer of its own (a BlobPart in every version). */
export type KxFileBytes = ReturnType<Uint8Array['slice']>;

/** Bytes of a file or a header. */
export type KxBytes = ArrayBuffer | ArrayBufferView;

/** A name of a result of the library (codec/include/kx.h). */
export type KxResultName =
  | 'KX_ERR_TRUNCATED_HEADER' | 'KX_ERR_NOT_KX' | 'KX_ERR_CODING' | 'KX_ERR_BYTES_PER_PIXEL'
  | 'KX_ERR_SIDE_RANGE' | 'KX_ERR_NO_PIXELS' | 'KX_ERR_TOO_LARGE' | 'KX_ERR_NULL_POINTER'
  | 'KX_ERR_BAD_LAYOUT' | 'KX_ERR_BAD_STRIDE' | 'KX_ERR_BUFFER_TOO_SMALL' | 'KX_ERR_BAD_SIZE'
  | 'KX_ERR_BAD_LEVEL' | 'KX_ERR_BAD_STRUCT_SIZE' | 'KX_ERR_WINDOW_TOO_SMALL' | 'KX_ERR_OUT_OF_MEMORY'
  | 'KX_ERR_FINISHED' | 'KX_ERR_UNKNOWN';

/** A refusal of the library: its result code, the code's name, and its text as the message. */
export class KxError extends Error {
  readonly name: 'KxError';
  readonly code: number;
  readonly codeName: KxResultName;
}

export const MIN_LEVEL: 1;
export const MAX_LEVEL: 9;
export const DEFAULT_LEVEL: 6;
export const MAX_DECODE_SPEED: 9;
export const MAX_SIDE: 8192;

/** What a header says, and what readers make of it. */
export interface KxHeaderInfo {
  /** As the header states them (signed 16-bit fields; 0 without a header). */
  width: number;
  height: number;
  /** The coding byte: 0x83 in every file a writer makes. */
  coding: number;
  bytesPerPixel: number;
  /** Whether an import plug-in's recognition test accepts the file, and why not. */
  recognized: boolean;
  recognitionError: string | null;
  /** Whether decode proceeds, and why not. */
  decodable: boolean;
  decodingError: string | null;
}

/** A decoded picture: usable as ImageData (`new ImageData(data, width, height)`). */
export interface KxPicture {
  width: number;
  height: number;
  /** RGBA rows from the top down, alpha 255. */
  data: KxClampedBytes;
  /** false when the stream ended early and the rest was completed as readers complete it. */
  complete: boolean;
  /** Pixels the stream itself held: width × height when complete. */
  decodedPixels: number;
}

/** The rows decoded so far while a stream arrives: `data` is a view of the module's memory (the whole
 * picture, rows from rowsFinal down not yet final), valid only during the call. */
export interface KxRows {
  width: number;
  height: number;
  rowsFinal: number;
  data: KxClampedBytes;
}

export interface KxStreamOptions {
  /** Called whenever more rows are final, from the top down, last with rowsFinal = height. */
  onRows?: (rows: KxRows) => void;
  /** Refuses (RangeError) a header stating more pixels, before anything is allocated for it. */
  maxPixels?: number;
}

/** RGBA pixels with their size, such as an ImageData. */
export interface KxPixels {
  width: number;
  height: number;
  data: ArrayBuffer | ArrayBufferView;
}

export interface KxEncodeOptions {
  /** The picture's size; taken from the pixels' width and height when they carry them. */
  width?: number;
  height?: number;
  /** 1 (fastest) to 9 (smallest); 6 by default. */
  level?: number;
  /** 0 (tokens chosen for size alone, the default) to MAX_DECODE_SPEED: a file that decodes faster for
   * some more bytes, written with level 9's parse (and its writing time) whatever the level. */
  decodeSpeed?: number;
}

export interface KxInitOptions {
  /** The compiled module, for environments that compile it themselves. */
  module?: WebAssembly.Module;
  /** The module's bytes, a Response holding them, or where to fetch them. */
  wasm?: ArrayBuffer | ArrayBufferView | Response | URL | string;
  /** The SIMD build (true) or the plain one (false); detected when not given. A given
   * module or bytes must be of the build chosen. */
  simd?: boolean;
}

/** A loaded codec: synchronous calls on one module. */
export interface KxCodec {
  /** Whether this is the SIMD build. */
  readonly simd: boolean;
  /** The compiled module, to hand to a worker (postMessage) for a codec of its own there. */
  readonly module: WebAssembly.Module;
  /** The library's version, "1.0.0". */
  readonly version: string;
  /** Reads a header (the first 16 bytes are looked at); never throws for bytes that are no KX header. */
  probe(bytes: KxBytes): KxHeaderInfo;
  /** Decodes a whole KX file. Throws KxError for a refused header; a damaged stream is no error. */
  decode(bytes: KxBytes): KxPicture;
  /** Decodes a whole KX file into the module's memory and calls `use` with the picture, whose `data` is a
   * view of that memory, valid only during the call (no copy is made); returns what `use` returns. */
  decodeView<T>(bytes: KxBytes, use: (picture: KxPicture) => T): T;
  /** Decodes a file as it arrives (a fetch body, or a Response holding one), in the pieces the stream gives;
   * the same picture and report as decode of the whole file. */
  decodeStream(source: ReadableStream<Uint8Array> | Response, options?: KxStreamOptions): Promise<KxPicture>;
  /** Encodes RGBA pixels (alpha ignored) into a KX file. Throws KxError for a bad size, level or buffer. */
  encode(pixels: KxPixels | ArrayBuffer | ArrayBufferView, options?: KxEncodeOptions): KxFileBytes;
}

/** Whether this engine runs WebAssembly SIMD. */
export function simdSupported(): boolean;
/** A codec of its own, with a fresh module and memory. */
export function createCodec(options?: KxInitOptions): Promise<KxCodec>;
/** The codec the functions below share, loaded once (with the first call's options). */
export function init(options?: KxInitOptions): Promise<KxCodec>;
export function probe(bytes: KxBytes): Promise<KxHeaderInfo>;
/** Decodes a whole file, or a stream (a fetch body, or a Response) as it arrives. */
export function decode(input: KxBytes | ReadableStream<Uint8Array> | Response): Promise<KxPicture>;
/** Whether decode is given a stream or a Response. */
export function isStream(input: unknown): input is ReadableStream<Uint8Array> | Response;
export function encode(pixels: KxPixels | ArrayBuffer | ArrayBufferView, options?: KxEncodeOptions): Promise<KxFileBytes>;
