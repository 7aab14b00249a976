// The program in a Web Worker, so that the page stays responsive while it runs
// and can stop it. The build puts emscripten's loader (createMorvex) in front
// of this file. The page sends the compiled module, then questions, each with
// an id that its answer carries: what a command line would do ("describe"), a
// run, and a report of the last run in another format.
'use strict';

let morvex = null;
let runCount = 0;
const encoder = new TextEncoder();

function withBytes(bytes, f) {
  const at = morvex._malloc(bytes.length + 1);
  morvex.HEAPU8.set(bytes, at);
  try {
    return f(at, bytes.length);
  } finally {
    morvex._free(at);
  }
}

const words = (args) => encoder.encode(args.map((a) => `${a}\0`).join(''));
const heap = (at, size) => morvex.HEAPU8.slice(at, at + size);
const output = () => heap(morvex._morvex_output(), morvex._morvex_output_size());
const error = () => new TextDecoder().decode(heap(morvex._morvex_error(), morvex._morvex_error_size()));

function call(args) {
  const status = withBytes(words(args), (at, n) => morvex._morvex_run(at, n));
  return { status, out: output(), err: heap(morvex._morvex_error(), morvex._morvex_error_size()) };
}

const pools = (args) => withBytes(words(args), (at, n) => morvex._morvex_pools(at, n));

// The pasted text's file name, by the program's own reading of text without a
// name: a table (comma, semicolon or tab) or a setting file.
function pasteName(stem, bytes) {
  const kind = withBytes(bytes, (at, n) => morvex._morvex_input_kind(at, n));
  return { name: `${stem}${kind < 0 ? '.txt' : kind === 0 ? '.csv' : '.tsv'}`, table: kind >= 0 };
}

// The command line a run would have: the options, each file wanted that does
// not by itself make a run pool that would not (a summary table or a paragraph
// of a run of single studies), then the inputs.
function describe({ args, outputs, paste, names }) {
  const pasted = paste ? pasteName(paste.stem, paste.bytes) : null;
  const inputs = [...(pasted ? [pasted.name] : []), ...names];
  const ending = inputs.length > 0 ? ['--', ...inputs] : [];
  // Before any data, as for one setting file: a command line without inputs asks for no run.
  const asking = inputs.length > 0 ? ending : ['--', 'data'];
  const pooled = pools([...args, ...asking]) === 1;
  const asked = [];
  const skipped = [];
  for (const { option, name } of outputs) {
    const word = `${option}=${name}`;
    (pooled || pools([...args, word, ...asking]) !== 1 ? asked : skipped).push(word);
  }
  const command = [...args, ...asked, ...ending];
  pools(command); // its refusal, if any, for the page to show before the run
  return { command, pasted, skipped, refusal: error() };
}

function removeTree(path) {
  for (const entry of morvex.FS.readdir(path)) {
    if (entry !== '.' && entry !== '..') {
      const child = `${path}/${entry}`;
      if (morvex.FS.isDir(morvex.FS.stat(child).mode)) {
        removeTree(child);
      } else {
        morvex.FS.unlink(child);
      }
    }
  }
  morvex.FS.rmdir(path);
}

// Runs in a fresh folder (the last run's goes), with the CSV report on standard
// output; gives the files the command line names for its outputs.
function run(request) {
  if (runCount > 0) {
    morvex.FS.chdir('/');
    removeTree(`/run-${runCount}`);
  }
  const folder = `/run-${++runCount}`;
  morvex.FS.mkdir(folder);
  morvex.FS.chdir(folder);
  const plan = describe(request);
  const inputs = [...(plan.pasted ? [plan.pasted.name] : []), ...request.names];
  const twice = inputs.find((name, i) => inputs.indexOf(name) !== i);
  if (twice !== undefined) {
    return { problem: `Two inputs are named "${twice}": give the pasted data another name.` };
  }
  if (plan.pasted) {
    morvex.FS.writeFile(plan.pasted.name, request.paste.bytes);
  }
  for (const file of request.files) {
    morvex.FS.writeFile(file.name, file.bytes);
  }
  const start = performance.now();
  const result = call(['--format=csv', ...plan.command]);
  const took = performance.now() - start;
  const files = [];
  for (const { option, name } of request.outputs) {
    if (plan.command.includes(`${option}=${name}`) && morvex.FS.analyzePath(name).exists) {
      files.push({ option, name: name.split('/').pop(), bytes: morvex.FS.readFile(name) });
    }
  }
  return { ...result, ...plan, files, took };
}

function answer(message) {
  switch (message.type) {
    case 'describe':
      return describe(message);
    case 'run':
      return run(message);
    case 'report': // the last run again, in another format
      morvex.FS.chdir(`/run-${runCount}`);
      return call([`--format=${message.format}`, ...message.command]);
    default:
      throw new Error(`unknown question ${message.type}`);
  }
}

self.onmessage = (event) => {
  const message = event.data;
  if (message.type === 'start') {
    createMorvex({
      print: () => {},
      printErr: () => {},
      // The page compiled the module once; each worker only instantiates it.
      instantiateWasm: (imports, done) => {
        WebAssembly.instantiate(message.module, imports).then((instance) => done(instance, message.module));
        return {};
      },
    }).then((module) => {
      morvex = module;
      morvex._morvex_option_list();
      self.postMessage({ type: 'ready', options: JSON.parse(new TextDecoder().decode(output())) });
    }, (failure) => self.postMessage({ type: 'failed', message: String(failure) }));
    return;
  }
  try {
    self.postMessage({ id: message.id, ...answer(message) });
  } catch (failure) {
    self.postMessage({ id: message.id, failure: String(failure) });
  }
};
