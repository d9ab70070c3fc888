#!/usr/bin/env bash
# Memory that `kro verify` holds per file of a store: the peak resident set of a whole-process
# verification of 50,000 clean files of 4 KiB, less that of an empty store, divided by the file
# count; for --jobs 1 and 8, the median of three runs each. Target: at most 450 bytes per file.
# The stores go to $KRO_BENCH_DIR, else the temporary directory, and are removed at the end.
set -euo pipefail
build=${1:?bench build directory}
kro="$build/kro"
[ -x "$kro" ] || { echo "verify_footprint: $kro is not built" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "verify_footprint: needs GNU time (/usr/bin/time)" >&2; exit 1; }
files=50000
tmp=$(mktemp -d "${KRO_BENCH_DIR:-${TMPDIR:-/tmp}}/kro-footprint.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

"$kro" gen --directory "$tmp/store" --max-files "$files" --file-size 4KB --seed footprint >/dev/null 2>&1
"$kro" gen --directory "$tmp/empty" --max-files 0 >/dev/null 2>&1

# Peak resident set in KiB of one verification, as the kernel accounts it for the finished child.
# GNU time, because a launcher's own peak counts towards its child's: time's is far below kro's.
peak_kib() {
    /usr/bin/time -f %M -o "$tmp/peak" "$kro" verify --directory "$@" >/dev/null 2>&1 ||
        { echo "verify_footprint: kro verify --directory $* failed" >&2; exit 1; }
    cat "$tmp/peak"
}

median_of_three() {
    for _ in 1 2 3; do peak_kib "$@"; done | sort -n | sed -n 2p
}

echo "kro verify, peak resident set per file of $files clean files of 4 KiB, less an empty store"
for jobs in 1 8; do
    full=$(median_of_three "$tmp/store" --jobs "$jobs")
    empty=$(median_of_three "$tmp/empty" --jobs "$jobs")
    awk -v jobs="$jobs" -v full="$full" -v empty="$empty" -v files="$files" 'BEGIN {
        per_file = (full - empty) * 1024 / files
        printf "--jobs %d: %6d KiB vs %5d KiB empty  %6.0f bytes per file (target <= 450) %s\n",
            jobs, full, empty, per_file, per_file <= 450 ? "ok" : "ABOVE TARGET"
    }'
done
