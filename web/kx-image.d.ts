// Declarations of kx-image.js: the <kx-image> element, defined on import.

export class KxImageElement extends HTMLElement {
  /** The picture's URL, resolved against the document (the src attribute). */
  src: string;
  /** The text screen readers announce and the error state shows; "" marks decoration. */
  alt: string;
  /** The box's size in CSS pixels, as for <img>. */
  width: number;
  height: number;
  readonly naturalWidth: number;
  readonly naturalHeight: number;
  /** Whether loading has ended, shown or failed. */
  readonly complete: boolean;
  /** Whether the file held the whole picture; null before it is shown. */
  readonly streamComplete: boolean | null;
  /** Why the picture could not be shown, or null. */
  readonly error: string | null;
}

declare global {
  interface HTMLElementTagNameMap {
    'kx-image': KxImageElement;
  }
}
