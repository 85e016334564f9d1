#!/usr/bin/env bash
# What `make test` runs after the main suites: clang's thread-safety analysis over the libraries
# and the command, the GlusterFS integration suite against local volumes, an unprivileged client
# racing root-run snapshots on a loop-mounted ext4, the whole suite under ASan+UBSan and under
# TSan, and bounded fuzzing runs. Each stage says what it ran; a stage that cannot run here says
# why and is skipped, not failed.
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
jobs=${JOBS:-2}
passed=0 failed=0 skipped=0
failures=()

stage() {  # stage NAME COMMAND...
    local name=$1
    shift
    echo
    echo "=== $name"
    if "$@"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        failures+=("$name")
    fi
}

# Every mutex is annotated with what it guards (fsplatform/src/znfs_mutex.h); clang checks
# each access at compile time and a warning fails the build. Only the libraries and the command
# are built, at -O0 and without debug information: the analysis runs in the front end and the
# binaries are never run, so the stage takes a few minutes.
thread_safety_check() {
    if ! command -v clang++ >/dev/null; then
        echo "thread-safety check skipped: clang++ is not installed"
        skipped=$((skipped + 1))
        return 0
    fi
    CC=clang CXX=clang++ cmake -S . -B build-thread-safety -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-O0 \
        -DCMAKE_CXX_FLAGS="-Wthread-safety -Werror=thread-safety" \
        -DZNFS_BUILD_TESTS=OFF -DZNFS_BUILD_BENCH=OFF -DZNFS_BUILD_FUZZ=OFF >/dev/null || return 1
    cmake --build build-thread-safety -j "$jobs" --target znfscore znfssnapcore znfssnap
}

gluster_suite() {
    local rc=0
    scripts/gluster-test-env.sh up || rc=$?
    if [ "$rc" -eq 3 ]; then
        skipped=$((skipped + 1))
        return 0
    fi
    [ "$rc" -eq 0 ] || return 1
    export ZNFS_GLUSTER_HOST=$(hostname) ZNFS_GLUSTER_LIVE=znfs_live ZNFS_GLUSTER_OBJ=znfs_obj \
        ZNFS_GLUSTER_CONTRACT=znfs_contract ZNFS_GLUSTER_DIST=znfs_dist ZNFS_GLUSTER_REPL=znfs_repl \
        ZNFS_GLUSTER_ENV=$PWD/scripts/gluster-test-env.sh
    "$build/tests/test_gluster_backend" && "$build/tests/test_service" --gtest_filter='*gluster*' \
        && "$build/tests/test_cli" --gtest_filter='CliGluster*'
    rc=$?
    unset ZNFS_GLUSTER_HOST ZNFS_GLUSTER_ENV
    scripts/gluster-test-env.sh down || true
    return $rc
}

race_suite() {
    local rc=0
    timeout 120 scripts/race-test.sh "$build" || rc=$?
    if [ "$rc" -eq 3 ]; then
        skipped=$((skipped + 1))
        return 0
    fi
    return $rc
}

sanitizer_suite() {  # sanitizer_suite PRESET [ctest -R filter]
    local preset=$1 filter=${2:-}
    cmake --preset "$preset" >/dev/null || return 1
    cmake --build --preset "$preset" -j "$jobs" || return 1
    if [ -n "$filter" ]; then
        ctest --preset "$preset" -R "$filter"
    else
        ctest --preset "$preset"
    fi
}

fuzz_runs() {
    if ! command -v clang++ >/dev/null; then
        echo "fuzzing skipped: clang++ is not installed"
        skipped=$((skipped + 1))
        return 0
    fi
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZNFS_SANITIZE=address \
        -DZNFS_BUILD_FUZZ=ON -DZNFS_BUILD_TESTS=OFF -DZNFS_BUILD_TOOLS=OFF -DZNFS_BUILD_BENCH=OFF >/dev/null || return 1
    cmake --build build-fuzz -j "$jobs" --target fuzz_listreader fuzz_filesplit || return 1
    local t rc=0 work
    for t in fuzz_listreader fuzz_filesplit; do
        work=$(mktemp -d /tmp/znfsfuzz.XXXXXX)
        cp -r "fuzz/corpus/$t/." "$work/" 2>/dev/null || true
        echo "$t: 30 s from $(ls "$work" | wc -l) seeds"
        ASAN_OPTIONS=quarantine_size_mb=16 LSAN_OPTIONS=suppressions=$PWD/tests/lsan-suppressions.txt \
            "build-fuzz/fuzz/$t" -max_total_time=30 -print_final_stats=1 "$work" 2>&1 | tail -n 12 || rc=1
        rm -rf "$work"
    done
    return $rc
}

stage "Thread-safety analysis (clang): libraries and command" thread_safety_check
stage "GlusterFS integration suite" gluster_suite
stage "Unprivileged client racing root on ext4" race_suite
stage "ASan+UBSan: every suite" sanitizer_suite asan
stage "TSan: every suite" sanitizer_suite tsan
stage "Fuzzing: list reader and splitter" fuzz_runs

echo
[ ${#failures[@]} -eq 0 ] || echo "failed stages: ${failures[*]}"
echo "extra stages: $passed passed, $failed failed, $skipped skipped"
echo "extra: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
