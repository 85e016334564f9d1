#!/usr/bin/env bash
# Benchmarks of znfssnap (not a test; `make bench` runs it):
#  - snapshot creation against `cp -a` and `rsync -aX` on the same trees in the same run, a
#    small-files tree and a large-files tree, on tmpfs and (space allowing) on disk;
#  - deletion of a long delete list, with and without a previous snapshot, on the worker pool
#    and inline, in names per second.
# Every time is the median of BENCH_RUNS runs.
#
# Usage: bench/run.sh BUILD_DIR
# Environment (defaults in brackets):
#   BENCH_RUNS [3]            timed runs per measurement (5 for steadier numbers)
#   BENCH_SMALL_FILES [20000] BENCH_SMALL_DIRS [1000]   the small-files tree (1-16 KiB, 2 xattrs)
#   BENCH_LARGE_FILES [32]    BENCH_LARGE_MB [32]       the large-files tree
#   BENCH_DELETE_NAMES [100000]                         names in the delete list
#   BENCH_TMPFS_DIR [/dev/shm] BENCH_DISK_DIR [/var/tmp]; BENCH_DISK=0 skips the disk run
set -euo pipefail

build=${1:?usage: bench/run.sh BUILD_DIR}
build=$(cd "$build" && pwd)
runs=${BENCH_RUNS:-3}
small_files=${BENCH_SMALL_FILES:-20000}
small_dirs=${BENCH_SMALL_DIRS:-1000}
large_files=${BENCH_LARGE_FILES:-32}
large_mb=${BENCH_LARGE_MB:-32}
delete_names=${BENCH_DELETE_NAMES:-100000}
tmpfs_dir=${BENCH_TMPFS_DIR:-/dev/shm}
disk_dir=${BENCH_DISK_DIR:-/var/tmp}

znfssnap=$build/tools/znfssnap/znfssnap
gen=$build/bench/znfsbench_gen
if [ ! -x "$gen" ]; then
    cmake --build "$build" --target znfsbench_gen >/dev/null 2>&1 ||
        { echo "bench: cannot build znfsbench_gen; configure $build with -DZNFS_BUILD_BENCH=ON" >&2; exit 1; }
fi
[ -x "$znfssnap" ] || { echo "bench: $znfssnap is not built" >&2; exit 1; }
have_rsync=0
command -v rsync >/dev/null 2>&1 && have_rsync=1

bases=()
cleanup() { for b in "${bases[@]}"; do rm -rf "$b"; done; }
trap cleanup EXIT

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }

# Runs a command and prints its wall time; a failing command stops the bench.
timed() {
    local t0 t1 err
    err=$(mktemp)
    t0=$(now)
    if ! "$@" >/dev/null 2>"$err"; then
        echo "bench: failed: $*" >&2
        cat "$err" >&2
        rm -f "$err"
        exit 1
    fi
    t1=$(now)
    rm -f "$err"
    elapsed "$t0" "$t1"
}

free_bytes() { df --output=avail -B1 "$1" | tail -1; }

# One row per tree: creation against cp -a and rsync -aX on the file system under $1.
bench_copy() {
    local fsname=$1 root=$2 vol
    vol=$(mktemp -d "$root/znfsbench.XXXXXX")
    bases+=("$vol")
    "$gen" small "$vol/small" "$small_files" "$small_dirs"
    "$gen" large "$vol/large" "$large_files" "$large_mb"
    for tree in small large; do
        local zs=() cs=() rs=() i
        for ((i = 0; i < runs; i++)); do
            rm -rf "$vol/snap" "$vol/cp" "$vol/rs"
            mkdir "$vol/snap"
            sync -f "$vol"
            zs+=("$(timed "$znfssnap" create --volume "$vol" --dataset "/$tree" --snapdir /snap)")
            if [ "$i" -eq 0 ]; then
                "$znfssnap" verify --volume "$vol" --dataset "/$tree" --snapdir /snap >/dev/null ||
                    { echo "bench: the snapshot of /$tree does not verify" >&2; exit 1; }
            fi
            sync -f "$vol"
            cs+=("$(timed cp -a "$vol/$tree" "$vol/cp")")
            if [ "$have_rsync" -eq 1 ]; then
                sync -f "$vol"
                rs+=("$(timed rsync -aX "$vol/$tree/" "$vol/rs/")")
            fi
        done
        local z c r label
        z=$(median "${zs[@]}")
        c=$(median "${cs[@]}")
        if [ "$tree" = small ]; then
            label="$small_files files 1-16 KiB"
        else
            label="$large_files files of $large_mb MiB"
        fi
        if [ "$have_rsync" -eq 1 ]; then
            r=$(median "${rs[@]}")
            printf '%-8s %-24s %10s %10s %10s %10s %10s\n' "$fsname" "$label" "$z" "$c" "$r" \
                "$(ratio "$z" "$c")" "$(ratio "$z" "$r")"
        else
            printf '%-8s %-24s %10s %10s %10s %10s %10s\n' "$fsname" "$label" "$z" "$c" "-" "$(ratio "$z" "$c")" "-"
        fi
        rm -rf "$vol/snap" "$vol/cp" "$vol/rs"
    done
    rm -rf "$vol"
}

json_field() { grep -o "\"$1\":[-0-9.]*" | head -1 | cut -d: -f2; }

bench_delete() {
    local base vol obj
    base=$(mktemp -d "$tmpfs_dir/znfsbench.XXXXXX")
    bases+=("$base")
    vol=$base/vol
    obj=$base/obj
    mkdir "$vol" "$obj"
    local t0 t1
    t0=$(now)
    "$gen" deletion "$vol" "$obj" "$delete_names"
    t1=$(now)
    echo "setup: $delete_names names, 2 snapshots, objects in $(elapsed "$t0" "$t1") s"
    printf '%-34s %10s %14s %10s %10s\n' "deletion" "seconds" "names/s" "handed on" "unlinked"
    local prev mode
    for prev in "" /prev; do
        for mode in pool inline; do
            local secs=() out i args
            for ((i = 0; i < runs; i++)); do
                "$gen" objects "$obj" "$delete_names"
                args=(delete --volume "$vol" --object-volume "$obj" --snapdir /snap --json)
                [ -n "$prev" ] && args+=(--prevsnap "$prev")
                [ "$mode" = inline ] && args+=(--inline)
                out=$("$znfssnap" "${args[@]}") || { echo "bench: deletion failed: $out" >&2; exit 1; }
                secs+=("$(echo "$out" | json_field seconds | awk '{ printf "%.3f", $1 }')")
            done
            local s label
            s=$(median "${secs[@]}")
            label="$( [ -n "$prev" ] && echo "with previous" || echo "no previous"), $mode"
            printf '%-34s %10s %14s %10s %10s\n' "$label" "$s" \
                "$(awk -v n="$delete_names" -v s="$s" 'BEGIN { if (s > 0) printf "%.0f", n / s; else print "-" }')" \
                "$(echo "$out" | json_field names_handed_on)" "$(echo "$out" | json_field objects_unlinked)"
        done
    done
    rm -rf "$base"
}

echo "znfssnap benchmarks: $(nproc) CPUs, median of $runs runs, times in seconds"
echo
printf '%-8s %-24s %10s %10s %10s %10s %10s\n' "fs" "tree" "znfssnap" "cp -a" "rsync -aX" "z/cp" "z/rsync"

# Room for both trees and one copy of them, with a margin.
need=$(( (small_files * 20 * 1024 + large_files * large_mb * 1024 * 1024) * 5 / 2 ))
if [ "$(free_bytes "$tmpfs_dir")" -gt "$need" ]; then
    bench_copy tmpfs "$tmpfs_dir"
else
    echo "tmpfs: skipped, not enough space in $tmpfs_dir"
fi
if [ "${BENCH_DISK:-1}" != 0 ] && [ "$(free_bytes "$disk_dir")" -gt "$need" ]; then
    bench_copy disk "$disk_dir"
else
    echo "disk: skipped"
fi
[ "$have_rsync" -eq 1 ] || echo "(rsync not installed: its column is empty)"

echo
if [ "$(id -u)" -eq 0 ]; then
    bench_delete
else
    echo "deletion: skipped (\"trusted.\" attributes need root)"
fi
