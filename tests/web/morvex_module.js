// Runs the WebAssembly build of Morvex the way the page does: files written to
// its in-memory file system, the arguments of a command line, and the exit
// status with standard output and error as bytes.
'use strict';

const fs = require('fs');
const path = require('path');

// With stdinBytes the module's standard input holds those bytes, then ends;
// without, it is empty.
async function load(buildFolder, stdinBytes = Buffer.alloc(0)) {
  const createMorvex = require(path.resolve(buildFolder, 'morvex.js'));
  let next = 0;
  // Node's own fetch takes no file paths: the module gets its bytes directly.
  const module = await createMorvex({
    wasmBinary: fs.readFileSync(path.resolve(buildFolder, 'morvex.wasm')),
    print: () => {},
    printErr: () => {},
    stdin: () => (next < stdinBytes.length ? stdinBytes[next++] : null),
  });
  const read = (at, size) => Buffer.from(module.HEAPU8.slice(at, at + size));
  return {
    FS: module.FS,
    run(args) {
      const words = Buffer.concat(args.map((a) => Buffer.concat([Buffer.from(a), Buffer.from([0])])));
      const at = module._malloc(words.length + 1);
      module.HEAPU8.set(words, at);
      const status = module._morvex_run(at, words.length);
      module._free(at);
      return {
        status,
        out: read(module._morvex_output(), module._morvex_output_size()),
        err: read(module._morvex_error(), module._morvex_error_size()),
      };
    },
  };
}

module.exports = { load };
