#!/usr/bin/env bash
# Snapshot creation on a GlusterFS volume (not a test; bench/run.sh runs it when it can):
# the native backend (znfssnap --volume gluster://HOST/VOL) against the POSIX backend and
# `cp -a` on a FUSE mount of the same volume, on the same small-files tree in the same run.
# Every time is the median of BENCH_RUNS runs. Needs root and GlusterFS; starts local test
# volumes through scripts/gluster-test-env.sh and removes them afterwards.
#
# Usage: bench/gluster.sh BUILD_DIR
# Environment: BENCH_RUNS [3], BENCH_GLUSTER_FILES [5000], BENCH_GLUSTER_DIRS [250],
# BENCH_SWEEP [0] (1: also native creation with 2, 4, 8 and 16 workers)
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: bench/gluster.sh BUILD_DIR}" && pwd)
runs=${BENCH_RUNS:-3}
files=${BENCH_GLUSTER_FILES:-5000}
dirs=${BENCH_GLUSTER_DIRS:-250}
znfssnap=$build/tools/znfssnap/znfssnap
gen=$build/bench/znfsbench_gen
host=$(hostname)
vol=znfs_live
url=gluster://$host/$vol

rc=0
"$src/scripts/gluster-test-env.sh" up >/dev/null || rc=$?
if [ "$rc" -ne 0 ]; then
    echo "gluster bench skipped: no local GlusterFS volumes (see above)"
    exit 0
fi
mnt=$(mktemp -d /tmp/znfsgmnt.XXXXXX)
cleanup() {
    umount "$mnt" 2>/dev/null || umount -l "$mnt" 2>/dev/null || true
    rmdir "$mnt" 2>/dev/null || true
    "$src/scripts/gluster-test-env.sh" down >/dev/null 2>&1 || true
}
trap cleanup EXIT
if ! mount -t glusterfs "$host:/$vol" "$mnt"; then
    echo "gluster bench skipped: cannot mount $host:/$vol through FUSE"
    exit 0
fi

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

# The dataset lives on the volume; it is written once through the mount, untimed.
"$gen" small "$mnt/live" "$files" "$dirs" >/dev/null
sync
native=() posix=() cpa=()
for i in $(seq 1 "$runs"); do
    mkdir "$mnt/n$i" "$mnt/p$i"
    native+=("$(timed "$znfssnap" create --volume "$url" --dataset /live --snapdir "/n$i")")
    posix+=("$(timed "$znfssnap" create --volume "$mnt" --dataset /live --snapdir "/p$i")")
    cpa+=("$(timed cp -a "$mnt/live" "$mnt/c$i")")
    rm -rf "$mnt/n$i" "$mnt/p$i" "$mnt/c$i"
done
n=$(median "${native[@]}") p=$(median "${posix[@]}") c=$(median "${cpa[@]}")
echo "GlusterFS volume $url, $files files of 1-16 KiB in $dirs directories, median of $runs"
printf '%-44s %8s %10s\n' "copy" "seconds" "vs cp -a"
printf '%-44s %8s %10s\n' "znfssnap create, native backend" "$n" "$(ratio "$n" "$c")"
printf '%-44s %8s %10s\n' "znfssnap create, POSIX backend on FUSE mount" "$p" "$(ratio "$p" "$c")"
printf '%-44s %8s %10s\n' "cp -a on FUSE mount" "$c" "1.00"
if [ "${BENCH_SWEEP:-0}" = 1 ]; then
    # Native creation by worker count, interleaved so that a change of load touches every
    # count alike.
    declare -A ws=()
    for i in $(seq 1 "$runs"); do
        for w in 2 4 8 16; do
            mkdir "$mnt/w$w.$i"
            ws[$w]+=" $(timed "$znfssnap" create --volume "$url" --dataset /live --snapdir "/w$w.$i" --threads "$w")"
            rm -rf "$mnt/w$w.$i"
        done
    done
    line=""
    for w in 2 4 8 16; do
        # shellcheck disable=SC2086
        line+="$(printf ' %d:%s' "$w" "$(median ${ws[$w]})")"
    done
    echo "native backend by workers (seconds):$line"
fi
