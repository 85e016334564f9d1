#!/usr/bin/env bash
# Snapshot creation on a GlusterFS volume (not a test; bench/run.sh runs it when it can):
# the native backend (znfssnap --volume gluster://HOST/VOL) against the POSIX backend and
# `cp -a` on a FUSE mount of the same volume, on the same small-files tree in the same run; and
# native creation with file data copied in place by the brick (copy_range) against the library's
# own reads and writes (bench/znfsbench_create, which can refuse in-place copies), on the small
# tree and on a tree of large files. Every time is the median of BENCH_RUNS runs. Needs root and
# GlusterFS; starts local test volumes through scripts/gluster-test-env.sh and removes them
# afterwards, unless they were up already (others may be using them). Works in a directory of
# its own on the volume.
#
# Usage: bench/gluster.sh BUILD_DIR
# Environment: BENCH_RUNS [3], BENCH_GLUSTER_FILES [5000], BENCH_GLUSTER_DIRS [250],
# BENCH_GLUSTER_LARGE_FILES [32], BENCH_GLUSTER_LARGE_MIB [32] (0 files: no large-files row),
# BENCH_SWEEP [0] (1: also native creation with 2, 4, 8 and 16 workers)
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: bench/gluster.sh BUILD_DIR}" && pwd)
runs=${BENCH_RUNS:-3}
files=${BENCH_GLUSTER_FILES:-5000}
dirs=${BENCH_GLUSTER_DIRS:-250}
large_files=${BENCH_GLUSTER_LARGE_FILES:-32}
large_mib=${BENCH_GLUSTER_LARGE_MIB:-32}
znfssnap=$build/tools/znfssnap/znfssnap
gen=$build/bench/znfsbench_gen
create=$build/bench/znfsbench_create
host=$(hostname)
vol=znfs_live
url=gluster://$host/$vol

was_up=0
gluster --mode=script volume status "$vol" >/dev/null 2>&1 && was_up=1
rc=0
"$src/scripts/gluster-test-env.sh" up >/dev/null || rc=$?
if [ "$rc" -ne 0 ]; then
    echo "gluster bench skipped: no local GlusterFS volumes (see above)"
    exit 0
fi
mnt=$(mktemp -d /tmp/znfsgmnt.XXXXXX)
top=znfsbench.$$
cleanup() {
    rm -rf "${mnt:?}/$top" 2>/dev/null || true
    umount "$mnt" 2>/dev/null || umount -l "$mnt" 2>/dev/null || true
    rmdir "$mnt" 2>/dev/null || true
    [ "$was_up" = 1 ] || "$src/scripts/gluster-test-env.sh" down >/dev/null 2>&1 || true
}
trap cleanup EXIT
if ! mount -t glusterfs "$host:/$vol" "$mnt"; then
    echo "gluster bench skipped: cannot mount $host:/$vol through FUSE"
    exit 0
fi
mkdir "$mnt/$top"
root=$mnt/$top

now() { date +%s.%N; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
timed() {
    local t0 t1
    t0=$(now)
    "$@" >/dev/null 2>&1 || { echo "gluster bench: failed: $*" >&2; exit 1; }
    t1=$(now)
    awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }'
}
# The seconds znfsbench_create reports: the creation alone, without connecting to the volume.
created() {
    "$create" "$@" 2>/dev/null || { echo "gluster bench: failed: znfsbench_create $*" >&2; exit 1; }
}

# The dataset lives on the volume; it is written once through the mount, untimed.
"$gen" small "$root/live" "$files" "$dirs" >/dev/null
sync
native=() posix=() cpa=() inplace=() readwrite=()
for i in $(seq 1 "$runs"); do
    mkdir "$root/n$i" "$root/p$i" "$root/i$i" "$root/r$i"
    native+=("$(timed "$znfssnap" create --volume "$url" --dataset "/$top/live" --snapdir "/$top/n$i")")
    posix+=("$(timed "$znfssnap" create --volume "$mnt" --dataset "/$top/live" --snapdir "/$top/p$i")")
    cpa+=("$(timed cp -a "$root/live" "$root/c$i")")
    inplace+=("$(created "$url" "/$top/live" "/$top/i$i" inplace)")
    readwrite+=("$(created "$url" "/$top/live" "/$top/r$i" readwrite)")
    rm -rf "$root/n$i" "$root/p$i" "$root/c$i" "$root/i$i" "$root/r$i"
done
n=$(median "${native[@]}") p=$(median "${posix[@]}") c=$(median "${cpa[@]}")
ip=$(median "${inplace[@]}") rw=$(median "${readwrite[@]}")
echo "GlusterFS volume $url, $files files of 1-16 KiB in $dirs directories, median of $runs"
printf '%-52s %8s %10s\n' "copy" "seconds" "vs cp -a"
printf '%-52s %8s %10s\n' "znfssnap create, native backend" "$n" "$(ratio "$n" "$c")"
printf '%-52s %8s %10s\n' "znfssnap create, POSIX backend on FUSE mount" "$p" "$(ratio "$p" "$c")"
printf '%-52s %8s %10s\n' "cp -a on FUSE mount" "$c" "1.00"
printf '%-52s %8s %10s\n' "library, native backend, data copied in place" "$ip" "$(ratio "$ip" "$c")"
printf '%-52s %8s %10s\n' "library, native backend, data read and written" "$rw" "$(ratio "$rw" "$c")"

if [ "$large_files" -gt 0 ]; then
    # Large files: the brick copies them itself, or they travel to this client and back.
    "$gen" large "$root/large" "$large_files" "$large_mib" >/dev/null
    sync
    inplace=() readwrite=()
    for i in $(seq 1 "$runs"); do
        mkdir "$root/li$i" "$root/lr$i"
        inplace+=("$(created "$url" "/$top/large" "/$top/li$i" inplace)")
        readwrite+=("$(created "$url" "/$top/large" "/$top/lr$i" readwrite)")
        cmp -s "$root/large/large0" "$root/li$i/large0" || { echo "gluster bench: in-place copy differs" >&2; exit 1; }
        rm -rf "$root/li$i" "$root/lr$i"
    done
    ip=$(median "${inplace[@]}") rw=$(median "${readwrite[@]}")
    echo "GlusterFS volume $url, $large_files files of $large_mib MiB, median of $runs"
    printf '%-52s %8s %10s\n' "copy" "seconds" "speed-up"
    printf '%-52s %8s %10s\n' "library, native backend, data copied in place" "$ip" "$(ratio "$rw" "$ip")"
    printf '%-52s %8s %10s\n' "library, native backend, data read and written" "$rw" "1.00"
    rm -rf "$root/large"
fi
if [ "${BENCH_SWEEP:-0}" = 1 ]; then
    # Native creation by worker count, interleaved so that a change of load touches every
    # count alike.
    declare -A ws=()
    for i in $(seq 1 "$runs"); do
        for w in 2 4 8 16; do
            mkdir "$root/w$w.$i"
            ws[$w]+=" $(timed "$znfssnap" create --volume "$url" --dataset "/$top/live" --snapdir "/$top/w$w.$i" --threads "$w")"
            rm -rf "$root/w$w.$i"
        done
    done
    line=""
    for w in 2 4 8 16; do
        # shellcheck disable=SC2086
        line+="$(printf ' %d:%s' "$w" "$(median ${ws[$w]})")"
    done
    echo "native backend by workers (seconds):$line"
fi
