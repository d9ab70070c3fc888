#!/usr/bin/env bash
# Whole-process `kro verify` reading a real block device with a cold page cache, each figure against
# its yardsticks in the same rounds, interleaved in shuffled order, medians of $REPS (default 5),
# through read_overlap_bench:
# - 2 GiB in 8 v3 files of 256 MiB at --jobs 8 and at --jobs 1, each against the larger of the
#   bare verification loop on the same files with the page cache hot (8 threads, one thread) and
#   the device's own time for them (8 direct reads at once), target at least 0.9; beside them
#   f3read on 2 GiB that f3write made on the same device, when f3 is installed;
# - one 2 GiB v3 file at --jobs 8 (its lanes share one file) and one 2 GiB v2 file at --jobs 8,
#   the same measure;
# - with a second build directory given (a baseline), its kro in the same rounds, and then
#   50,000 files of 4 KiB at --jobs 8 against it, target at most 1.2 times its time.
# Needs root, to drop the page cache before every run, and $KRO_BENCH_DIR on a disk file system
# (the page cache of a memory file system is its storage). The stores are removed at the end.
set -euo pipefail
build=${1:?bench build directory}
baseline=${2:-}
reps=${REPS:-5}
kro="$build/kro"
bench="$build/read_overlap_bench"
[ -x "$kro" ] && [ -x "$bench" ] || { echo "verify_device: $kro or $bench is not built" >&2; exit 1; }
if [ "$(id -u)" -ne 0 ] || ! echo 1 >/proc/sys/vm/drop_caches 2>/dev/null; then
    echo "verify_device: skipped, dropping the page cache needs root"
    exit 0
fi
dir=${KRO_BENCH_DIR:-}
if [ -z "$dir" ] || [ "$(stat -f -c %T "$dir")" = tmpfs ]; then
    echo "verify_device: skipped, set KRO_BENCH_DIR to a directory on a disk file system"
    exit 0
fi
tmp=$(mktemp -d "$dir/kro-device-bench.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

now_ns() { date +%s%N; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
cold() { sync; echo 3 >/proc/sys/vm/drop_caches; }

"$kro" gen --directory "$tmp/large" --max-files 8 --file-size 256MB --seed device --jobs 8 >/dev/null
"$kro" gen --directory "$tmp/one" --max-files 1 --file-size 2GB --seed device --jobs 8 >/dev/null
"$kro" gen --directory "$tmp/v2" --max-files 1 --file-size 2GB --format v2 --jobs 8 >/dev/null
cases=v3x8/floor-hot,v3x8/kro-verify,v3x1/floor-hot,v3x1/kro-verify,dev/direct-huge-8,dev/buffered-8
cases+=,v3one/floor-hot,v3one/device-8,v3one/kro-verify,v2/floor-hot,v2/device-8,v2/kro-verify
args=(--v3 "$tmp/large" --v3-one "$tmp/one" --v2 "$tmp/v2" --kro "$kro" --rounds "$reps")
if command -v f3write >/dev/null && command -v f3read >/dev/null; then
    mkdir "$tmp/f3"
    if f3write --end-at=2 "$tmp/f3" >/dev/null 2>&1; then
        args+=(--f3 "$tmp/f3")
        cases+=,dev/f3read
    fi
fi
if [ -n "$baseline" ]; then
    [ -x "$baseline/kro" ] || { echo "verify_device: $baseline/kro is not built" >&2; exit 1; }
    args+=(--baseline "$baseline/kro")
    cases+=,v3x8/kro-baseline,v3x1/kro-baseline,v3one/kro-baseline,v2/kro-baseline
fi
"$bench" "${args[@]}" --only "$cases" | sed -n '/^case /,$p'
rm -rf "$tmp/large" "$tmp/one" "$tmp/v2" "$tmp/f3"

[ -n "$baseline" ] || exit 0
# Elapsed nanoseconds of one command run with a cold cache; what it prints is thrown away.
timed_cold() {
    cold
    local start end
    start=$(now_ns)
    "$@" >/dev/null 2>&1 || true
    end=$(now_ns)
    echo $((end - start))
}
"$kro" gen --directory "$tmp/small" --max-files 50000 --file-size 4KB --seed device >/dev/null 2>&1
: >"$tmp/new" >"$tmp/old"
for _ in $(seq "$reps"); do
    timed_cold "$kro" verify --directory "$tmp/small" --jobs 8 >>"$tmp/new"
    timed_cold "$baseline/kro" verify --directory "$tmp/small" --jobs 8 >>"$tmp/old"
done
awk -v n="$(median <"$tmp/new")" -v o="$(median <"$tmp/old")" 'BEGIN {
    printf "cold verify --jobs 8 of 50,000 files of 4 KiB: %.2f s against %.2f s of the baseline\n", n / 1e9, o / 1e9
    printf "  ratio %.2f (target <= 1.2) %s\n", n / o, (n / o <= 1.2) ? "ok" : "ABOVE TARGET"
}'
