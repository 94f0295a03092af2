#!/usr/bin/env bash
# Builds a release build of the benchmarks, runs them all against nginx on a
# loopback port (files in a temporary folder that is removed afterwards) and
# prints one Markdown table, which is also written to bench/results.md with a
# description of this machine. Notes below the "<!-- notes -->" line of an
# existing results.md are kept.
#
#   bench/run.sh            the full run (about 10 to 15 minutes on 2 cores)
#   BUILD_DIR=... bench/run.sh
#   BASELINE=<commit> bench/run.sh   the program to compare with ("none": no
#                           comparison); by default the commit just before
#                           ranges were streamed into the file
#   SAMPLE_BASELINE=<commit> bench/run.sh   the program the same-file sample
#                           is measured against ("none": not measured); by
#                           default the commit just before the sample
#   RETRY_BASELINE=<commit> bench/run.sh    the program before records and
#                           retries inside a range ("none": not measured); by
#                           default the commit just before them
#
# Each program before a change is built once from `git archive` of its
# commit under $BUILD_DIR/baseline-<commit>. The one before streaming runs
# the same small-range, waiting and list-size benchmarks side by side with
# the program now; the one before the sample takes turns with it on the
# thousand small ranges and on the 1 GiB range.
#
# Installs what is missing (scripts/setup.sh --bench: nginx, curl, aria2 and
# the build dependencies of the program);
# about 6 GiB free in the temporary folder ($TMPDIR, else /tmp).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/.." && pwd)"
build="${BUILD_DIR:-$root/build-bench}"
results="$here/results.md"

# What the benchmarks need besides the test suite's packages (aria2).
"$root/scripts/setup.sh" --bench >&2

for tool in nginx curl cmake ninja aria2c; do
    if ! command -v "$tool" >/dev/null && [ ! -x "/usr/sbin/$tool" ]; then
        echo "run.sh: $tool is missing" >&2
        exit 1
    fi
done

echo "== building $build (Release)" >&2
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_BENCH=ON -DQV_TESTS=ON \
    >/dev/null
# Two cores are shared with other work: at most two compile jobs.
cmake --build "$build" --target quilvane_bench -j2 >&2

# The commit before the one that added `file`, unless `chosen` names one.
baseline_commit() {
    local chosen="$1" file="$2" added
    if [ -n "$chosen" ]; then
        echo "$chosen"
        return
    fi
    added="$(git -C "$root" log --diff-filter=A --format=%h -1 -- "$file")"
    [ -n "$added" ] && echo "$added^"
}

# Builds quilvane_bench of a commit once; prints its path.
build_baseline() {
    local rev="$1" before="$build/baseline-$1"
    if [ ! -x "$before/build/bench/quilvane_bench" ]; then
        echo "== building the program of $rev for comparison in $before" >&2
        rm -rf "$before"
        mkdir -p "$before/src"
        git -C "$root" archive "$rev" | tar -x -C "$before/src"
        cmake -S "$before/src" -B "$before/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
            -DQV_BENCH=ON -DQV_TESTS=ON >/dev/null
        cmake --build "$before/build" --target quilvane_bench -j2 >&2
    fi
    echo "$before/build/bench/quilvane_bench"
}

describe() { echo "$1 ($(git -C "$root" log -1 --format=%s "$1"))"; }

baseline_args=()
# add_baseline <chosen commit or ""> <file the change added> <driver option>:
# builds the program before that change, passes it to the driver and sets
# `note` to what it is ("none" when not measured).
add_baseline() {
    local rev
    note="none"
    rev="$(baseline_commit "$1" "$2")"
    if [ -n "$rev" ] && [ "$rev" != "none" ]; then
        rev="$(git -C "$root" rev-parse --short "$rev")"
        baseline_args+=("$3" "$(build_baseline "$rev")")
        note="$(describe "$rev")"
    fi
}
add_baseline "${BASELINE:-}" transfer/RangeWriter.cpp --baseline
baseline_note=$note
add_baseline "${SAMPLE_BASELINE:-}" app/core/HeldSample.cpp --before-sample
sample_note=$note
add_baseline "${RETRY_BASELINE:-}" transfer/RetryPolicy.cpp --before-retries
retry_note=$note

tmp_base="${TMPDIR:-/tmp}"
need_kib=$((6 * 1024 * 1024))
avail_kib=$(df -Pk "$tmp_base" | awk 'NR == 2 { print $4 }')
if [ "$avail_kib" -lt "$need_kib" ]; then
    echo "run.sh: $tmp_base has $((avail_kib / 1024)) MiB free; the benchmarks need 6 GiB" >&2
    exit 1
fi

work="$(mktemp -d "$tmp_base/quilvane-bench-XXXXXX")"
cleanup() {
    # nginx is the driver's child; should the driver have died, end it here.
    if [ -f "$work/nginx/nginx.pid" ]; then
        kill "$(cat "$work/nginx/nginx.pid")" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

load_average() { awk '{ print $1 ", " $2 ", " $3 }' /proc/loadavg; }
load_start="$(load_average)"
started=$(date +%s)
QT_QPA_PLATFORM=offscreen "$build/bench/quilvane_bench" driver --work "$work" \
    --out "$work/table.md" "${baseline_args[@]}" \
    2> >(grep --line-buffered -v -e 'XDG_RUNTIME_DIR' -e 'propagateSizeHints' >&2)
elapsed=$(($(date +%s) - started))
load_end="$(load_average)"

# The machine and the folder the files were written in.
cpu_model="$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)"
memory="$(free -h | awk '/^Mem:/ { print $2 }')"
mount_line="$(findmnt -n -T "$work" -o SOURCE,FSTYPE,OPTIONS 2>/dev/null | tr -s ' ' || echo unknown)"
device="$(findmnt -n -T "$work" -o SOURCE 2>/dev/null || true)"
disk="unknown"
if [ -n "$device" ] && command -v lsblk >/dev/null; then
    disk="$(lsblk -dn -o NAME,SIZE,ROTA,MODEL "$device" 2>/dev/null | tr -s ' ' || true)"
    [ -n "$disk" ] || disk="unknown"
fi

notes=""
if [ -f "$results" ] && grep -q '^<!-- notes -->$' "$results"; then
    notes="$(sed -n '/^<!-- notes -->$/,$p' "$results")"
fi

{
    echo "# Benchmark results"
    echo
    echo "Made by \`bench/run.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC') at commit" \
        "$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown); the run took" \
        "$((elapsed / 60)) min $((elapsed % 60)) s."
    echo
    echo "| Machine | |"
    echo "|---|---|"
    echo "| processors (nproc) | $(nproc) |"
    echo "| memory | $memory |"
    echo "| CPU model | $cpu_model |"
    echo "| kernel | $(uname -r) |"
    echo "| temporary folder | \`$tmp_base\` on $mount_line |"
    echo "| disk (name, size, rotational, model) | $disk |"
    echo "| nginx, curl | $(nginx -v 2>&1 | sed 's/^nginx version: //'), $(curl --version | head -1 | cut -d' ' -f1-2) |"
    echo "| load average (1, 5, 15 min) at start; at end | $load_start; $load_end |"
    echo "| program before the change (reference in 4–6) | $baseline_note |"
    echo "| program before the same-file sample (reference in 8) | $sample_note |"
    echo "| program before records and retries inside a range (reference in 10) | $retry_note |"
    echo
    echo "Every figure is the median of 5 runs (the job runs with the real window offscreen," \
        "started by Resume, or by New download's Ok in scenario 14, as a user starts it), but for the range past 4 GiB (one run)," \
        "the hostile answers (the highest of 3 runs) and the sample alone (the mean of 500); every ratio compares figures of this" \
        "same run. A run whose finished file does not match the original by SHA-256 gives no" \
        "figure. The machine's 2 cores are shared with other developers' builds: a load" \
        "average near or above 2 means the figures were taken on a loaded machine."
    echo
    cat "$work/table.md"
    if [ -n "$notes" ]; then
        echo
        echo "$notes"
    fi
} >"$results.new"
mv "$results.new" "$results"
cat "$results"
