#!/usr/bin/env bash
# Whole-process cost of `kro verify` on stores that choose how much work it does, each against its
# yardstick in the same run, the runs interleaved (A B A B ...), medians of $REPS (default 5):
# - 60,000 chain-tip markers whose IDs share their first eight bytes against 60,000 random ones
#   (stores of markers and an aggregate only): the time ratio, target at most 2;
# - one 4 MiB v3 file of random bytes at --chunk-size 1 --jobs 8: peak RSS (/usr/bin/time) per
#   region of its Error Analysis, target at most 80 bytes;
# - one 16 MiB v3 file with 15 damaged stretches at --chunk-size 1: --jobs 1 against --jobs 8,
#   target at most 10 times the time;
# - eight damaged 64 MiB v3 files at --jobs 8 --chunk-size 67108864, each analysed on one lane:
#   peak RSS, target at most 400 MB (the analysis buffers stay within the run's 256 MiB budget).
# A second build directory, if given, is measured in the same run for comparison (a baseline).
set -euo pipefail
build=${1:?bench build directory}
baseline=${2:-}
reps=${REPS:-5}
kro="$build/kro"
[ -x "$kro" ] || { echo "verify_cost: $kro is not built" >&2; exit 1; }
[ -z "$baseline" ] || [ -x "$baseline/kro" ] || { echo "verify_cost: $baseline/kro is not built" >&2; exit 1; }
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kro-cost-bench.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

now_ns() { date +%s%N; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# Elapsed nanoseconds of one verify run; what it prints is thrown away.
timed() {
    local bin=$1
    shift
    local start end
    start=$(now_ns)
    "$bin" verify "$@" >/dev/null 2>&1 || true
    end=$(now_ns)
    echo $((end - start))
}

# Peak resident set of one verify run, in bytes.
peak_rss() {
    local bin=$1
    shift
    /usr/bin/time -f %M -o "$tmp/rss" "$bin" verify "$@" >/dev/null 2>&1 || true
    echo $(($(tail -n 1 "$tmp/rss") * 1024))
}

# `count` lower-case hex names of `digits` random digits each, one a line.
random_hex() {
    local count=$1 digits=$2
    od -An -v -tx1 -N $((count * digits / 2)) /dev/urandom | tr -d ' \n' | fold -w "$digits"
    echo
}

# A store of chain-tip markers named by the lines of `names`, and their aggregate.
marker_store() {
    local store=$1 names=$2
    mkdir -p "$store/.metadata/roots"
    (cd "$store/.metadata/roots" && xargs touch) <"$names"
    LC_ALL=C sort "$names" | tr -d '\n' | b2sum -l 160 | cut -c1-40 | tr -d '\n' >"$store/.metadata/all"
}

# Overwrites `count` bytes of `file` at `offset` with random bytes.
noise_at() {
    local file=$1 offset=$2 count=$3
    head -c "$count" /dev/urandom | dd of="$file" bs=1M seek="$offset" oflag=seek_bytes conv=notrunc status=none
}

# The content file of a store of one file.
only_file() { find "$1" -path "$1/.metadata" -prune -o -type f -print; }

random_hex 60000 40 | grep . >"$tmp/random.txt"
random_hex 60000 24 | grep . | sed 's/^/0123456789abcdef/' >"$tmp/colliding.txt"
marker_store "$tmp/random" "$tmp/random.txt"
marker_store "$tmp/colliding" "$tmp/colliding.txt"

"$kro" gen --directory "$tmp/noise" --max-files 1 --file-size 4194304 --seed cost >/dev/null 2>&1
noise_at "$(only_file "$tmp/noise")" 60 $((4194304 - 60))

"$kro" gen --directory "$tmp/stretches" --max-files 1 --file-size 16777216 --seed cost >/dev/null 2>&1
stretched=$(only_file "$tmp/stretches")
for i in $(seq 0 14); do noise_at "$stretched" $((i * 1118481 + 4099)) 20000; done

"$kro" gen --directory "$tmp/large" --max-files 8 --file-size 67108864 --seed cost >/dev/null 2>&1
find "$tmp/large" -path "$tmp/large/.metadata" -prune -o -type f -print |
    while read -r file; do noise_at "$file" 1048576 20000; done

regions=$({ "$kro" verify --directory "$tmp/noise" --chunk-size 1 --jobs 8 2>/dev/null || true; } |
    awk '/^  Regions: / { print $2; exit }')

report() {
    local label=$1 bin=$2
    local colliding=() random=() rss=() one=() eight=() large=()
    for _ in $(seq "$reps"); do
        colliding+=("$(timed "$bin" --directory "$tmp/colliding")")
        random+=("$(timed "$bin" --directory "$tmp/random")")
    done
    for _ in $(seq 3); do rss+=("$(peak_rss "$bin" --directory "$tmp/noise" --chunk-size 1 --jobs 8)"); done
    for _ in $(seq "$reps"); do
        one+=("$(timed "$bin" --directory "$tmp/stretches" --chunk-size 1 --jobs 1)")
        eight+=("$(timed "$bin" --directory "$tmp/stretches" --chunk-size 1 --jobs 8)")
    done
    for _ in $(seq 3); do
        large+=("$(peak_rss "$bin" --directory "$tmp/large" --jobs 8 --chunk-size 67108864)")
    done
    local c r m o e l
    c=$(printf '%s\n' "${colliding[@]}" | median)
    r=$(printf '%s\n' "${random[@]}" | median)
    m=$(printf '%s\n' "${rss[@]}" | median)
    o=$(printf '%s\n' "${one[@]}" | median)
    e=$(printf '%s\n' "${eight[@]}" | median)
    l=$(printf '%s\n' "${large[@]}" | median)
    awk -v label="$label" -v c="$c" -v r="$r" -v m="$m" -v n="$regions" -v o="$o" -v e="$e" -v l="$l" 'BEGIN {
        printf "%s\n", label
        printf "  60,000 markers, shared 8-byte prefix vs random   %8.3f s vs %8.3f s  ratio %6.2f (target <= 2)\n", c / 1e9, r / 1e9, c / r
        printf "  4 MiB of noise, chunk 1, jobs 8: %d regions    peak %7.1f MiB  %6.1f bytes a region (target <= 80)\n", n, m / 1048576, m / n
        printf "  16 MiB, 15 damaged stretches, chunk 1: jobs 1 vs 8 %8.3f s vs %8.3f s  ratio %6.2f (target <= 10)\n", o / 1e9, e / 1e9, o / e
        printf "  8 damaged files of 64 MiB, chunk 64 MiB, jobs 8:  peak %7.1f MB (target <= 400)\n", l / 1e6
    }'
}

report "kro verify ($build)" "$kro"
[ -z "$baseline" ] || report "baseline ($baseline)" "$baseline/kro"
