// The viewer page: controls and display only. Everything heavy runs in
// worker.js, so that the page answers at once even on 8192 x 8192 pictures.
import { afterPaint } from '../kx-draw.js';

const $ = (id) => document.getElementById(id);
const stage = $('stage');
const canvas = $('picture');
const status = $('status');
const bar = $('progress');
const worker = new Worker(new URL('./worker.js', import.meta.url), { type: 'module' });
// The worker draws into the canvas itself: painting a large picture's
// pixels never runs on this thread. The canvas is only as large as what is
// shown (Fit: the fitted size; 1:1: the part of the picture one sees, over
// a scroll area of the picture's size), so that an engine that paints
// canvases on the page's thread paints no more than that.
const area = $('area');
const offscreen = canvas.transferControlToOffscreen();
worker.postMessage({ type: 'canvas', canvas: offscreen }, [offscreen]);
let shown = null;  // {serial, name, width, height} of the picture on show
let sentView = '';  // the latest view the worker was asked to draw
let busy = null;  // the name of the file being opened or saved

function say(text, isError = false) {
  status.textContent = text;
  status.classList.toggle('error', isError);
}

function setBusy(name) {
  busy = name;
  bar.hidden = name === null;
  $('save-png').disabled = name !== null || shown === null;
  $('save-kx').disabled = name !== null || shown === null;
}

function setSize(element, width, height) {
  element.style.width = width === null ? '' : `${width}px`;
  element.style.height = height === null ? '' : `${height}px`;
}

// Asks the worker to draw what is shown, once for each change (a new
// picture is one: the worker shows it once it is drawn), after this page
// has painted its own change (the facts shown, the canvas resized): where
// WebKitGTK painted the page while the worker drew 8192 x 8192 scaled down
// to Fit, its page's thread stalled for 19 to 211 ms (ten runs); drawn
// after the page's paint, its longest gaps were 14 to 22 ms (seven runs).
let pendingView = null;
const askForView = afterPaint(() => {
  worker.postMessage(pendingView);
  pendingView = null;
});
function sendView(view) {
  const message = { type: 'view', serial: shown.serial, ...view };
  const text = JSON.stringify(message);
  if (text === sentView) return;
  sentView = text;
  pendingView = message;
  askForView();
}

// The part of the area (CSS pixels from its corner) inside the stage's
// scrollport, as whole picture pixels, at least one.
function seenPart() {
  const box = area.getBoundingClientRect();
  const port = stage.getBoundingClientRect();
  const left = port.left + stage.clientLeft, top = port.top + stage.clientTop;
  const x = Math.min(shown.width - 1, Math.max(0, Math.floor(left - box.left)));
  const y = Math.min(shown.height - 1, Math.max(0, Math.floor(top - box.top)));
  const right = Math.min(shown.width, Math.ceil(left + stage.clientWidth - box.left));
  const bottom = Math.min(shown.height, Math.ceil(top + stage.clientHeight - box.top));
  return { x, y, width: Math.max(1, right - x), height: Math.max(1, bottom - y) };
}

// Fit: the whole picture in the room below the facts, enlarged when small,
// the canvas drawn at that size in device pixels (at most the picture's:
// an enlarged one is scaled up by the page, pixels kept sharp). 1:1: the
// area as large as the picture, and the canvas (sticky, see viewer.css)
// the part of it one sees.
function layout() {
  if (shown === null) {
    setSize(area, null, null);
    setSize(canvas, null, null);
    canvas.classList.remove('enlarged');
    return;
  }
  const ratio = window.devicePixelRatio || 1;
  if (stage.classList.contains('fit')) {
    const style = getComputedStyle(stage);
    const roomWidth = stage.clientWidth - parseFloat(style.paddingLeft) - parseFloat(style.paddingRight);
    const roomHeight = stage.clientHeight - parseFloat(style.paddingTop) - parseFloat(style.paddingBottom) -
      $('facts').getBoundingClientRect().height - parseFloat(getComputedStyle($('facts')).marginBottom);
    const scale = Math.max(0, Math.min(roomWidth / shown.width, roomHeight / shown.height));
    const width = Math.max(1, Math.floor(shown.width * scale)), height = Math.max(1, Math.floor(shown.height * scale));
    setSize(area, width, height);
    setSize(canvas, width, height);
    canvas.classList.toggle('enlarged', scale > 1);
    sendView({ mode: 'fit', width: Math.round(width * ratio), height: Math.round(height * ratio) });
  } else {
    setSize(area, shown.width, shown.height);
    const part = seenPart();
    setSize(canvas, part.width, part.height);
    canvas.classList.remove('enlarged');
    sendView({ mode: 'actual', ...part });
  }
}
new ResizeObserver(layout).observe(stage);
// At 1:1 each scroll shows another part: laid out again once a frame.
let layoutFrame = 0;
stage.addEventListener('scroll', () => {
  if (layoutFrame === 0 && stage.classList.contains('actual')) {
    layoutFrame = requestAnimationFrame(() => {
      layoutFrame = 0;
      layout();
    });
  }
}, { passive: true });

// A refused file leaves nothing of the one before: no picture, no facts,
// nothing to save under the old name.
function clearPicture() {
  shown = null;
  canvas.setAttribute('aria-label', 'No picture open');
  $('facts').hidden = true;
  for (const id of ['fact-name', 'fact-size', 'fact-bytes', 'fact-time', 'fact-coding', 'fact-stream']) $(id).textContent = '';
  layout();
}

function open(file) {
  if (!file) return;
  if (busy !== null) {
    say(`Still busy with ${busy}: ${file.name} was not opened. Open it again when this is done.`, true);
    return;
  }
  setBusy(file.name);
  bar.removeAttribute('value');
  say(`Opening ${file.name}…`);
  worker.postMessage({ type: 'open', file });
}

function zoom(actual) {
  stage.classList.toggle('fit', !actual);
  stage.classList.toggle('actual', actual);
  $('fit').setAttribute('aria-pressed', String(!actual));
  $('actual').setAttribute('aria-pressed', String(actual));
  layout();
}

function download(blob, name) {
  const url = URL.createObjectURL(blob);
  const link = document.createElement('a');
  link.href = url;
  link.download = name;
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(url), 60_000);
}

const PHASES = { reading: 'Reading', decoding: 'Decoding', drawing: 'Drawing', encoding: 'Encoding' };

worker.onmessage = ({ data }) => {
  if (data.type === 'progress') {
    if (data.total > 0) {
      bar.max = data.total;
      bar.value = data.loaded;
      say(`${PHASES[data.phase]}… ${Math.floor((100 * data.loaded) / data.total)}%`);
    } else {
      bar.removeAttribute('value');
      say(`${PHASES[data.phase]}…`);
    }
  } else if (data.type === 'picture') {
    shown = { serial: data.serial, name: data.name, width: data.width, height: data.height };
    canvas.setAttribute('aria-label', `${data.name}, ${data.width} × ${data.height} pixels`);
    $('fact-name').textContent = data.name;
    $('fact-size').textContent = `${data.width} × ${data.height}`;
    $('fact-bytes').textContent = `${data.fileBytes.toLocaleString('en')} bytes`;
    $('fact-time').textContent = `${data.decodeMs.toFixed(1)} ms`;
    $('fact-coding').textContent = data.coding === null ? '— (not a KX file)'
      : `0x${data.coding.toString(16).padStart(2, '0')}`;
    $('fact-stream').textContent = data.complete ? 'complete'
      : `ended early: ${data.decodedPixels} of ${data.width * data.height} pixels decoded, the rest completed`;
    $('facts').hidden = false;
    shown.status = `${data.name}: ${data.width} × ${data.height}${data.complete ? '' : ', stream ended early'}`;
    layout();
  } else if (data.type === 'shown') {
    // Drawn for the first time: opened.
    if (data.serial !== shown?.serial) return;
    stage.dataset.state = 'shown';
    setBusy(null);
    say(shown.status);
  } else if (data.type === 'file') {
    setBusy(null);
    download(data.blob, data.name);
    say(`Saved ${data.name} (${data.blob.size} bytes)`);
  } else if (data.type === 'error') {
    if (data.during === 'open') clearPicture();
    setBusy(null);
    stage.dataset.state = 'error';
    say(data.message, true);
  }
};

$('file').addEventListener('change', (e) => open(e.target.files[0]));
$('fit').addEventListener('click', () => zoom(false));
$('actual').addEventListener('click', () => zoom(true));
$('save-png').addEventListener('click', () => {
  setBusy(shown.name);
  worker.postMessage({ type: 'save-png' });
});
$('save-kx').addEventListener('click', () => {
  setBusy(shown.name);
  worker.postMessage({ type: 'save-kx', level: Number($('level').value) });
});
stage.addEventListener('dragover', (e) => {
  e.preventDefault();
  stage.classList.add('dragging');
});
stage.addEventListener('dragleave', () => stage.classList.remove('dragging'));
stage.addEventListener('drop', (e) => {
  e.preventDefault();
  stage.classList.remove('dragging');
  open(e.dataTransfer.files[0]);
});
