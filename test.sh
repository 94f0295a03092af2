#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite headless,
# in stages that each fail the script when they fail:
#   1. set-up: the Debian packages that are missing;
#   2. the normal build (warnings are errors) and the whole suite, in build/;
#   3. the whole suite under AddressSanitizer and UndefinedBehaviorSanitizer,
#      with leak checking, in build-asan/;
#   4. the worker, HTTP client, job-run and window tests under
#      ThreadSanitizer, in build-tsan/;
#   5. every libFuzzer target (clang) for a bounded time, in build-fuzz/.
# A summary of the stages and their times ends the output.
set -euo pipefail
cd "$(dirname "$0")"
root=$PWD
export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)

# Sanitizer reports go to the test's output; any finding fails the test.
sanitizers=$root/scripts/sanitizers
asan_options="halt_on_error=1:detect_leaks=1:print_stacktrace=1"
asan_options+=":detect_stack_use_after_return=1:strict_init_order=1:check_initialization_order=1"
ubsan_options="halt_on_error=1:print_stacktrace=1"
lsan_options="suppressions=$sanitizers/lsan.supp:print_suppressions=0"
tsan_options="halt_on_error=1:second_deadlock_stack=1"
tsan_options+=":suppressions=$sanitizers/tsan.supp:print_suppressions=0"

# The tests that run two threads (the worker, the HTTP client against its
# loopback servers, the job run, the windows and the fault suite's job runs
# in the real window) carry the ctest label "threads"; the fault suite's
# hostile files only parse, and its power cut is many short runs whose
# watchdogs do not allow for ThreadSanitizer's slowdown.

fuzz_targets=(http_answer segment_file list_document)
fuzz_seconds=60

stage_names=()
stage_times=()
stage_notes=()
current=""
stage_start=0
note=""

print_summary() {
    echo
    echo "==== Summary ===="
    local i
    for i in "${!stage_names[@]}"; do
        printf '  %-44s %-6s %5ds  %s\n' "${stage_names[$i]}" ok "${stage_times[$i]}" \
            "${stage_notes[$i]}"
    done
    if [ -n "$current" ]; then
        printf '  %-44s %-6s %5ds\n' "$current" FAILED $((SECONDS - stage_start))
    fi
    printf '  %-44s %-6s %5ds\n' "total" "" "$SECONDS"
}
trap print_summary EXIT

# run_stage <label> <function>: runs one stage, timed and labelled.
run_stage() {
    current=$1
    note=""
    stage_start=$SECONDS
    echo
    echo "==== $current ===="
    "$2"
    stage_names+=("$current")
    stage_times+=($((SECONDS - stage_start)))
    stage_notes+=("$note")
    current=""
}

# run_ctest <build folder> [ctest arguments]: the ctest summary line becomes
# the stage's note. ctest runs behind the words in ctest_prefix, if any.
ctest_prefix=()
run_ctest() {
    local dir=$1
    shift
    (cd "$dir" && "${ctest_prefix[@]}" ctest --output-on-failure --parallel "$jobs" \
        --timeout 900 "$@") 2>&1 |
        tee "$dir/ctest.log"
    note=$(grep -E 'tests passed, [0-9]+ tests failed out of' "$dir/ctest.log" | tail -n 1 || true)
}

stage_setup() {
    scripts/setup.sh
}

stage_normal() {
    scripts/build.sh -DQV_WERROR=ON -DQV_TESTS=ON
    run_ctest build
}

stage_asan() {
    scripts/build.sh --dir build-asan -DQV_WERROR=ON -DQV_SANITIZE=address,undefined
    local -x ASAN_OPTIONS=$asan_options UBSAN_OPTIONS=$ubsan_options LSAN_OPTIONS=$lsan_options
    run_ctest build-asan
}

stage_tsan() {
    local targets=(--target test_http --target test_transfer --target test_app)
    if [ -f tests/fault/CMakeLists.txt ]; then targets+=(--target test_fault); fi
    scripts/build.sh --dir build-tsan "${targets[@]}" -DQV_WERROR=ON -DQV_SANITIZE=thread
    # ThreadSanitizer's memory layout does not fit a kernel that randomises
    # mappings with more bits than it expects; such a kernel gets the tests
    # without address randomisation.
    local bits
    bits=$(cat /proc/sys/vm/mmap_rnd_bits 2>/dev/null || echo 0)
    if [ "$bits" -gt 28 ]; then
        echo "vm.mmap_rnd_bits is $bits: running without address randomisation (setarch -R)"
        ctest_prefix=(setarch "$(uname -m)" -R)
    fi
    local -x TSAN_OPTIONS=$tsan_options
    run_ctest build-tsan -L '^threads$'
    ctest_prefix=()
}

stage_fuzz() {
    scripts/build.sh --dir build-fuzz --target fuzz_targets \
        -DCMAKE_CXX_COMPILER=clang++ -DQV_FUZZ=ON
    local target runs=()
    for target in "${fuzz_targets[@]}"; do
        local work=build-fuzz/corpus/$target artifacts=build-fuzz/artifacts/$target/
        local log=build-fuzz/fuzz-$target.log
        mkdir -p "$work" "$artifacts"
        echo "fuzzing $target for ${fuzz_seconds}s"
        # New inputs go to the work corpus; the committed seeds stay as they are.
        if ! ASAN_OPTIONS="detect_leaks=1:print_stacktrace=1" \
            UBSAN_OPTIONS=$ubsan_options LSAN_OPTIONS=$lsan_options \
            "build-fuzz/tests/fuzz/fuzz_$target" -max_total_time="$fuzz_seconds" \
            -rss_limit_mb=1024 -timeout=10 -print_final_stats=1 \
            -artifact_prefix="$artifacts" "$work" "tests/fuzz/corpus/$target" >"$log" 2>&1; then
            tail -n 80 "$log"
            echo "fuzz target $target failed; the input that failed is in $artifacts" >&2
            return 1
        fi
        local count
        count=$(grep -oE '^stat::number_of_executed_units: [0-9]+' "$log" | grep -oE '[0-9]+$' || echo '?')
        echo "  $target: $count runs, no finding"
        runs+=("$target $count")
    done
    note="runs: $(IFS=,; echo "${runs[*]}" | sed 's/,/, /g')"
}

run_stage "set-up" stage_setup
run_stage "normal build and whole suite" stage_normal
run_stage "AddressSanitizer+UBSan build and whole suite" stage_asan
run_stage "ThreadSanitizer build and threading tests" stage_tsan
run_stage "libFuzzer targets, ${fuzz_seconds}s each" stage_fuzz
