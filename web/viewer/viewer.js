// The viewer page: controls and display only. Everything heavy runs in
// worker.js, so that the page answers at once even on 8192 x 8192 pictures.
const $ = (id) => document.getElementById(id);
const stage = $('stage');
const canvas = $('picture');
const status = $('status');
const bar = $('progress');
const worker = new Worker(new URL('./worker.js', import.meta.url), { type: 'module' });
// The worker draws into the canvas itself: painting a large picture's
// pixels never runs on this thread.
const offscreen = canvas.transferControlToOffscreen();
worker.postMessage({ type: 'canvas', canvas: offscreen }, [offscreen]);
let shown = null;  // {name, width, height} of the picture on show
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

// Fit: the whole picture in the room below the facts, enlarged when small.
function layout() {
  const fit = stage.classList.contains('fit') && shown !== null;
  let scale = 1;
  if (fit) {
    const style = getComputedStyle(stage);
    const roomWidth = stage.clientWidth - parseFloat(style.paddingLeft) - parseFloat(style.paddingRight);
    const roomHeight = stage.clientHeight - parseFloat(style.paddingTop) - parseFloat(style.paddingBottom) -
      $('facts').getBoundingClientRect().height - parseFloat(getComputedStyle($('facts')).marginBottom);
    scale = Math.max(0, Math.min(roomWidth / shown.width, roomHeight / shown.height));
  }
  canvas.style.width = fit ? `${Math.floor(shown.width * scale)}px` : '';
  canvas.style.height = fit ? `${Math.floor(shown.height * scale)}px` : '';
  canvas.classList.toggle('enlarged', fit && scale > 1);
}
new ResizeObserver(layout).observe(stage);

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
    shown = { name: data.name, width: data.width, height: data.height };
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
    layout();
    stage.dataset.state = 'shown';
    setBusy(null);
    say(`${data.name}: ${data.width} × ${data.height}${data.complete ? '' : ', stream ended early'}`);
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
