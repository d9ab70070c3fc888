#!/usr/bin/env bash
# Whole-process throughput of `kro gen`: many small files, and 2 GiB of 64 MiB files at several
# worker budgets. Each progress case runs once with standard error on a pipe (no display, no
# observer) and once on a pseudo-terminal (display and observer attached), best of three, so the
# cost of the progress path shows. Compare with the generation micro benchmarks of the same build,
# which write to the same place: $KRO_BENCH_DIR, else /dev/shm (a tmpfs), else the temporary directory.
set -euo pipefail
build=${1:?bench build directory}
kro="$build/kro"
[ -x "$kro" ] || { echo "gen_throughput: $kro is not built" >&2; exit 1; }
command -v script >/dev/null || { echo "gen_throughput: needs script(1) for the terminal runs" >&2; exit 1; }
parent=${KRO_BENCH_DIR:-}
if [ -z "$parent" ]; then
    if [ -d /dev/shm ]; then parent=/dev/shm; else parent=${TMPDIR:-/tmp}; fi
fi
tmp=$(mktemp -d "$parent/kro-gen-bench.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

now_ns() { date +%s%N; }

# Runs one generation into a fresh store; prints the elapsed nanoseconds.
one_run() {
    local terminal=$1
    shift
    rm -rf "$tmp/store"
    local start end
    start=$(now_ns)
    if [ "$terminal" = tty ]; then
        script -qec "$(printf '%q ' "$kro" gen --directory "$tmp/store" "$@")" /dev/null >/dev/null
    else
        "$kro" gen --directory "$tmp/store" "$@" 2>/dev/null
    fi
    end=$(now_ns)
    echo $((end - start))
}

# label, terminal (pipe|tty), repetitions, gen arguments...
measure() {
    local label=$1 terminal=$2 reps=$3
    shift 3
    local best=0 ns
    for _ in $(seq "$reps"); do
        ns=$(one_run "$terminal" "$@")
        if [ "$best" -eq 0 ] || [ "$ns" -lt "$best" ]; then best=$ns; fi
    done
    local files bytes
    files=$(find "$tmp/store" -path "$tmp/store/.metadata" -prune -o -type f -print | wc -l)
    bytes=$(find "$tmp/store" -path "$tmp/store/.metadata" -prune -o -type f -printf '%s\n' | awk '{s += $1} END {print s + 0}')
    awk -v label="$label" -v terminal="$terminal" -v ns="$best" -v files="$files" -v bytes="$bytes" 'BEGIN {
        s = ns / 1e9
        printf "%-34s %-4s %7.3f s %10.1f files/s %9.1f MB/s\n", label, terminal, s, files / s, bytes / s / 1e6
    }'
}

jobs_default=$("$kro" gen --help | awk '/--jobs <INTEGER>/ {found = 1} found && /\[default: / {gsub(/.*\[default: |\].*/, ""); print; exit}')
echo "kro gen, whole process, into $parent (default --jobs on this machine: $jobs_default)"
measure "20000 x 4 KiB" pipe 3 --max-files 20000 --file-size 4KB
measure "20000 x 4 KiB" tty 3 --max-files 20000 --file-size 4KB
measure "2 GiB of 64 MiB, default jobs" pipe 3 --max-disk-usage 2GB --file-size 64MB
measure "2 GiB of 64 MiB, default jobs" tty 3 --max-disk-usage 2GB --file-size 64MB
for jobs in 1 2 8; do
    measure "2 GiB of 64 MiB, --jobs $jobs" pipe 1 --max-disk-usage 2GB --file-size 64MB --jobs "$jobs"
done
