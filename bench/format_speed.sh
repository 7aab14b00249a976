#!/bin/sh
# Times the read yardstick and Morvex in each output format on 100,000
# synthetic five-category studies, and prints each as a ratio to the
# yardstick (a program that only reads the table and converts its numbers with
# std::from_chars), with peak resident memory against the table's size.
# Medians of RUNS runs of wall time and of CPU time (user + system); on a
# shared machine the CPU time is the steadier of the two. Each format runs
# with the default threads, then with --threads=1.
#   bench/format_speed.sh BUILD_BENCH_FOLDER [RUNS]
set -eu
build=$1
runs=${2:-5}
morvex=$build/estimation/Morvex
yardstick=$build/bench/read_yardstick
table=$(mktemp --suffix=.csv)
times=$(mktemp)
trap 'rm -f "$table" "$times"' EXIT
"$build/bench/morvex_synthetic" table 100000 4 > "$table"
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# Prints "WALL CPU KB", each the median of the runs.
measure() {
    : > "$times"
    for _ in $(seq "$runs"); do
        /usr/bin/time -o "$times" -a -f '%e %U %S %M' "$@" > /dev/null
    done
    printf '%s %s %s\n' "$(cut -d' ' -f1 "$times" | median)" \
        "$(awk '{ print $2 + $3 }' "$times" | median)" "$(cut -d' ' -f4 "$times" | median)"
}
size=$(wc -c < "$table")
set -- $(measure "$yardstick" "$table")
wall0=$1 user0=$2
awk -v w="$1" -v u="$2" -v m="$3" -v s="$size" 'BEGIN {
    printf "table: %.1f MiB\n", s / 1048576
    printf "%-12s %6.3f s wall  %6.3f s CPU                           peak %5.1f MiB\n", "yardstick", w, u, m / 1024 }'
# Each format with the threads the machine offers (the default), then on one.
for threads in default 1; do
    for format in csv text json; do
        option=--threads=$threads
        [ "$threads" = default ] && option=--format="$format"
        set -- $(measure "$morvex" --format="$format" "$option" "$table")
        awk -v f="$format" -v t="$threads" -v w="$1" -v u="$2" -v m="$3" -v w0="$wall0" -v u0="$user0" -v s="$size" 'BEGIN {
            printf "%-4s %-7s %6.3f s wall  %6.3f s CPU  %5.2f / %5.2f times  peak %5.1f MiB (table + %.1f MiB)\n",
                f, (t == "1" ? "1 thread" : ""), w, u, w / w0, u / u0, m / 1024, (m * 1024 - s) / 1048576 }'
    done
done
