// <kx-image src="picture.kx" alt="...">: shows a KX picture the way <img>
// shows others. One script tag on a page defines it:
//   <script type="module" src="kx-image.js"></script>
// It decodes on the page's thread; pictures of many megapixels are better
// shown by the viewer's worker (viewer/worker.js).
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

export class KxImageElement extends HTMLElement {
  static get observedAttributes() {
    return ['src', 'alt', 'width', 'height'];
  }

  #canvas;
  #errorBox;
  #load = 0;  // the latest load's number: older ones finishing late are dropped
  #abort = null;
  #started = null;  // the src attribute the latest load is for
  #natural = { width: 0, height: 0 };
  #complete = false;
  #streamComplete = null;
  #error = null;

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
  }

  // As an <img>, the element goes on loading while it is out of the
  // document, so that moving it elsewhere costs no second fetch.
  connectedCallback() {
    this.#describe();
    if (this.getAttribute('src') !== this.#started) this.#start();
  }

  attributeChangedCallback(name, before, after) {
    if (before === after) return;
    if (name === 'src') {
      if (this.isConnected) this.#start();
    } else if (name === 'alt') {
      this.#describe();
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
  get naturalWidth() { return this.#natural.width; }
  get naturalHeight() { return this.#natural.height; }
  /** Whether loading has ended, shown or failed, as for <img>. */
  get complete() { return this.#complete; }
  /** Whether the file held the whole picture (null before it is shown): a damaged one is completed and shown. */
  get streamComplete() { return this.#streamComplete; }
  /** Why the picture could not be shown, or null. */
  get error() { return this.#error; }

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
    this.dispatchEvent(new Event(state === 'error' ? 'error' : 'load'));
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
      const response = await fetch(this.src, { signal: abort.signal });
      if (!response.ok) throw new Error(`HTTP ${response.status}`);
      const bytes = new Uint8Array(await response.arrayBuffer());
      const codec = await init();
      if (load !== this.#load) return;
      const picture = codec.decode(bytes);
      this.#canvas.width = picture.width;
      this.#canvas.height = picture.height;
      this.#canvas.getContext('2d').putImageData(new ImageData(picture.data, picture.width, picture.height), 0, 0);
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
