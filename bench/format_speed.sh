#!/bin/sh
# Times the read yardstick and Morvex in each output format on 100,000
# synthetic five-category studies, and prints each as a ratio to the
# yardstick (a program that only reads the table and converts its numbers with
# std::from_chars), with peak resident memory against the table's size.
# Each format runs with the default threads, then with --threads=1.
# The programs take turns, one run of each per round, so that a shared
# machine's slow spells fall on all of them alike; each figure is the median
# of RUNS rounds, wall time to the millisecond and CPU time (user + system).
#   bench/format_speed.sh BUILD_BENCH_FOLDER [RUNS]
set -eu
build=$1
runs=${2:-5}
morvex=$build/estimation/Morvex
table=$(mktemp --suffix=.csv)
times=$(mktemp)
one=$(mktemp)
trap 'rm -f "$table" "$times" "$one"' EXIT
"$build/bench/morvex_synthetic" table 100000 4 > "$table"
size=$(wc -c < "$table")
names="yardstick csv text json csv1 text1 json1"
command_of() {
    case $1 in
    yardstick) echo "$build/bench/read_yardstick $table" ;;
    *1) echo "$morvex --format=${1%1} --threads=1 $table" ;;
    *) echo "$morvex --format=$1 $table" ;;
    esac
}
# Appends "NAME WALL CPU KB" for one run of NAME.
run_one() {
    start=$(date +%s%N)
    # shellcheck disable=SC2046 # the command's words
    /usr/bin/time -o "$one" -f '%U %S %M' $(command_of "$1") > /dev/null
    end=$(date +%s%N)
    awk -v n="$1" -v w="$(( (end - start) / 1000 ))" '{ printf "%s %.6f %.2f %d\n", n, w / 1e6, $1 + $2, $3 }' \
        "$one" >> "$times"
}
for _ in $(seq "$runs"); do
    for name in $names; do
        run_one "$name"
    done
done
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
field() { awk -v n="$1" -v f="$2" '$1 == n { print $f }' "$times" | median; }
wall0=$(field yardstick 2)
cpu0=$(field yardstick 3)
printf 'table: %.1f MiB, medians of %d rounds\n' "$(echo "$size" | awk '{ print $1 / 1048576 }')" "$runs"
for name in $names; do
    awk -v n="$name" -v w="$(field "$name" 2)" -v u="$(field "$name" 3)" -v m="$(field "$name" 4)" \
        -v w0="$wall0" -v u0="$cpu0" -v s="$size" 'BEGIN {
        label = n
        if (n ~ /1$/) label = substr(n, 1, length(n) - 1) " 1 thread"
        if (n == "yardstick") {
            printf "%-13s %6.3f s wall  %6.3f s CPU                           peak %5.1f MiB\n", label, w, u, m / 1024
        } else {
            printf "%-13s %6.3f s wall  %6.3f s CPU  %5.2f / %5.2f times  peak %5.1f MiB (table + %.1f MiB)\n",
                label, w, u, w / w0, u / u0, m / 1024, (m * 1024 - s) / 1048576
        }
    }'
done
