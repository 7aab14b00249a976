// The page around Morvex: the program runs in a Web Worker (the page stays
// responsive, shows how long a run has taken and can stop it); a second worker
// answers what a command line would do while the first is busy. The data go
// into the worker's in-memory file system; the results are the program's own
// output, laid out by RESULTS.
'use strict';

const $ = (id) => document.getElementById(id);
const STATUS_TEXT = {
  0: 'every study was estimated',
  1: 'refused: the command line, or the one setting file, could not be used',
  3: 'stopped: the estimation of the one setting file stopped, or an output could not be written',
  4: 'some study or file was refused or stopped; every other study is reported',
};
const EMBEDDED = self.MORVEX_EMBEDDED; // the single-file page: worker and WebAssembly inside it
const page = { compiled: null, runner: null, adviser: null, asked: new Map(), next: 1, last: null };

// ---- the workers ----

function makeWorker() {
  if (EMBEDDED) {
    return new Worker(URL.createObjectURL(new Blob([EMBEDDED.worker], { type: 'text/javascript' })));
  }
  return new Worker('morvex-worker.js');
}

async function compile() {
  if (EMBEDDED) {
    return WebAssembly.compile(Uint8Array.from(atob(EMBEDDED.wasm), (c) => c.charCodeAt(0)));
  }
  const response = await fetch('morvex.wasm');
  return WebAssembly.compile(await response.arrayBuffer());
}

// A worker with the module instantiated; resolves with the program's options.
function startWorker() {
  const worker = makeWorker();
  return new Promise((resolve, reject) => {
    worker.onmessage = (event) => {
      if (event.data.type === 'ready') {
        worker.onmessage = (e) => {
          const waiting = page.asked.get(e.data.id);
          page.asked.delete(e.data.id);
          if (waiting) {
            (e.data.failure ? waiting.reject(new Error(e.data.failure)) : waiting.resolve(e.data));
          }
        };
        resolve({ worker, options: event.data.options });
      } else {
        reject(new Error(event.data.message));
      }
    };
    worker.onerror = (event) => reject(new Error(event.message));
    worker.postMessage({ type: 'start', module: page.compiled });
  });
}

function ask(worker, message) {
  const id = page.next++;
  return new Promise((resolve, reject) => {
    page.asked.set(id, { resolve, reject, worker });
    worker.postMessage({ ...message, id });
  });
}

// ---- inputs ----

function pasted() {
  const text = $('paste').value;
  if (text.trim() === '') {
    return null;
  }
  return { stem: $('paste-name').value.trim() || 'pasted', bytes: new TextEncoder().encode(text) };
}

const fileNames = () => [...$('files').files].map((f) => f.name);

function nameProblem(stem) {
  if (stem.includes('/') || stem === '.' || stem === '..' || stem.startsWith('-')) {
    return `"${stem}" cannot be a file name here: give the pasted data a plain name.`;
  }
  return '';
}

// What the program would run, asked of the adviser after each change.
let describing = null;
function describe() {
  clearTimeout(describing);
  describing = setTimeout(async () => {
    if (!page.adviser) {
      return;
    }
    const { args, outputs } = CONTROLS.read();
    const plan = await ask(page.adviser, { type: 'describe', args, outputs, paste: pasted(), names: fileNames() });
    $('command-line').textContent = CONTROLS.commandLine(plan.command);
    $('paste-kind').textContent = plan.pasted
      ? `The program reads the pasted text as ${plan.pasted.table ? 'a table' : 'a setting file'}: ${plan.pasted.name}.`
      : '';
    const notes = [];
    if (plan.skipped.length > 0) {
      notes.push(`${plan.skipped.map((w) => w.split('=')[0]).join(' and ')}: written when the run pools.`);
    }
    if (plan.refusal) {
      notes.push(`The program would refuse this command line: ${plan.refusal}`);
    }
    $('plan-note').textContent = notes.join(' ');
    $('plan-note').className = plan.refusal ? 'refusal' : '';
  }, 120);
}

// ---- a run ----

let clock = null;
function working(on) {
  document.body.dataset.running = on ? 'yes' : 'no';
  $('run').disabled = on;
  $('cancel').disabled = !on;
  clearInterval(clock);
  const start = performance.now();
  $('elapsed').textContent = '';
  if (on) {
    $('run-status').textContent = 'Working\u2026';
    clock = setInterval(() => {
      $('elapsed').textContent = `${((performance.now() - start) / 1000).toFixed(0)} s`;
    }, 250);
  }
}

async function estimate() {
  const start = performance.now();
  delete document.body.dataset.took;
  const paste = pasted();
  const problem = paste ? nameProblem(paste.stem) : '';
  if (problem) {
    $('run-status').textContent = problem;
    return;
  }
  const files = [];
  for (const file of $('files').files) {
    files.push({ name: file.name, bytes: new Uint8Array(await file.arrayBuffer()) });
  }
  const { args, outputs } = CONTROLS.read();
  $('results').hidden = true;
  working(true);
  let result;
  try {
    result = await ask(page.runner, { type: 'run', args, outputs, paste, files, names: fileNames() });
  } catch (failure) {
    working(false);
    $('run-status').textContent = failure.cancelled ? failure.message : `The page failed: ${failure.message}`;
    return;
  }
  working(false);
  if (result.problem) {
    $('run-status').textContent = result.problem;
    return;
  }
  $('run-status').textContent = `Done in ${(result.took / 1000).toFixed(2)} s.`;
  showResult(result);
  requestAnimationFrame(() => setTimeout(() => {
    document.body.dataset.took = String(Math.round(performance.now() - start));
  }));
}

// Stops the run: its worker goes, a fresh one takes its place.
async function cancel() {
  const seconds = $('elapsed').textContent;
  page.runner.terminate();
  for (const [id, waiting] of page.asked) {
    if (waiting.worker === page.runner) {
      page.asked.delete(id);
      waiting.reject(Object.assign(new Error(`Cancelled after ${seconds || '0 s'}; nothing was kept.`), { cancelled: true }));
    }
  }
  page.runner = null;
  $('run').disabled = true;
  page.runner = (await startWorker()).worker;
  $('run').disabled = false;
}

// ---- results ----

function pictureName(file) {
  const named = {
    '--funnel': 'Funnel plot of the pooled studies',
    '--bubble': 'Bubble plot of the meta-regression',
    '--residuals': 'Decorrelated residuals of the trend against dose',
  };
  if (named[file.option]) {
    return named[file.option];
  }
  const trend = CONTROLS.value('trend');
  if (trend && trend !== 'linear' && file.option === '--plot') {
    return `Pooled dose-response curve (${trend})`;
  }
  const studies = CSV.parse(new TextDecoder().decode(page.last.out)).length - 1;
  return studies === 1 ? 'Dose-response plot of the study' : `Forest plot of the studies' slopes`;
}

function download(name, bytes, type) {
  const link = RESULTS.cell('a', `Download ${name}`);
  link.download = name;
  link.href = URL.createObjectURL(new Blob([bytes], { type }));
  return link;
}

function reportLink(format, extension, type) {
  const inputs = page.last.command.slice(page.last.command.indexOf('--') + 1);
  const stem = (inputs[0] || 'morvex').replace(/\.[^.]*$/, '');
  const name = `${stem}-morvex.${extension}`;
  if (format === 'csv') {
    return download(name, page.last.out, type);
  }
  const button = RESULTS.cell('button', format === 'text' ? `Show the report and make ${name}` : `Make ${name}`);
  button.type = 'button';
  button.addEventListener('click', async () => {
    button.disabled = true;
    const report = await ask(page.runner, { type: 'report', format, command: page.last.command });
    const link = download(name, report.out, type);
    button.replaceWith(link);
    link.focus();
    if (format === 'text') {
      $('report').textContent = new TextDecoder().decode(report.out);
      $('report-heading').hidden = false;
    }
  });
  return button;
}

function showResult(result) {
  page.last = result;
  $('results').hidden = false;
  const read = result.pasted
    ? ` The pasted text was read as ${result.pasted.table ? 'a table' : 'a setting file'} (${result.pasted.name}).` : '';
  $('exit-status').textContent = `Exit status ${result.status}: ${STATUS_TEXT[result.status] || 'see the messages'}.${read}`;
  $('exit-status').className = result.status === 0 ? 'status-0' : 'status-other';
  $('run-command').textContent = `Ran: ${CONTROLS.commandLine(result.command)}`;
  RESULTS.show(result);
  for (const old of document.querySelectorAll('#pictures img, #downloads a')) {
    URL.revokeObjectURL(old.src || old.href);
  }
  const figures = result.files.filter((f) => f.name.endsWith('.svg')).map((f) => {
    const figure = document.createElement('figure');
    const img = document.createElement('img');
    img.src = URL.createObjectURL(new Blob([f.bytes], { type: 'image/svg+xml' }));
    img.alt = `${pictureName(f)}, drawn by Morvex`;
    img.decoding = 'async';
    figure.append(img, RESULTS.cell('figcaption', `${pictureName(f)} (${f.name})`));
    return figure;
  });
  $('pictures').replaceChildren(...figures);
  $('downloads').replaceChildren(reportLink('csv', 'csv', 'text/csv'), reportLink('json', 'json', 'application/json'),
    reportLink('text', 'txt', 'text/plain'),
    ...result.files.map((f) => download(f.name, f.bytes, f.name.endsWith('.svg') ? 'image/svg+xml' : 'text/plain')));
  $('report').textContent = '';
  $('report-heading').hidden = true;
  $('results-heading').focus();
}

async function copyParagraph() {
  const text = $('paragraph').textContent;
  try {
    await navigator.clipboard.writeText(text);
  } catch (e) {
    const range = document.createRange();
    range.selectNodeContents($('paragraph'));
    getSelection().removeAllRanges();
    getSelection().addRange(range);
    document.execCommand('copy');
  }
  $('copy-status').textContent = 'Copied.';
}

// ---- start ----

function setUp() {
  for (const { name, text } of self.MORVEX_EXAMPLES || []) {
    const button = RESULTS.cell('button', name);
    button.type = 'button';
    button.addEventListener('click', () => {
      $('paste').value = text;
      $('paste-name').value = name.replace(/\.[^.]*$/, '');
      describe();
    });
    $('example-buttons').append(button, ' ');
  }
  for (const id of ['paste', 'paste-name', 'files', 'options']) {
    $(id).addEventListener('input', describe);
    $(id).addEventListener('change', describe);
  }
  $('previous-rows').addEventListener('click', () => RESULTS.turnPage(-1));
  $('next-rows').addEventListener('click', () => RESULTS.turnPage(1));
  $('run').addEventListener('click', () => {
    estimate().catch((failure) => {
      working(false);
      $('run-status').textContent = `The page failed: ${failure}`;
    });
  });
  $('cancel').addEventListener('click', cancel);
  $('full-precision').addEventListener('change', (e) => RESULTS.setFull(e.target.checked));
  $('copy-paragraph').addEventListener('click', copyParagraph);
  compile().then(async (compiled) => {
    page.compiled = compiled;
    const [runner, adviser] = await Promise.all([startWorker(), startWorker()]);
    page.runner = runner.worker;
    page.adviser = adviser.worker;
    CONTROLS.build(runner.options, $('options'));
    $('run').disabled = false;
    $('loading').textContent = 'Ready.';
    describe();
    document.body.dataset.ready = 'yes';
  }).catch((failure) => {
    $('loading').textContent = `Morvex could not be loaded: ${failure}`;
  });
}

setUp();
