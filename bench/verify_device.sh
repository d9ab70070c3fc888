#!/usr/bin/env bash
# Whole-process `kro verify` reading a real block device with a cold page cache, each figure against
# its yardstick in the same run, the runs interleaved (A B A B ...), medians of $REPS (default 5):
# - 2 GiB in 8 v3 files of 256 MiB at --jobs 8 against the device's own rate for the same files
#   (8 parallel `dd iflag=direct bs=1M`), target at least 0.9 of it; and against the reader of the
#   fill-and-check tool f3 on 2 GiB that its writer made on the same device, when it is installed
#   (f3write, f3read), target not slower;
# - 50,000 files of 4 KiB at --jobs 8 against the kro of a second build directory, when given (a
#   baseline), target at most 1.2 times its time.
# Needs root, to drop the page cache before every run, and $KRO_BENCH_DIR on a disk file system
# (the page cache of a memory file system is its storage). The stores are removed at the end.
set -euo pipefail
build=${1:?bench build directory}
baseline=${2:-}
reps=${REPS:-5}
kro="$build/kro"
[ -x "$kro" ] || { echo "verify_device: $kro is not built" >&2; exit 1; }
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

# Elapsed nanoseconds of one command run with a cold cache; what it prints is thrown away.
timed_cold() {
    cold
    local start end
    start=$(now_ns)
    "$@" >/dev/null 2>&1 || true
    end=$(now_ns)
    echo $((end - start))
}

direct_reads() {
    for f in "$@"; do dd if="$f" of=/dev/null bs=1M iflag=direct 2>/dev/null & done
    wait
}

"$kro" gen --directory "$tmp/large" --max-files 8 --file-size 256MB --seed device --jobs 8 >/dev/null
mapfile -t large_files < <(find "$tmp/large" -path "$tmp/large/.metadata" -prune -o -type f -print)
have_f3=0
if command -v f3write >/dev/null && command -v f3read >/dev/null; then
    mkdir "$tmp/f3"
    f3write --end-at=2 "$tmp/f3" >/dev/null 2>&1 && have_f3=1
fi
: >"$tmp/kro" >"$tmp/dd" >"$tmp/f3read"
for _ in $(seq "$reps"); do
    timed_cold "$kro" verify --directory "$tmp/large" --jobs 8 >>"$tmp/kro"
    timed_cold direct_reads "${large_files[@]}" >>"$tmp/dd"
    [ "$have_f3" -eq 0 ] || timed_cold f3read "$tmp/f3" >>"$tmp/f3read"
done
kro_ns=$(median <"$tmp/kro")
dd_ns=$(median <"$tmp/dd")
echo "cold reads of 2 GiB in 8 files of 256 MiB, medians of $reps"
awk -v k="$kro_ns" -v d="$dd_ns" 'BEGIN {
    bytes = 8 * 268435456
    printf "  kro verify --jobs 8: %7.0f MB/s\n  dd iflag=direct x 8: %7.0f MB/s\n", bytes / k * 1e3, bytes / d * 1e3
    printf "  kro / device: %.2f (target >= 0.9) %s\n", d / k, (d / k >= 0.9) ? "ok" : "BELOW TARGET"
}'
if [ "$have_f3" -eq 1 ]; then
    f3_ns=$(median <"$tmp/f3read")
    awk -v k="$kro_ns" -v f="$f3_ns" 'BEGIN {
        printf "  f3read of 2 GiB:     %7.0f MB/s\n", 2 * 1073741824 / f * 1e3
        printf "  kro / f3read, speed on the same amount: %.2f (target >= 1) %s\n", f / k, (f >= k) ? "ok" : "SLOWER"
    }'
fi
rm -rf "$tmp/large" "$tmp/f3"

[ -n "$baseline" ] || exit 0
[ -x "$baseline/kro" ] || { echo "verify_device: $baseline/kro is not built" >&2; exit 1; }
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
