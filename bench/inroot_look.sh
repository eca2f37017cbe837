#!/usr/bin/env bash
# How long tools/inroot's look for programs chrooted into older roots takes
# on this machine, as it is loaded now: its one find over /proc, against a
# readlink per process (the way an earlier version looked, once per root).
# Prints the median and range of each and their ratio.
#
#   bench/inroot_look.sh [rounds]      (default 9; outside the environment)
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/../tools/inroot"
rounds=${1:-9}

readlink_each() {
    local p
    for p in /proc/[0-9]*/root; do readlink "$p" >/dev/null 2>&1 || true; done
}

# Milliseconds of each of ROUNDS runs of CMD, sorted.
times_of() {
    local i start
    for ((i = 0; i < rounds; i++)); do
        start=$(date +%s%N)
        "$@"
        echo $((($(date +%s%N) - start) / 1000000))
    done | sort -n
}

mapfile -t look < <(times_of ol_look_for_chroots)
mapfile -t each < <(times_of readlink_each)
mid=$((rounds / 2))
procs=(/proc/[0-9]*)
echo "processes: ${#procs[@]}"
echo "one find:         median ${look[mid]} ms (${look[0]}-${look[-1]})"
echo "readlink each:    median ${each[mid]} ms (${each[0]}-${each[-1]})"
echo "ratio: $(awk -v a="${look[mid]}" -v b="${each[mid]}" 'BEGIN { printf "%.3f", (a > 0 ? a : 1) / b }')"
