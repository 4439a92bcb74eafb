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
let shown = false;

let busy = false;

function say(text, isError = false) {
  status.textContent = text;
  status.classList.toggle('error', isError);
}

function setBusy(value) {
  busy = value;
  bar.hidden = !value;
  $('save-png').disabled = value || !shown;
  $('save-kx').disabled = value || !shown;
}

function open(file) {
  if (!file || busy) return;
  setBusy(true);
  bar.removeAttribute('value');
  say(`Opening ${file.name}…`);
  worker.postMessage({ type: 'open', file });
}

function zoom(actual) {
  stage.className = actual ? 'actual' : 'fit';
  $('fit').setAttribute('aria-pressed', String(!actual));
  $('actual').setAttribute('aria-pressed', String(actual));
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
    shown = true;
    canvas.setAttribute('aria-label', `${data.name}, ${data.width} × ${data.height} pixels`);
    $('fact-name').textContent = data.name;
    $('fact-size').textContent = `${data.width} × ${data.height}`;
    $('fact-coding').textContent = data.coding === null ? '— (not a KX file)'
      : `0x${data.coding.toString(16).padStart(2, '0')}`;
    $('fact-stream').textContent = data.complete ? 'complete'
      : `ended early: ${data.decodedPixels} of ${data.width * data.height} pixels decoded, the rest completed`;
    $('facts').hidden = false;
    stage.dataset.state = 'shown';
    setBusy(false);
    say(`${data.name}: ${data.width} × ${data.height}${data.complete ? '' : ', stream ended early'}`);
  } else if (data.type === 'file') {
    setBusy(false);
    download(data.blob, data.name);
    say(`Saved ${data.name} (${data.blob.size} bytes)`);
  } else if (data.type === 'error') {
    setBusy(false);
    stage.dataset.state = 'error';
    say(data.message, true);
  }
};

$('file').addEventListener('change', (e) => open(e.target.files[0]));
$('fit').addEventListener('click', () => zoom(false));
$('actual').addEventListener('click', () => zoom(true));
$('save-png').addEventListener('click', () => {
  setBusy(true);
  worker.postMessage({ type: 'save-png' });
});
$('save-kx').addEventListener('click', () => {
  setBusy(true);
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
