#!/usr/bin/env bash
# Whole-process cost of a large verification report: `kro verify` on a store of 1,000 files,
# clean, and then with every file damaged (1,000 analyses) plus 4,500 stray files (9,000 more
# issue lines): 10,000 issues in all. Output goes to /dev/null; best of three. The difference
# between the two runs bounds what analysing, rendering and writing the report costs.
set -euo pipefail
build=${1:?bench build directory}
kro="$build/kro"
[ -x "$kro" ] || { echo "verify_report: $kro is not built" >&2; exit 1; }
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kro-report-bench.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
store="$tmp/store"

now_ns() { date +%s%N; }

best_of_three() {
    local best=0 start end ns
    for _ in 1 2 3; do
        start=$(now_ns)
        "$kro" verify --directory "$store" >/dev/null 2>&1 || true
        end=$(now_ns)
        ns=$((end - start))
        if [ "$best" -eq 0 ] || [ "$ns" -lt "$best" ]; then best=$ns; fi
    done
    echo "$best"
}

"$kro" gen --directory "$store" --max-files 1000 --file-size 16KB --seed report >/dev/null 2>&1
clean=$(best_of_three)

find "$store" -path "$store/.metadata" -prune -o -type f -print0 |
    xargs -0 -n 100 sh -c 'for f; do dd if=/dev/zero of="$f" bs=4096 seek=1 count=1 conv=notrunc status=none; done' sh
mkdir -p "$store/stray"
for i in $(seq 4500); do : >"$store/stray/file-$i"; done
issues=$({ "$kro" verify --directory "$store" 2>&1 >/dev/null || true; } | wc -l)
report_lines=$({ "$kro" verify --directory "$store" 2>/dev/null || true; } | wc -l)
damaged=$(best_of_three)

awk -v clean="$clean" -v damaged="$damaged" -v issues="$issues" -v lines="$report_lines" 'BEGIN {
    printf "verify, 1000 clean files                      %7.3f s\n", clean / 1e9
    printf "verify, %d issues, %d report lines      %7.3f s\n", issues, lines, damaged / 1e9
}'
