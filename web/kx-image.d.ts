// Declarations of kx-image.js: the <kx-image> element, defined on import.

/** The largest picture, in pixels, an element decodes unless its max-pixels says otherwise: 8192 × 8192. */
export const DEFAULT_MAX_PIXELS: number;

export class KxImageElement extends HTMLElement {
  /** The picture's URL, resolved against the document (the src attribute). */
  src: string;
  /** The text screen readers announce and the error state shows; "" marks decoration. */
  alt: string;
  /** The box's size in CSS pixels, as for <img>. */
  width: number;
  height: number;
  /** "lazy" waits until the element nears the viewport; "eager" (the default) loads at once. */
  loading: 'eager' | 'lazy';
  /** As <img>'s: a hint, reflected; decoding is always off the page's thread. */
  decoding: 'sync' | 'async' | 'auto';
  /** The largest picture, in pixels, this element decodes (the max-pixels attribute). */
  maxPixels: number;
  readonly naturalWidth: number;
  readonly naturalHeight: number;
  /** Whether loading has ended, shown or failed. */
  readonly complete: boolean;
  /** Whether the file held the whole picture; null before it is shown. */
  readonly streamComplete: boolean | null;
  /** Why the picture could not be shown, or null. */
  readonly error: string | null;
  /** Resolves once the current picture is shown; rejects with an EncodingError DOMException if it cannot be. */
  decode(): Promise<void>;
  /** The picture's pixels at its full size, whatever size it is shown at, as a 2D context's getImageData gives
   * them; rejects with an InvalidStateError DOMException unless a picture is shown. */
  getImageData(sx: number, sy: number, sw: number, sh: number): Promise<ImageData>;
}

declare global {
  interface HTMLElementTagNameMap {
    'kx-image': KxImageElement;
  }
}
