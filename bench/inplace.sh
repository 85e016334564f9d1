#!/usr/bin/env bash
# Benchmarks of in-place data copies and bounded memory (not a test; bench/run.sh runs it).
#  - creation of a large-files tree on loop-mounted XFS (reflinks on, as mkfs.xfs makes it) and
#    btrfs against `cp -a` on the same file system, wall time and the space each copy adds;
#  - peak resident memory of creation of BENCH_FLAT_FILES empty files, in one flat directory
#    and in nested directories (100 directories of 100 each, the files spread over the 10,000).
# Needs root (loop mounts); installs xfsprogs and btrfs-progs when missing.
#
# Usage: bench/inplace.sh BUILD_DIR
# Environment: BENCH_LARGE_FILES [32] BENCH_LARGE_MB [32] BENCH_FLAT_FILES [1000000]
#              BENCH_FLAT_DIR [/dev/shm]
set -euo pipefail
build=$(cd "${1:?usage: bench/inplace.sh BUILD_DIR}" && pwd)
znfssnap=$build/tools/znfssnap/znfssnap
files=${BENCH_LARGE_FILES:-32}
mb=${BENCH_LARGE_MB:-32}
flat=${BENCH_FLAT_FILES:-1000000}
flat_dir=${BENCH_FLAT_DIR:-/dev/shm}
here=$(cd "$(dirname "$0")/.." && pwd)

work=$(mktemp -d /tmp/znfsinplace.XXXXXX)
mnt=$work/mnt
cleanup() {
    umount "$mnt" 2>/dev/null || true
    rm -rf "$work" "$flat_dir/znfsflat.$$"
}
trap cleanup EXIT

now() { date +%s.%N; }
used_kib() { df -k --output=used "$mnt" | tail -1 | tr -d ' '; }

inplace_row() {  # inplace_row FSTYPE MKFS...
    local fs=$1
    shift
    truncate -s $((files * mb * 3 + 512))M "$work/image"
    if ! "$@" "$work/image" >/dev/null 2>&1; then
        echo "$fs: cannot make the file system; row skipped"
        return 0
    fi
    mkdir -p "$mnt"
    mount -o loop "$work/image" "$mnt" || { echo "$fs: cannot mount; row skipped"; return 0; }
    mkdir -p "$mnt/live" "$mnt/snap"
    for i in $(seq 1 "$files"); do head -c $((mb << 20)) /dev/urandom >"$mnt/live/f$i"; done
    sync
    local u0 t0 t1 u1 t2 t3 u2
    u0=$(used_kib)
    t0=$(now)
    cp -a "$mnt/live" "$mnt/cp"
    sync
    t1=$(now)
    u1=$(used_kib)
    t2=$(now)
    "$znfssnap" create --volume "$mnt" --dataset /live --snapdir /snap >/dev/null
    t3=$(now)
    u2=$(used_kib)
    awk -v fs="$fs" -v n="$files" -v mb="$mb" -v c=$((u1 - u0)) -v z=$((u2 - u1)) \
        -v tc="$(awk -v a="$t0" -v b="$t1" 'BEGIN{print b-a}')" -v tz="$(awk -v a="$t2" -v b="$t3" 'BEGIN{print b-a}')" \
        'BEGIN { printf "%-6s %d x %d MiB: znfssnap %.3f s (adds %d KiB), cp -a + sync %.3f s (adds %d KiB), ratio %.2f\n",
                 fs, n, mb, tz, z, tc, c, (tc > 0 ? tz / tc : 0) }'
    umount "$mnt"
    rm -f "$work/image"
}

"$here/scripts/install-deps.sh" xfsprogs btrfs-progs >/dev/null
echo "== in-place data copies (large files, loop-mounted)"
inplace_row xfs mkfs.xfs -q -f
inplace_row btrfs mkfs.btrfs -q -f

echo "== peak memory of creation, one flat directory of $flat files"
base=$flat_dir/znfsflat.$$
mkdir -p "$base/live/wide" "$base/snap"
(cd "$base/live/wide" && seq -f 'e%.0f' 1 "$flat" | xargs touch)
/usr/bin/time -f "flat    $flat files: peak %M KiB, %e s" "$znfssnap" create --volume "$base" --dataset /live \
    --snapdir /snap >/dev/null
rm -rf "$base"

echo "== peak memory of creation, $flat files in nested directories"
mkdir -p "$base/live" "$base/snap"
per_dir=$(( (flat + 9999) / 10000 ))
(
    cd "$base/live"
    for a in $(seq 0 99); do
        for b in $(seq 0 99); do
            mkdir -p "d$a/d$b"
        done
    done
    for a in $(seq 0 99); do
        for b in $(seq 0 99); do printf 'd%d/d%d\n' "$a" "$b"; done
    done | while read -r d; do
        seq -f "$d/f%.0f" 1 "$per_dir"
    done | xargs touch
)
/usr/bin/time -f "nested  $flat files: peak %M KiB, %e s" "$znfssnap" create --volume "$base" --dataset /live \
    --snapdir /snap >/dev/null
