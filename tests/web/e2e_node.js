// Every end-to-end case run by the WebAssembly build under node, byte for byte
// against the expected files; then whole runs on the published tables (JSON,
// CSV and the picture) against the native program.
//   node tests/web/e2e_node.js BUILD_WEB_FOLDER NATIVE_MORVEX [PUBLISHED_TABLES]
'use strict';

const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawnSync } = require('child_process');
const { load } = require('./morvex_module.js');

const [buildFolder, nativeArg, publishedTables] = process.argv.slice(2);
const native = path.resolve(nativeArg);
const root = path.resolve(__dirname, '..', '..');
let passed = 0;
let failed = 0;

function check(name, ok, detail) {
  if (ok) {
    passed += 1;
  } else {
    failed += 1;
    console.log(`FAIL ${name}: ${detail}`);
  }
}

// Copies a folder of the repository into the module's file system at the same path.
function mirror(FS, from, to) {
  FS.mkdirTree(to);
  for (const entry of fs.readdirSync(from, { withFileTypes: true })) {
    if (entry.isDirectory()) {
      mirror(FS, path.join(from, entry.name), `${to}/${entry.name}`);
    } else {
      FS.writeFile(`${to}/${entry.name}`, fs.readFileSync(path.join(from, entry.name)));
    }
  }
}

// CMake's execute_process, through which run_case.cmake reads the program's
// output, turns each CR LF into LF: the expected files have LF there.
function asCMakeReads(bytes) {
  return Buffer.from(bytes.toString('latin1').replace(/\r\n/g, '\n'), 'latin1');
}

function listing(FS, folder) {
  return new Set(FS.readdir(folder));
}

// A case as tests/e2e/run_case.cmake runs it: <name>.args holds the arguments,
// one per line (none in an empty file), else the argument is <name>.txt.
function caseArgs(base, name) {
  if (!fs.existsSync(`${base}.args`)) {
    return [`${name}.txt`];
  }
  return fs.readFileSync(`${base}.args`, 'utf8').split('\n').filter((line) => line !== '');
}

// A case that reads standard input ('-') runs in a module of its own, whose
// standard input holds the case's <name>.stdin: a C++ stream that has met the
// end of its input stays there.
async function moduleWithStdin(stdinFile) {
  const morvex = await load(buildFolder, fs.readFileSync(stdinFile));
  mirror(morvex.FS, path.join(root, 'tests', 'e2e'), '/repo/tests/e2e');
  mirror(morvex.FS, path.join(root, 'examples'), '/repo/examples');
  return morvex;
}

async function runCases(shared, suite) {
  const folder = path.join(root, 'tests', 'e2e', suite);
  const virtual = `/repo/tests/e2e/${suite}`;
  for (const file of fs.readdirSync(folder).filter((f) => f.endsWith('.out')).sort()) {
    const name = file.slice(0, -4);
    const base = path.join(folder, name);
    const morvex = fs.existsSync(`${base}.stdin`) ? await moduleWithStdin(`${base}.stdin`) : shared;
    const expectedOut = fs.readFileSync(`${base}.out`);
    const expectedErr = fs.existsSync(`${base}.err`) ? fs.readFileSync(`${base}.err`) : Buffer.alloc(0);
    const expectedStatus = fs.existsSync(`${base}.status`)
      ? Number(fs.readFileSync(`${base}.status`, 'utf8').trim()) : 0;
    morvex.FS.chdir(virtual);
    const before = listing(morvex.FS, virtual);
    // With <name>.summary the case also writes the summary table, with
    // <name>.paragraph the results paragraph, each compared below.
    const written = [['summary', 'csv'], ['paragraph', 'txt']]
      .filter(([kind]) => fs.existsSync(`${base}.${kind}`))
      .map(([kind, extension]) => ({ kind, file: `${virtual}/${name}.${kind}.${extension}` }));
    const got = morvex.run(caseArgs(base, name).concat(written.map((w) => `--${w.kind}=${w.file}`)));
    let sameFiles = true;
    for (const { kind, file } of written) {
      let bytes = Buffer.from(`(no ${kind} written)`);
      try {
        bytes = Buffer.from(morvex.FS.readFile(file));
      } catch (e) {
        // compared as missing
      }
      sameFiles = sameOutput(bytes, fs.readFileSync(`${base}.${kind}`)) && sameFiles;
    }
    // Files a case wrote (a picture) go, so that each case finds the folder as it is.
    for (const entry of listing(morvex.FS, virtual)) {
      if (!before.has(entry)) {
        morvex.FS.unlink(`${virtual}/${entry}`);
      }
    }
    const id = `${suite}/${name}`;
    const out = asCMakeReads(got.out);
    const err = asCMakeReads(got.err);
    // The program computes its own elementary functions, so every byte agrees.
    const identical = sameOutput(out, expectedOut) && sameOutput(err, expectedErr) && sameFiles;
    check(id, got.status === expectedStatus && identical,
      `status ${got.status} (expected ${expectedStatus})\n--- out\n${got.out}\n--- err\n${got.err}`);
  }
}

// Output of the two builds alike, byte for byte. The numbers are counted,
// and where the texts differ only in numbers, the numbers that differ, so that
// a failure says how far apart the two builds are.
let differingNumbers = 0;
let numbersCompared = 0;
function sameOutput(got, expected) {
  const a = got.toString('latin1');
  const b = expected.toString('latin1');
  const nb = b.match(NUMBER) || [];
  numbersCompared += nb.length;
  if (got.equals(expected)) {
    return true;
  }
  const na = a.match(NUMBER) || [];
  if (a.replace(NUMBER, '#') === b.replace(NUMBER, '#')) {
    differingNumbers += na.filter((x, i) => x !== nb[i]).length;
  }
  return false;
}
const NUMBER = /-?\d+(\.\d+)?(e[-+]?\d+)?/g;

// The same arguments to the native program, in a copy of the folder, and to the
// WebAssembly build: standard output, standard error, status and picture.
function compareWithNative(morvex, folder, virtual, args, id) {
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'morvex-web-'));
  for (const file of fs.readdirSync(folder)) {
    fs.copyFileSync(path.join(folder, file), path.join(scratch, file));
  }
  const expected = spawnSync(native, args, { cwd: scratch, maxBuffer: 1 << 28 });
  morvex.FS.chdir(virtual);
  const got = morvex.run(args);
  const picture = `${virtual}/picture.svg`;
  const gotPicture = morvex.FS.analyzePath(picture).exists ? Buffer.from(morvex.FS.readFile(picture)) : null;
  if (gotPicture) {
    morvex.FS.unlink(picture);
  }
  const nativePicture = path.join(scratch, 'picture.svg');
  const expectedPicture = fs.existsSync(nativePicture) ? fs.readFileSync(nativePicture) : null;
  fs.rmSync(scratch, { recursive: true });
  const samePicture = gotPicture === null ? expectedPicture === null
    : expectedPicture !== null && gotPicture.equals(expectedPicture);
  const sameOut = sameOutput(got.out, expected.stdout);
  check(id, got.status === expected.status && sameOut && got.err.equals(expected.stderr) && samePicture,
    `status ${got.status} (native ${expected.status}), out ${sameOut}, `
    + `err ${got.err.equals(expected.stderr)}, picture ${samePicture}\n${got.err}`);
}

// Doses of every magnitude, in random texts of up to 17 digits, read and written
// back by both builds: the JSON's "doses" arrays must be identical, text for
// text (reading and the shortest number text, with no arithmetic between).
function randomDoses(morvex) {
  let seed = 20261207;
  const random = () => {
    seed = (seed * 1103515245 + 12345) % 2147483648;
    return seed / 2147483648;
  };
  const rows = ['id,type,dose,cases,n,rr,lb,ub'];
  for (let study = 0; study < 1000; study += 1) {
    const doses = [0];
    for (let k = 1; k < 4; k += 1) {
      const v = 10 ** (random() * 400 - 200) * (1 + random());
      const digits = 1 + Math.floor(random() * 17);
      doses.push(doses[k - 1] + Number(v.toPrecision(digits)));
    }
    const text = doses.map((d, k) => (k === 0 ? '0' : random() < 0.5 ? d.toPrecision(17) : String(d)));
    rows.push(`s${study},cc,${text[0]},100,200,,,`);
    for (let k = 1; k < 4; k += 1) {
      rows.push(`s${study},cc,${text[k]},${100 + k},${200 + k},${1 + k / 10},${0.8 + k / 10},${1.3 + k / 10}`);
    }
  }
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'morvex-doses-'));
  fs.writeFileSync(path.join(folder, 'doses.csv'), `${rows.join('\n')}\n`);
  const expected = spawnSync(native, ['--format=json', 'doses.csv'], { cwd: folder, maxBuffer: 1 << 28 });
  fs.rmSync(folder, { recursive: true });
  morvex.FS.mkdirTree('/doses');
  morvex.FS.writeFile('/doses/doses.csv', `${rows.join('\n')}\n`);
  morvex.FS.chdir('/doses');
  const got = morvex.run(['--format=json', 'doses.csv']);
  const doses = (out) => out.toString().match(/"doses": \[[^\]]*\]/g) || [];
  const a = doses(got.out);
  const b = doses(expected.stdout);
  check('random doses read and written alike', a.length === 1000 && a.join() === b.join(),
    `${a.length} studies with doses; first difference: ${a.find((x, i) => x !== b[i])}`);
}

async function main() {
  const morvex = await load(buildFolder);
  mirror(morvex.FS, path.join(root, 'tests', 'e2e'), '/repo/tests/e2e');
  mirror(morvex.FS, path.join(root, 'examples'), '/repo/examples');
  await runCases(morvex, 'cases');
  await runCases(morvex, 'published');
  randomDoses(morvex);
  const runs = [['cases', ['--pool', '--increment=10', '--plot=picture.svg', '--format=csv',
    'table-study-faults.csv', 'table-warnings.csv', 'one-exposed-category.txt']],
  ['tables', ['--pool', '--format=json', '--plot=picture.svg', 'alcohol_cvd.csv']]];
  for (const example of fs.readdirSync(path.join(root, 'examples'))) {
    runs.push(['../../examples', ['--format=json', '--pool', '--plot=picture.svg', example]]);
  }
  for (const [folder, args] of runs) {
    const real = path.join(root, 'tests', 'e2e', folder);
    compareWithNative(morvex, real, path.posix.join('/repo/tests/e2e', folder), args,
      `native ${folder} ${args.join(' ')}`);
  }
  const before = [numbersCompared, differingNumbers];
  if (publishedTables) {
    mirror(morvex.FS, publishedTables, '/published');
    for (const table of fs.readdirSync(publishedTables).filter((f) => f.endsWith('.csv')).sort()) {
      for (const format of ['--format=json', '--format=csv', '--format=text']) {
        compareWithNative(morvex, publishedTables, '/published',
          [format, '--pool', '--increment=10', '--plot=picture.svg', table], `native ${table} ${format}`);
      }
    }
  }
  console.log(`published tables, both builds: ${numbersCompared - before[0]} numbers compared, `
    + `${differingNumbers - before[1]} differing`);
  console.log(`all runs: ${numbersCompared} numbers compared, ${differingNumbers} differing`);
  console.log(`${passed} passed, ${failed} failed`);
  process.exit(failed === 0 && passed > 0 ? 0 : 1);
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
