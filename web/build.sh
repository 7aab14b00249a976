#!/usr/bin/env bash
# Builds the web page into a folder (default build-web/): the program's own
# code compiled to WebAssembly with Debian's emscripten, the page beside it,
# and Morvex.html, the whole page in one file that works opened from disk.
#   web/build.sh [FOLDER]      then   python3 -m http.server -d build-web 8000
#                              or open build-web/Morvex.html
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build-web}
command -v em++ >/dev/null || {
  echo "web/build.sh: em++ not found: install emscripten (Debian: apt-get install emscripten)" >&2
  exit 1
}
mkdir -p "$out"
# Debian's emscripten keeps its cache in /usr/share; a user without write access
# there gets one of their own.
if [ -z "${EM_CACHE:-}" ] && [ ! -w /usr/share/emscripten/cache ]; then
  export EM_CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/emscripten
fi
# Debian's emscripten runs its JavaScript tools with node and Debian's
# node-acorn, which a node of the machine's own finds only on this path.
export NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}
sources=()
for file in "$root"/estimation/*.cpp "$root"/estimation/*/*.cpp "$root"/estimation/*/*/*.cpp; do
  [ -f "$file" ] && [ "$(basename "$file")" != main.cpp ] && sources+=("$file")
done
# -fexceptions: the program reports refusals by exceptions, which emscripten
# turns off by default. -ffp-contract=off: no multiply and add fused into one
# rounding, as in the native build, so that both give the same bits.
# MODULARIZE: the page's workers and the node test make a fresh module each.
em++ -std=c++17 -O2 -fexceptions -ffp-contract=off -Wall -Wextra -Wpedantic -Werror -I"$root" \
  "${sources[@]}" "$root/web/entry.cpp" -o "$out/morvex.js" \
  -sMODULARIZE=1 -sEXPORT_NAME=createMorvex -sENVIRONMENT=web,worker,node \
  -sALLOW_MEMORY_GROWTH=1 -sFORCE_FILESYSTEM=1 -sDYNAMIC_EXECUTION=0 \
  -sEXPORTED_FUNCTIONS=_morvex_run,_morvex_output,_morvex_output_size,_morvex_error,_morvex_error_size,_morvex_option_list,_morvex_input_kind,_morvex_pools,_malloc,_free \
  -sEXPORTED_RUNTIME_METHODS=FS,HEAPU8
# The workers run emscripten's loader followed by the page's own worker script.
cat "$out/morvex.js" "$root/web/worker.js" >"$out/morvex-worker.js"
for file in index.html page.css figures.js csv.js controls.js results.js page.js; do
  cp "$root/web/$file" "$out/"
done
python3 "$root/web/bundle.py" "$root/web" "$root/examples" "$out"
echo "built $out: open $out/Morvex.html, or serve the folder: python3 -m http.server -d $out 8000"
