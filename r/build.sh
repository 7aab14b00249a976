#!/usr/bin/env bash
# Assembles the R package in a folder (default build-r/morvex): the package's own
# files from r/morvex, the program's sources from estimation/ and matrix/ (copied
# here, never edited twice) and the bundled tables from examples/.
#   r/build.sh [FOLDER] && R CMD INSTALL build-r/morvex
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build-r}
mkdir -p "$out"
out=$(cd "$out" && pwd)
pkg=$out/morvex
rm -rf "$pkg"
cp -R "$root/r/morvex" "$pkg"
mkdir -p "$pkg/inst/extdata"
cp "$root"/examples/*.csv "$pkg/inst/extdata/"
objects=(entry.o json_to_r.o)
cd "$root"
for file in estimation/*/*.cpp estimation/*/*/*.cpp estimation/*/*.hpp estimation/*/*/*.hpp matrix/*.hpp; do
  [ "$file" = estimation/app/main.cpp ] && continue
  mkdir -p "$pkg/src/$(dirname "$file")"
  cp "$file" "$pkg/src/$file"
  case $file in *.cpp) objects+=("${file%.cpp}.o") ;; esac
done
# R's own build compiles the list (no GNU make extension is needed); the
# package's configure then adds the compiler's flags.
sed "s|@OBJECTS@|${objects[*]}|" "$root/r/morvex/src/Makevars.in" >"$pkg/src/Makevars.in"
echo "assembled $pkg: install it with: R CMD INSTALL $pkg"
