// Drawing a picture kept at full size into a canvas only as large as the
// screen shows it: shared by <kx-image>'s workers and the viewer's, and by
// their pages for when to ask for a drawing (afterPaint). An engine that
// paints canvases on the page's thread (WebKitGTK) took 0.2 to 2 s per
// paint of an 8192 x 8192 one, and 16 ms for the same picture drawn into a
// canvas of 300 x 300.

// The shown canvas's size for a picture in a box (device pixels): the
// box's, never over the picture's own (a larger box is filled by the page
// scaling the canvas up, as for any canvas). A box of which one side is not
// known yet (an element takes the picture's proportions once its size is
// known) is completed in those proportions; one not laid out at all gets
// the picture's size.
export function shownSize(width, height, box) {
  if (box.width > 0 && box.height > 0) {
    return { width: Math.min(width, box.width), height: Math.min(height, box.height) };
  }
  if (box.width > 0 || box.height > 0) {
    const scale = Math.min(1, box.width > 0 ? box.width / width : box.height / height);
    return { width: Math.max(1, Math.round(width * scale)), height: Math.max(1, Math.round(height * scale)) };
  }
  return { width, height };
}

// A canvas holding a picture at full size, with its 2D context: read often
// (getImageData), and so kept in memory the processor reaches.
export function sourceCanvas(width, height) {
  const source = new OffscreenCanvas(width, height);
  return { source, sourceContext: source.getContext('2d', { willReadFrequently: true }) };
}

// Draws rows [top, bottom) of the picture in `source` (its context
// `sourceContext`) into `context`, scaled to the size of its canvas
// (`size`); the whole picture by default. `image`, where given, holds the
// picture's pixels (a view of the module's memory, say), put as they are
// where the canvas has the picture's own size.
export function drawRows(context, size, source, sourceContext, top = 0, bottom = source.height, image = null) {
  if (size.width === source.width && size.height === source.height) {
    // At the picture's own size the pixels are copied as they are.
    if (image !== null) context.putImageData(image, 0, 0, 0, top, source.width, bottom - top);
    else context.putImageData(sourceContext.getImageData(0, 0, source.width, source.height), 0, 0);
    return;
  }
  const scaleY = size.height / source.height;
  context.imageSmoothingEnabled = true;
  context.imageSmoothingQuality = 'high';
  const y0 = Math.floor(top * scaleY), y1 = Math.ceil(bottom * scaleY);
  context.drawImage(source, 0, y0 / scaleY, source.width, (y1 - y0) / scaleY, 0, y0, size.width, y1 - y0);
}

// For a page whose worker draws into a canvas of the page's: `ask()` runs
// `task` once the page has painted what it has just changed (the next
// frame, then a task of its own), once however often it is asked before
// then. Where WebKitGTK painted the page while the worker drew 8192 x 8192
// scaled down, its page's thread waited for the drawing: 19 to 211 ms.
export function afterPaint(task) {
  let asked = false;
  return () => {
    if (asked) return;
    asked = true;
    requestAnimationFrame(() => setTimeout(() => {
      asked = false;
      task();
    }, 0));
  };
}
