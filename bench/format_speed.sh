#!/bin/sh
# Times one run of 100,000 synthetic five-category studies in each output
# format and prints each format's CPU time against CSV's (the goal: text and
# JSON within 1.5 times). CPU time (user + system) rather than wall time, so
# that other work on a shared machine weighs less.
#   bench/format_speed.sh MORVEX MORVEX_SYNTHETIC [RUNS]
set -eu
morvex=$1
synthetic=$2
runs=${3:-3}
table=$(mktemp --suffix=.csv)
trap 'rm -f "$table"' EXIT
"$synthetic" table 100000 4 > "$table"
best() { # the least CPU seconds of $runs runs of one format
    for _ in $(seq "$runs"); do
        /usr/bin/time -f '%U %S' "$morvex" --format="$1" "$table" 2>&1 >/dev/null |
            awk '{ print $1 + $2 }'
    done | sort -g | head -n 1
}
csv=$(best csv)
for format in csv text json; do
    seconds=$(best "$format")
    awk -v f="$format" -v s="$seconds" -v c="$csv" \
        'BEGIN { printf "%-5s %6.2f s CPU  %.2f times CSV\n", f, s, s / c }'
done
