// The page around Morvex: it writes the data into the module's in-memory file
// system, runs the program's own run() with a command line, and lays out what
// the program wrote. Every number, message and picture is the program's.
'use strict';

// The command line's options, one line each. type: flag (on or off), choice,
// number or text (a value, left out when empty; a choice of '' is the
// program's default), picture (an SVG file the run writes, shown and offered
// for download), output (a file the run writes, offered for download). --format is the page's own
// choice: the results come from the CSV report, the others are made on demand.
const OPTIONS = [
  { arg: '--pool', type: 'flag', label: 'Pool the studies (fixed effect, DerSimonian-Laird and REML random effects)' },
  { arg: '--increment', type: 'number', label: 'Also give the slopes per this much dose (as a ratio, or a difference of means)', placeholder: 'e.g. 10' },
  { arg: '--measure', type: 'choice', choices: ['', 'md', 'smd'], value: '',
    label: 'A table of means (mean, sd, n): mean differences (md) or standardised ones (smd)' },
  { arg: '--knapp-hartung', type: 'flag', label: 'Knapp-Hartung limits of the random-effects summaries (pools)' },
  { arg: '--leave-one-out', type: 'flag', label: 'Leave each study out in turn (pools)' },
  { arg: '--egger', type: 'flag', label: "Egger's test for small-study effects (pools)" },
  { arg: '--by', type: 'text', label: 'Pool the subgroups of this table column (pools)', placeholder: 'e.g. type' },
  { arg: '--summary', type: 'output', value: 'summary.csv', checked: true, pooled: true,
    label: 'Write the summary table of the pooling and analyses (when pooling)' },
  { arg: '--plot', type: 'picture', value: 'forest.svg', checked: true,
    label: 'Draw a picture: a forest plot of the studies, the dose-response plot of one study, or the pooled curve' },
  { arg: '--model', type: 'choice', choices: ['', 'fixed', 'dl', 'reml', 'all'], value: '',
    label: "The forest plot's diamonds and weights" },
  { arg: '--title', type: 'text', label: "Every picture's title", placeholder: 'the input file name' },
  { arg: '--unit', type: 'text', label: "The dose's unit, in the report's headings and the pictures' axes", placeholder: 'e.g. g/day' },
  { arg: '--funnel', type: 'picture', value: 'funnel.svg', label: 'Draw a funnel plot of the pooled studies' },
  { arg: '--trend', type: 'choice', choices: ['', 'linear', 'quadratic', 'spline'], value: '',
    label: 'Pool the trends with this shape (curve)' },
  { arg: '--knots', type: 'text', label: 'Spline knots: a number from 3 to 7, or doses', placeholder: 'e.g. 4 or 0,15,50' },
  { arg: '--one-stage', type: 'flag', label: 'Pool the trend in one model over all exposed categories' },
  { arg: '--at', type: 'text', label: 'Doses at which to give the pooled curve', placeholder: 'e.g. 0,10,20' },
  { arg: '--reference-dose', type: 'number', label: 'The dose the curve is against', placeholder: 'the smallest dose' },
];

// The options that pool, so that the summary table (marked `pooled`) is only asked for with them.
const POOLING = ['--pool', '--knapp-hartung', '--leave-one-out', '--egger', '--by'];

const EXAMPLES = [
  'alcohol-colorectal-cancer.csv',
  'sodium-blood-pressure.csv',
  'alcohol-breast-cancer.txt',
  'worked-case-control.txt',
  'worked-cohort.txt',
];

const STATUS_TEXT = {
  0: 'every study was estimated',
  1: 'refused: the command line, or the one setting file, could not be used',
  3: 'stopped: the estimation of the one setting file stopped, or a picture could not be written',
  4: 'some study or file was refused or stopped; every other study is reported',
};

const $ = (id) => document.getElementById(id);
let morvex = null;
let runCount = 0;
let last = null; // the last run: its folder, arguments and outputs

// ---- the options, built from the table above ----

function optionControl(option, index) {
  const box = document.createElement('div');
  box.className = 'option';
  const id = `option-${index}`;
  const label = document.createElement('label');
  label.htmlFor = id;
  label.textContent = option.label;
  const code = document.createElement('code');
  code.textContent = option.arg;
  let control;
  if (option.type === 'choice') {
    control = document.createElement('select');
    for (const choice of option.choices) {
      control.add(new Option(choice || '(the default)', choice, false, choice === option.value));
    }
  } else {
    control = document.createElement('input');
    control.type = option.type === 'number' ? 'text' : option.type === 'flag' ? 'checkbox' : 'text';
    if (option.type === 'number') {
      control.inputMode = 'decimal';
    }
    if (option.placeholder) {
      control.placeholder = option.placeholder;
    }
  }
  control.id = id;
  control.dataset.arg = option.arg;
  if (option.type === 'picture' || option.type === 'output') {
    const check = document.createElement('input');
    check.type = 'checkbox';
    check.id = `${id}-on`;
    check.checked = Boolean(option.checked);
    check.setAttribute('aria-label', `${option.label}: on or off`);
    control.value = option.value;
    control.setAttribute('aria-label', `${option.label}: file name`);
    label.htmlFor = check.id;
    option.on = check;
    box.append(check, label, code, control);
  } else if (option.type === 'flag') {
    control.checked = Boolean(option.checked);
    box.append(control, label, code);
  } else {
    box.append(label, code, control);
  }
  option.control = control;
  box.addEventListener('input', showCommandLine);
  box.addEventListener('change', showCommandLine);
  return box;
}

function optionArgs() {
  const args = [];
  for (const option of OPTIONS) {
    const value = option.type === 'flag' ? '' : option.control.value.trim();
    if (option.type === 'flag') {
      if (option.control.checked) {
        args.push(option.arg);
      }
    } else if (option.type === 'picture' || option.type === 'output') {
      if (option.on.checked && (!option.pooled || pools(args))) {
        args.push(`${option.arg}=${value}`);
      }
    } else if (value !== '') {
      args.push(`${option.arg}=${value}`);
    }
  }
  return args;
}

const pools = (args) => args.some((a) => POOLING.includes(a.split('=')[0]));

const writesFile = (option) => option.type === 'picture' || option.type === 'output';

// The files the run is asked to write, with the option that asks.
function outputNames(args) {
  const names = [];
  for (const option of OPTIONS.filter(writesFile)) {
    const word = args.find((a) => a.startsWith(`${option.arg}=`));
    if (word) {
      names.push({ arg: option.arg, name: word.slice(option.arg.length + 1), picture: option.type === 'picture' });
    }
  }
  return names;
}

// ---- inputs ----

// A table's header names its columns, among them id and dose; anything else
// is taken for a setting file, whose title may hold commas too.
function guessName(text) {
  const first = text.split(/\r?\n/, 1)[0].toLowerCase();
  for (const [separator, name] of [['\t', 'pasted.tsv'], [',', 'pasted.csv']]) {
    const columns = first.split(separator).map((c) => c.trim().replace(/^"|"$/g, ''));
    if (columns.includes('id') && columns.includes('dose')) {
      return name;
    }
  }
  return 'pasted.txt';
}

async function inputs() {
  const list = [];
  const text = $('paste').value;
  if (text.trim() !== '') {
    list.push({ name: $('paste-name').value.trim() || guessName(text), bytes: new TextEncoder().encode(text) });
  }
  for (const file of $('files').files) {
    list.push({ name: file.name, bytes: new Uint8Array(await file.arrayBuffer()) });
  }
  return list;
}

function showCommandLine() {
  const names = [];
  if ($('paste').value.trim() !== '') {
    names.push($('paste-name').value.trim() || guessName($('paste').value));
  }
  for (const file of $('files').files) {
    names.push(file.name);
  }
  const quote = (w) => (/^[\w.,=+:/@%-]+$/.test(w) ? w : `'${w.replace(/'/g, "'\\''")}'`);
  $('command-line').textContent = ['Morvex', ...optionArgs(), ...names].map(quote).join(' ');
}

// ---- running the program ----

function call(args) {
  const words = new TextEncoder().encode(args.map((a) => `${a}\0`).join(''));
  const at = morvex._malloc(words.length + 1);
  morvex.HEAPU8.set(words, at);
  const status = morvex._morvex_run(at, words.length);
  morvex._free(at);
  const bytes = (p, n) => morvex.HEAPU8.slice(p, p + n);
  return {
    status,
    out: bytes(morvex._morvex_output(), morvex._morvex_output_size()),
    err: bytes(morvex._morvex_error(), morvex._morvex_error_size()),
  };
}

function withFormat(args, format) {
  // Ahead of everything: after "--" it would be a file name.
  const end = args.includes('--') ? args.indexOf('--') : args.length;
  const options = args.slice(0, end).filter((a) => !a.startsWith('--format='));
  return [`--format=${format}`, ...options, ...args.slice(end)];
}

// The arguments for a second run of the same inputs, which draws no picture.
function withoutPictures(args) {
  const end = args.includes('--') ? args.indexOf('--') : args.length;
  const drawn = OPTIONS.filter(writesFile).map((o) => `${o.arg}=`);
  const options = args.slice(0, end).filter((a) => !drawn.some((d) => a.startsWith(d)));
  return [...options, ...args.slice(end)];
}

function readOutputs(folder, names) {
  const files = [];
  for (const { arg, name, picture } of names) {
    const at = name.startsWith('/') ? name : `${folder}/${name}`;
    if (morvex.FS.analyzePath(at).exists) {
      files.push({ arg, name: name.split('/').pop(), bytes: morvex.FS.readFile(at), picture });
      morvex.FS.unlink(at);
    }
  }
  return files;
}

async function estimate() {
  const start = performance.now();
  delete document.body.dataset.took;
  const files = await inputs();
  const names = files.map((f) => f.name);
  const twice = names.find((n, i) => names.indexOf(n) !== i);
  if (twice !== undefined) {
    showPageProblem(`Two inputs are named "${twice}": give the pasted data another file name.`);
    return;
  }
  // Each run gets a fresh folder, so that a file of an earlier run is never read.
  const folder = `/run-${++runCount}`;
  morvex.FS.mkdir(folder);
  for (const file of files) {
    if (file.name.includes('/') || file.name === '' || file.name === '.' || file.name === '..') {
      showPageProblem(`"${file.name}" cannot be a file name here: give the pasted data a plain name.`);
      return;
    }
    morvex.FS.writeFile(`${folder}/${file.name}`, file.bytes);
  }
  morvex.FS.chdir(folder);
  const args = [...optionArgs(), ...(names.length > 0 ? ['--'] : []), ...names];
  // One run gives the table (the CSV report: the program's own number text),
  // the messages and the pictures; the other formats are made when asked for.
  const shown = call(withFormat(args, 'csv'));
  const pictures = readOutputs(folder, outputNames(args));
  last = { folder, args, names, outputs: { csv: shown.out } };
  showResults(shown, pictures);
  // The time from the click to the next frame drawn with the results, for tests.
  requestAnimationFrame(() => setTimeout(() => {
    document.body.dataset.took = String(Math.round(performance.now() - start));
  }));
}

// ---- results ----

const decoder = new TextDecoder();

function showPageProblem(text) {
  $('results').hidden = false;
  $('exit-status').textContent = text;
  $('exit-status').className = 'status-other';
}

function showMessages(err) {
  const list = $('messages');
  list.replaceChildren();
  const lines = decoder.decode(err).split('\n').filter((l) => l !== '');
  for (const line of lines) {
    const item = document.createElement('li');
    const where = /^Morvex: (.+?):(\d+): (warning: )?/.exec(line);
    item.className = where && where[3] ? 'warning' : 'refusal';
    item.textContent = line;
    list.append(item);
  }
  $('messages-box').hidden = lines.length === 0;
}

// RFC 4180 records: quoted fields may hold commas, quotes and line ends.
function parseCsv(text) {
  const rows = [];
  let row = [];
  let field = '';
  let quoted = false;
  for (let i = 0; i < text.length; i += 1) {
    const c = text[i];
    if (quoted) {
      if (c === '"' && text[i + 1] === '"') {
        field += '"';
        i += 1;
      } else if (c === '"') {
        quoted = false;
      } else {
        field += c;
      }
    } else if (c === '"') {
      quoted = true;
    } else if (c === ',') {
      row.push(field);
      field = '';
    } else if (c === '\n' || c === '\r') {
      if (c === '\r' && text[i + 1] === '\n') {
        i += 1;
      }
      row.push(field);
      rows.push(row);
      row = [];
      field = '';
    } else {
      field += c;
    }
  }
  if (field !== '' || row.length > 0) {
    row.push(field);
    rows.push(row);
  }
  return rows;
}

function cell(tag, text, className) {
  const c = document.createElement(tag);
  c.textContent = text;
  if (className) {
    c.className = className;
  }
  return c;
}

// The overall pooling, from the summary table the run wrote (--summary): the
// CSV report holds the studies alone.
function showPooled(summary) {
  const rows = summary ? parseCsv(decoder.decode(summary.bytes)) : [];
  const header = rows.length > 0 ? rows.shift() : [];
  const at = (r, column) => r[header.indexOf(column)];
  const pooled = rows.filter((r) => at(r, 'analysis') === 'overall');
  $('pooled-box').hidden = pooled.length === 0;
  if (pooled.length === 0) {
    return;
  }
  const names = { fixed: 'Fixed effect', dl: 'DerSimonian-Laird', reml: 'REML' };
  const columns = [['estimate', 'beta'], ['se', 'se'], ['lower', 'lower'], ['upper', 'upper'], ['p', 'p']];
  const table = $('pooled');
  table.replaceChildren();
  const head = table.createTHead().insertRow();
  for (const title of ['Model', 'Slope (beta)', 'SE', 'Lower 95%', 'Upper 95%', 'p']) {
    head.append(cell('th', title));
  }
  const body = table.createTBody();
  const details = $('pooled-details');
  details.replaceChildren();
  const figures = ['k', 'tau2', 'Q', 'df', 'p_Q', 'I2', 'pi_lower', 'pi_upper', 'note'];
  for (const r of pooled) {
    const model = at(r, 'model');
    const tr = body.insertRow();
    tr.id = `pooled-${model}`;
    tr.append(cell('th', names[model] || model));
    for (const [column, name] of columns) {
      tr.append(cell('td', at(r, column), `pooled-${name}`));
    }
    const shown = figures.filter((f) => header.includes(f) && at(r, f) !== '');
    details.append(cell('li', `${names[model] || model}: ${shown.map((f) => `${f}=${at(r, f)}`).join(' ')}`));
  }
  $('pooled-note').textContent = `The pooled rows are those of the summary table, ${summary.name}.`;
}

// The studies, sorted as asked, shown a page of rows at a time: a table of
// ten thousand rows would take the browser longer to lay out than the run.
const PAGE_ROWS = 100;
const studies = { header: [], rows: [], first: 0 };

function compareCells(column, ascending) {
  const numeric = studies.rows.every((r) => r[column] === '' || Number.isFinite(Number(r[column])));
  return (a, b) => {
    const x = a[column];
    const y = b[column];
    if (x === '' || y === '') {
      return (x === '') - (y === ''); // empty cells last either way
    }
    const order = numeric ? Number(x) - Number(y) : x.localeCompare(y);
    return ascending ? order : -order;
  };
}

function sortStudies(column, th) {
  const ascending = th.getAttribute('aria-sort') !== 'ascending';
  for (const other of th.parentElement.cells) {
    other.removeAttribute('aria-sort');
  }
  th.setAttribute('aria-sort', ascending ? 'ascending' : 'descending');
  studies.rows.sort(compareCells(column, ascending));
  studies.first = 0;
  showStudyRows();
}

function showStudyRows() {
  const { header, rows, first } = studies;
  const body = document.createElement('tbody');
  const status = header.indexOf('status');
  for (const r of rows.slice(first, first + PAGE_ROWS)) {
    const tr = document.createElement('tr');
    tr.className = r[status];
    r.forEach((value, column) => tr.append(cell('td', value, header[column] === 'message' ? 'message' : '')));
    body.append(tr);
  }
  const table = $('studies');
  if (table.tBodies[0]) {
    table.tBodies[0].replaceWith(body);
  } else {
    table.append(body);
  }
  const last = Math.min(first + PAGE_ROWS, rows.length);
  $('study-count').textContent = `Studies ${first + 1} to ${last} of ${rows.length}.`;
  $('previous-rows').disabled = first === 0;
  $('next-rows').disabled = last >= rows.length;
}

function showStudies(header, rows) {
  studies.header = header;
  studies.rows = rows.filter((r) => r[header.indexOf('status')] !== 'pooled');
  studies.first = 0;
  $('studies-box').hidden = studies.rows.length === 0;
  const table = $('studies');
  table.replaceChildren();
  if (studies.rows.length === 0) {
    return;
  }
  const head = table.createTHead().insertRow();
  header.forEach((title, column) => {
    const th = cell('th', '');
    th.scope = 'col';
    const button = cell('button', title);
    button.type = 'button';
    button.addEventListener('click', () => sortStudies(column, th));
    th.append(button);
    head.append(th);
  });
  showStudyRows();
}

function turnPage(step) {
  studies.first = Math.max(0, Math.min(studies.first + step * PAGE_ROWS, studies.rows.length - 1));
  showStudyRows();
}

function download(name, bytes, type) {
  const link = document.createElement('a');
  link.textContent = `Download ${name}`;
  link.download = name;
  link.href = URL.createObjectURL(new Blob([bytes], { type }));
  return link;
}

function stem() {
  const first = last.names[0] || 'morvex';
  return first.replace(/\.[^.]*$/, '') || first;
}

// The report in a format not yet run is made when asked for.
function reportLink(format, extension, type) {
  const name = `${stem()}-morvex.${extension}`;
  if (last.outputs[format]) {
    return download(name, last.outputs[format], type);
  }
  const button = cell('button', format === 'text' ? `Show the report and make ${name}` : `Make ${name}`);
  button.type = 'button';
  button.addEventListener('click', () => {
    morvex.FS.chdir(last.folder);
    last.outputs[format] = call(withFormat(withoutPictures(last.args), format)).out;
    const link = download(name, last.outputs[format], type);
    button.replaceWith(link);
    link.focus();
    if (format === 'text') {
      $('report').textContent = decoder.decode(last.outputs.text);
      $('report-heading').hidden = false;
    }
  });
  return button;
}

function showPictures(pictures) {
  const box = $('pictures');
  for (const img of box.querySelectorAll('img')) {
    URL.revokeObjectURL(img.src);
  }
  box.replaceChildren();
  for (const picture of pictures.filter((p) => p.picture)) {
    const figure = document.createElement('figure');
    const img = document.createElement('img');
    img.src = URL.createObjectURL(new Blob([picture.bytes], { type: 'image/svg+xml' }));
    img.alt = `The picture ${picture.name} drawn by Morvex`;
    img.decoding = 'async'; // a forest of thousands of studies is drawn after the table
    img.loading = 'lazy';
    figure.append(img, cell('figcaption', picture.name));
    box.append(figure);
  }
  return pictures.map((p) => download(p.name, p.bytes, p.picture ? 'image/svg+xml' : 'text/plain'));
}

function showResults(shown, pictures) {
  $('results').hidden = false;
  const text = STATUS_TEXT[shown.status] || '';
  $('exit-status').textContent = `Exit status ${shown.status}${text ? `: ${text}` : ''}.`;
  $('exit-status').className = shown.status === 0 ? 'status-0' : 'status-other';
  showMessages(shown.err);
  const rows = parseCsv(decoder.decode(shown.out));
  const header = rows.length > 0 && rows[0][0] === 'input' ? rows.shift() : [];
  showPooled(pictures.find((p) => p.arg === '--summary'));
  showStudies(header, rows);
  const links = showPictures(pictures);
  for (const link of $('downloads').querySelectorAll('a')) {
    URL.revokeObjectURL(link.href);
  }
  $('downloads').replaceChildren(
    reportLink('csv', 'csv', 'text/csv'),
    reportLink('json', 'json', 'application/json'),
    reportLink('text', 'txt', 'text/plain'),
    ...links,
  );
  $('report').textContent = '';
  $('report-heading').hidden = true;
  $('results-heading').focus();
}

// ---- start ----

async function loadExample(name) {
  const response = await fetch(`examples/${name}`);
  $('paste').value = await response.text();
  $('paste-name').value = name;
  showCommandLine();
}

function setUp() {
  const options = $('options');
  OPTIONS.forEach((option, index) => options.append(optionControl(option, index)));
  for (const name of EXAMPLES) {
    const button = cell('button', name);
    button.type = 'button';
    button.addEventListener('click', () => loadExample(name));
    $('example-buttons').append(button, ' ');
  }
  $('paste').addEventListener('input', () => {
    if (!$('paste-name').dataset.edited) {
      $('paste-name').value = guessName($('paste').value);
    }
    showCommandLine();
  });
  $('paste-name').addEventListener('input', () => {
    $('paste-name').dataset.edited = 'yes';
    showCommandLine();
  });
  $('files').addEventListener('change', showCommandLine);
  $('previous-rows').addEventListener('click', () => turnPage(-1));
  $('next-rows').addEventListener('click', () => turnPage(1));
  $('run').addEventListener('click', () => {
    estimate().catch((error) => showPageProblem(`The page failed: ${error}`));
  });
  showCommandLine();
  createMorvex({ print: () => {}, printErr: () => {} }).then((module) => {
    morvex = module;
    $('run').disabled = false;
    $('loading').textContent = 'Ready.';
    document.body.dataset.ready = 'yes';
  }, (error) => {
    $('loading').textContent = `Morvex could not be loaded: ${error}`;
  });
}

setUp();
