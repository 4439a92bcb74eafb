// <kx-image src="picture.kx" alt="...">: shows a KX picture the way <img>
// shows others. One script tag on a page defines it:
//   <script type="module" src="kx-image.js"></script>
// Pictures are decoded and drawn by a small pool of workers (kx-worker.js)
// into each element's canvas, handed to its worker; the page's thread only
// fetches, so a picture of any size leaves it free (the library's decode of
// 8192 x 8192 takes seconds). The canvas is as large as the screen shows
// it, the worker keeping the picture at full size (getImageData reads it).
import { afterPaint } from './kx-draw.js';
import { init } from './kx.js';

// Constructed style sheets are CSSOM, not inline style: a page whose
// policy has no 'unsafe-inline' styles still applies them.
const CSS = `
:host { display: inline-block; vertical-align: baseline; width: var(--kx-width, auto); height: var(--kx-height, auto);
  aspect-ratio: var(--kx-ratio, auto); }
:host([hidden]) { display: none; }
canvas { display: block; width: 100%; height: 100%; }
.error { display: none; box-sizing: border-box; width: 100%; height: 100%; min-width: 2em; min-height: 1.5em;
  padding: 0.25em 0.5em; border: 1px dashed #b00020; color: #b00020; background: #fff5f5; font: 0.85em/1.3 sans-serif;
  overflow: hidden; }
:host([state="error"]) canvas { display: none; }
:host([state="error"]) .error { display: block; }
`;

/** The largest picture an element decodes unless its max-pixels says
 * otherwise: 8192 x 8192, the largest a writer makes. A header is 16 bytes,
 * and one stating more would make the decoder allocate for it. */
export const DEFAULT_MAX_PIXELS = 8192 * 8192;

let sharedSheet = null;
function styleFor(shadow) {
  if ('adoptedStyleSheets' in shadow && typeof CSSStyleSheet === 'function' && 'replaceSync' in CSSStyleSheet.prototype) {
    if (sharedSheet === null) {
      sharedSheet = new CSSStyleSheet();
      sharedSheet.replaceSync(CSS);
    }
    shadow.adoptedStyleSheets = [sharedSheet];
  } else {
    const style = document.createElement('style');
    style.textContent = CSS;
    shadow.append(style);
  }
}

// The pool: two workers at most (each holds a module whose memory grows to
// the largest picture it decoded and keeps it), one where the machine has
// two cores or fewer. Null where no worker can start (a policy without
// worker-src for the script, an engine without module workers): the page
// then decodes itself.
const POOL_SIZE = Math.max(1, Math.min(2, (globalThis.navigator?.hardwareConcurrency ?? 2) - 1));
let pool = null;

function startWorker(codec) {
  return new Promise((resolve) => {
    let worker;
    try {
      worker = new Worker(new URL('./kx-worker.js', import.meta.url), { type: 'module' });
    } catch {
      resolve(null);
      return;
    }
    const jobs = new Map();
    const entry = { worker, jobs, elements: 0, next: 0 };
    worker.onerror = () => {
      resolve(null);
      for (const job of jobs.values()) job.reject(new Error('the decoding worker stopped'));
      jobs.clear();
    };
    worker.onmessage = ({ data }) => {
      if (data.type === 'ready') resolve(entry);
      else if (data.type === 'failed') resolve(null);
      else if (data.type === 'done') {
        const job = jobs.get(data.job);
        jobs.delete(data.job);
        if (data.error !== undefined) job?.reject(new Error(data.error)); else job?.resolve(data);
      }
    };
    worker.postMessage({ type: 'start', module: codec.module, simd: codec.simd });
  });
}

async function workers() {
  if (pool === null) {
    pool = init().then(async (codec) => {
      const started = await Promise.all(Array.from({ length: POOL_SIZE }, () => startWorker(codec)));
      return started.filter((w) => w !== null);
    });
  }
  return pool;
}

// Tells the worker to let go of the canvas of an element that is gone.
const forgetting = typeof FinalizationRegistry === 'function' ?
  new FinalizationRegistry(({ entry, element }) => entry.worker.postMessage({ type: 'forget', element })) : null;

let elementCount = 0;

// The size each element's canvas takes on the screen, in device pixels,
// for its worker to draw the picture at that size: one observer for all.
const resized = new WeakMap();  // canvas -> the element's handler
const observer = typeof ResizeObserver === 'function' ?
  new ResizeObserver((entries) => { for (const entry of entries) resized.get(entry.target)?.(boxOf(entry)); }) : null;

function boxOf(entry) {
  const device = entry.devicePixelContentBoxSize?.[0];
  if (device !== undefined) return { width: Math.round(device.inlineSize), height: Math.round(device.blockSize) };
  const ratio = globalThis.devicePixelRatio || 1;
  return { width: Math.round(entry.contentRect.width * ratio), height: Math.round(entry.contentRect.height * ratio) };
}

function observe(canvas) {
  try {
    // Device pixels where the engine reports them: a page zoom then draws
    // the picture again at the new size.
    observer?.observe(canvas, { box: 'device-pixel-content-box' });
  } catch {
    observer?.observe(canvas);
  }
}

export class KxImageElement extends HTMLElement {
  static get observedAttributes() {
    return ['src', 'alt', 'width', 'height', 'loading'];
  }

  #canvas;
  #errorBox;
  #number = ++elementCount;
  #worker = null;  // the pool's worker holding this element's canvas
  #bitmaps = false;  // whether pictures arrive as ImageBitmaps (no canvas transfer)
  #load = 0;  // the latest load's number: older ones finishing late are dropped
  #abort = null;
  #started = null;  // the src attribute the latest load is for
  #natural = { width: 0, height: 0 };
  #complete = false;
  #streamComplete = null;
  #error = null;
  #waiting = [];  // decode() promises of the current load
  #visible = null;  // resolves a lazy load's wait for the viewport
  #box = null;  // the canvas's size on the screen in device pixels, once known

  constructor() {
    super();
    const shadow = this.attachShadow({ mode: 'open' });
    styleFor(shadow);
    this.#canvas = document.createElement('canvas');
    this.#canvas.setAttribute('part', 'canvas');
    this.#canvas.width = 0;
    this.#canvas.height = 0;
    this.#errorBox = document.createElement('div');
    this.#errorBox.className = 'error';
    this.#errorBox.setAttribute('part', 'error');
    shadow.append(this.#canvas, this.#errorBox);
    // A new size goes to the worker once the page has painted its own
    // change: where WebKitGTK painted a resized 8192 x 8192 element while
    // the worker drew it again, its page's thread waited for the drawing,
    // gaps of over 110 ms in 13 of 17 runs (up to 150); asked for after the
    // paint, 14 to 51 ms in 11 (its idle page's, 11 to 14).
    const askForDrawing = afterPaint(() => this.#sendBox());
    resized.set(this.#canvas, (box) => {
      this.#box = box;
      askForDrawing();
    });
  }

  // Tells the worker drawing this element's canvas the size it is shown at
  // (measured now where no observation has come yet).
  #sendBox() {
    if (this.#worker === null || this.#bitmaps) return;
    if (this.#box === null) {
      const rect = this.#canvas.getBoundingClientRect();
      const ratio = globalThis.devicePixelRatio || 1;
      this.#box = { width: Math.round(rect.width * ratio), height: Math.round(rect.height * ratio) };
    }
    this.#worker.worker.postMessage({ type: 'size', element: this.#number, ...this.#box });
  }

  // As an <img>, the element goes on loading while it is out of the
  // document, so that moving it elsewhere costs no second fetch.
  connectedCallback() {
    this.#describe();
    observe(this.#canvas);
    if (this.getAttribute('src') !== this.#started) this.#start();
  }

  disconnectedCallback() {
    observer?.unobserve(this.#canvas);
  }

  attributeChangedCallback(name, before, after) {
    if (before === after) return;
    if (name === 'src') {
      if (this.isConnected) this.#start();
    } else if (name === 'alt') {
      this.#describe();
    } else if (name === 'loading') {
      if (after !== 'lazy') this.#visible?.();
    } else {
      this.#size();
    }
  }

  get src() {
    const src = this.getAttribute('src');
    return src === null ? '' : new URL(src, document.baseURI).href;
  }
  set src(value) { this.setAttribute('src', value); }
  get alt() { return this.getAttribute('alt') ?? ''; }
  set alt(value) { this.setAttribute('alt', value); }
  get width() { return Number(this.getAttribute('width') ?? this.#natural.width); }
  set width(value) { this.setAttribute('width', String(value)); }
  get height() { return Number(this.getAttribute('height') ?? this.#natural.height); }
  set height(value) { this.setAttribute('height', String(value)); }
  /** "lazy" waits until the element nears the viewport; "eager" (the default) loads at once. */
  get loading() { return this.getAttribute('loading') === 'lazy' ? 'lazy' : 'eager'; }
  set loading(value) { this.setAttribute('loading', value); }
  /** As <img>'s: a hint, reflected; decoding is always off the page's thread. */
  get decoding() {
    const value = this.getAttribute('decoding');
    return value === 'sync' || value === 'async' ? value : 'auto';
  }
  set decoding(value) { this.setAttribute('decoding', value); }
  /** The largest picture, in pixels, this element decodes (max-pixels; 8192 × 8192 by default). */
  get maxPixels() {
    const value = Number(this.getAttribute('max-pixels'));
    return Number.isInteger(value) && value > 0 ? value : DEFAULT_MAX_PIXELS;
  }
  set maxPixels(value) { this.setAttribute('max-pixels', String(value)); }
  get naturalWidth() { return this.#natural.width; }
  get naturalHeight() { return this.#natural.height; }
  /** Whether loading has ended, shown or failed, as for <img>. */
  get complete() { return this.#complete; }
  /** Whether the file held the whole picture (null before it is shown): a damaged one is completed and shown. */
  get streamComplete() { return this.#streamComplete; }
  /** Why the picture could not be shown, or null. */
  get error() { return this.#error; }

  /** As <img>'s: resolves once the current picture is shown, rejects (an
   * EncodingError DOMException) if it cannot be. */
  decode() {
    if (this.#complete) {
      return this.#error === null ? Promise.resolve() : Promise.reject(new DOMException(this.#error, 'EncodingError'));
    }
    return new Promise((resolve, reject) => this.#waiting.push({ resolve, reject }));
  }

  /** The picture's pixels at its full size, whatever size it is shown at,
   * as a 2D context's getImageData gives them (the part outside the
   * picture transparent); rejects with an InvalidStateError DOMException
   * unless a picture is shown. */
  async getImageData(sx, sy, sw, sh) {
    if (!this.#complete || this.#error !== null) throw new DOMException('no picture is shown', 'InvalidStateError');
    if (!(sw > 0 && sh > 0)) throw new DOMException('the width and height must be over 0', 'IndexSizeError');
    const entry = this.#worker;
    if (entry !== null && !this.#bitmaps) {
      const job = entry.next++;
      const done = new Promise((resolve, reject) => entry.jobs.set(job, { resolve, reject }));
      entry.worker.postMessage({ type: 'pixels', job, element: this.#number, x: sx, y: sy, width: sw, height: sh });
      const { image } = await done;
      return new ImageData(image.data, image.width, image.height);
    }
    // Drawn on this page (a bitmap, or decoded here): the canvas holds the
    // picture at full size.
    const copy = document.createElement('canvas');
    copy.width = sw;
    copy.height = sh;
    const context = copy.getContext('2d');
    context.drawImage(this.#canvas, sx, sy, sw, sh, 0, 0, sw, sh);
    return context.getImageData(0, 0, sw, sh);
  }

  // Screen readers meet one image, named by alt, whichever part shows; an
  // empty alt marks the picture as decoration, as it does on <img>.
  #describe() {
    const alt = this.getAttribute('alt');
    if (alt === '') {
      this.setAttribute('role', 'presentation');
      this.removeAttribute('aria-label');
    } else {
      this.setAttribute('role', 'img');
      if (alt === null) this.removeAttribute('aria-label'); else this.setAttribute('aria-label', alt);
    }
    this.#errorBox.textContent = this.#error === null ? '' : `${alt ?? ''}${alt ? ' — ' : ''}picture not shown: ${this.#error}`;
  }

  // The box as an <img>'s: the attributes in CSS pixels, the picture's
  // proportions for a side not given, or the picture's own size. These are
  // the :host rule's defaults, so that the page's CSS for the element (a
  // width, say) still wins and the proportions still follow.
  #size() {
    const w = this.getAttribute('width'), h = this.getAttribute('height');
    const { width, height } = this.#natural;
    const set = (name, value) => {
      if (value === null) this.style.removeProperty(name); else this.style.setProperty(name, value);
    };
    const shown = width > 0 && height > 0;
    set('--kx-width', w !== null ? `${Number(w)}px` : h === null && shown ? `${width}px` : null);
    set('--kx-height', h !== null ? `${Number(h)}px` : null);
    set('--kx-ratio', shown && (w === null || h === null) ? `${width} / ${height}` : null);
  }

  #settle(state, error) {
    this.#complete = true;
    this.#error = error;
    this.setAttribute('state', state);
    this.#describe();
    const waiting = this.#waiting;
    this.#waiting = [];
    for (const w of waiting) {
      if (error === null) w.resolve(); else w.reject(new DOMException(error, 'EncodingError'));
    }
    this.dispatchEvent(new Event(state === 'error' ? 'error' : 'load'));
  }

  // A lazy element's wait until it nears the viewport (or stops being lazy).
  #nearViewport() {
    if (this.loading !== 'lazy' || typeof IntersectionObserver !== 'function') return Promise.resolve();
    return new Promise((resolve) => {
      const observer = new IntersectionObserver((entries) => {
        if (entries.some((e) => e.isIntersecting)) done();
      }, { rootMargin: '200px' });
      const done = () => {
        observer.disconnect();
        this.#visible = null;
        resolve();
      };
      this.#visible = done;
      observer.observe(this);
    });
  }

  // The worker drawing this element's pictures, its canvas handed over on
  // first use; null where the page decodes itself.
  async #workerFor() {
    if (this.#worker !== null) return this.#worker;
    const started = await workers();
    if (started.length === 0) return null;
    if (this.#worker !== null) return this.#worker;
    const entry = started.reduce((a, b) => (b.elements < a.elements ? b : a));
    entry.elements += 1;
    this.#worker = entry;
    if (typeof this.#canvas.transferControlToOffscreen === 'function') {
      const canvas = this.#canvas.transferControlToOffscreen();
      entry.worker.postMessage({ type: 'canvas', element: this.#number, canvas }, [canvas]);
      forgetting?.register(this, { entry, element: this.#number });
      this.#sendBox();
    } else {
      this.#bitmaps = true;
    }
    return entry;
  }

  // A file that arrives within WHOLE_WITHIN_MS is decoded whole and drawn
  // once; one still arriving then goes to the element's worker piece by
  // piece, which draws the rows as they become final. Drawing in bands has
  // a price where the engine paints the canvas on the page's thread (WebKit,
  // every frame, for a canvas as large as the element is shown), so it is
  // kept for the slow arrivals it is for.
  static #WHOLE_WITHIN_MS = 150;

  // The pieces read so far, then the rest of the body, handed to the
  // element's worker as they arrive.
  async #decodeArriving(entry, pieces, reader) {
    const job = entry.next++;
    const done = new Promise((resolve, reject) => entry.jobs.set(job, { resolve, reject }));
    entry.worker.postMessage({ type: 'stream', job, element: this.#number, maxPixels: this.maxPixels });
    const send = (value) => {
      // Handed over, not copied, where the piece owns its buffer.
      const piece = value.byteOffset === 0 && value.byteLength === value.buffer.byteLength ? value : value.slice();
      entry.worker.postMessage({ type: 'piece', job, bytes: piece }, [piece.buffer]);
    };
    pieces.forEach(send);
    for (;;) {
      const { done: ended, value } = await reader.read();
      if (ended) break;
      send(value);
    }
    entry.worker.postMessage({ type: 'end', job });
    return (await done).facts;
  }

  async #decode(response) {
    const entry = await this.#workerFor();
    let bytes;
    if (entry !== null && !this.#bitmaps && response.body !== null) {
      const reader = response.body.getReader();
      const pieces = [];
      const start = performance.now();
      for (;;) {
        const { done, value } = await reader.read();
        if (done) break;
        pieces.push(value);
        if (performance.now() - start > KxImageElement.#WHOLE_WITHIN_MS) return this.#decodeArriving(entry, pieces, reader);
      }
      bytes = new Uint8Array(pieces.reduce((n, p) => n + p.length, 0));
      pieces.reduce((at, p) => (bytes.set(p, at), at + p.length), 0);
    } else {
      bytes = new Uint8Array(await response.arrayBuffer());
    }
    if (entry === null) {
      // No worker: decoded here, as a last resort.
      const codec = await init();
      const info = codec.probe(bytes);
      if (info.decodable && info.width * info.height > this.maxPixels) {
        throw new RangeError(`${info.width} × ${info.height} is over the cap of ${this.maxPixels} pixels`);
      }
      const picture = codec.decode(bytes);
      this.#canvas.width = picture.width;
      this.#canvas.height = picture.height;
      this.#canvas.getContext('2d').putImageData(new ImageData(picture.data, picture.width, picture.height), 0, 0);
      return picture;
    }
    const job = entry.next++;
    const done = new Promise((resolve, reject) => entry.jobs.set(job, { resolve, reject }));
    const buffer = bytes.buffer;
    entry.worker.postMessage({ type: 'decode', job, element: this.#number, bytes, maxPixels: this.maxPixels }, [buffer]);
    const { facts, bitmap } = await done;
    if (bitmap !== undefined) {
      this.#canvas.width = bitmap.width;
      this.#canvas.height = bitmap.height;
      this.#canvas.getContext('bitmaprenderer').transferFromImageBitmap(bitmap);
    }
    return facts;
  }

  async #start() {
    const load = ++this.#load;
    this.#started = this.getAttribute('src');
    this.#abort?.abort();
    const abort = new AbortController();
    this.#abort = abort;
    this.#complete = false;
    this.#streamComplete = null;
    this.#error = null;
    this.setAttribute('state', 'loading');
    if (!this.getAttribute('src')) {
      this.#settle('error', 'no src');
      return;
    }
    try {
      await this.#nearViewport();
      if (load !== this.#load) return;
      const response = await fetch(this.src, { signal: abort.signal });
      if (!response.ok) throw new Error(`HTTP ${response.status}`);
      const picture = await this.#decode(response);
      if (load !== this.#load) return;
      this.#natural = { width: picture.width, height: picture.height };
      this.#streamComplete = picture.complete;
      this.#size();
      this.#settle('loaded', null);
    } catch (e) {
      if (load !== this.#load) return;
      this.#natural = { width: 0, height: 0 };
      this.#size();
      this.#settle('error', e?.message ?? String(e));
    }
  }
}

if (!customElements.get('kx-image')) customElements.define('kx-image', KxImageElement);
