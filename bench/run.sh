#!/usr/bin/env bash
# Benchmarks of znfssnap (not a test; `make bench` runs it). One command runs every comparison
# and ends with a table of ratios:
#  - snapshot creation against `cp -a` and `rsync -aX` on the same trees in the same run, a
#    small-files tree and a large-files tree, on tmpfs and (space allowing) on disk; beside
#    them the "floor": the backend's own system calls for the same copy, issued in a tight
#    loop by znfsbench_replay on as many threads as the machine has CPUs;
#  - deletion of a long delete list (half of its names shared with a previous snapshot), with
#    and without a previous snapshot, on the worker pool and inline, in names per second, and
#    the same system calls in a tight loop on 1 and on N threads;
#  - peak memory (maximum resident set) of creation at two tree sizes;
#  - optionally (BENCH_SWEEP=1) creation of the small tree with 1, 2, 4, 8 and 16 workers.
# Every time is the median of BENCH_RUNS runs. Other load on the machine disturbs the
# figures; the load average is printed with them.
#
# Usage: bench/run.sh BUILD_DIR
# Environment (defaults in brackets):
#   BENCH_RUNS [3]            timed runs per measurement (5 for steadier numbers)
#   BENCH_SMALL_FILES [20000] BENCH_SMALL_DIRS [1000]   the small-files tree (1-16 KiB, 2 xattrs)
#   BENCH_LARGE_FILES [32]    BENCH_LARGE_MB [32]       the large-files tree
#   BENCH_DELETE_NAMES [100000]                         names in the delete list
#   BENCH_MEMORY_FILES ["20000 200000"]                 tree sizes of the memory rows ("" skips)
#   BENCH_TMPFS_DIR [/dev/shm] BENCH_DISK_DIR [/var/tmp]; BENCH_DISK=0 skips the disk run
#   BENCH_GLUSTER=0 skips the GlusterFS comparison (bench/gluster.sh, its own settings there)
#   BENCH_INPLACE=0 skips the XFS, btrfs and flat-directory rows (bench/inplace.sh; needs root)
#   BENCH_SWEEP [0]           1: also the worker-count sweep on every file system
set -euo pipefail

build=${1:?usage: bench/run.sh BUILD_DIR}
build=$(cd "$build" && pwd)
runs=${BENCH_RUNS:-3}
small_files=${BENCH_SMALL_FILES:-20000}
small_dirs=${BENCH_SMALL_DIRS:-1000}
large_files=${BENCH_LARGE_FILES:-32}
large_mb=${BENCH_LARGE_MB:-32}
delete_names=${BENCH_DELETE_NAMES:-100000}
memory_files=${BENCH_MEMORY_FILES-20000 200000}
tmpfs_dir=${BENCH_TMPFS_DIR:-/dev/shm}
disk_dir=${BENCH_DISK_DIR:-/var/tmp}
sweep=${BENCH_SWEEP:-0}
cpus=$(nproc)

znfssnap=$build/tools/znfssnap/znfssnap
gen=$build/bench/znfsbench_gen
replay=$build/bench/znfsbench_replay
for tool in "$gen" "$replay"; do
    if [ ! -x "$tool" ]; then
        cmake --build "$build" --target "$(basename "$tool")" >/dev/null 2>&1 ||
            { echo "bench: cannot build $(basename "$tool"); configure $build with -DZNFS_BUILD_BENCH=ON" >&2; exit 1; }
    fi
done
[ -x "$znfssnap" ] || { echo "bench: $znfssnap is not built" >&2; exit 1; }
# /usr/bin/time and strace give the CPU and system-call figures; installed when missing (root).
[ "$(id -u)" -eq 0 ] && "$(dirname "$0")/../scripts/install-deps.sh" time strace >/dev/null 2>&1
have_rsync=0
command -v rsync >/dev/null 2>&1 && have_rsync=1
timev=""
[ -x /usr/bin/time ] && /usr/bin/time -v true >/dev/null 2>&1 && timev=/usr/bin/time

bases=()
cleanup() { for b in "${bases[@]}"; do rm -rf "$b"; done; }
trap cleanup EXIT

summary=()   # lines of the closing table of ratios

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
load() { cut -d' ' -f1 /proc/loadavg; }

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

# As timed, printing "WALL CPU" (CPU: user plus system seconds of the command and its threads).
timed_cpu() {
    local out err
    out=$(mktemp)
    err=$(mktemp)
    if ! "$timev" -f '%e %U %S' -o "$out" "$@" >/dev/null 2>"$err"; then
        echo "bench: failed: $*" >&2
        cat "$err" >&2
        rm -f "$out" "$err"
        exit 1
    fi
    awk '{ printf "%.3f %.3f", $1, $2 + $3 }' "$out"
    rm -f "$out" "$err"
}

# System calls per file of a command copying a tree of n files (strace -c over all threads).
calls_per_file() {
    local n=$1 out
    shift
    out=$(mktemp)
    strace -f -c -o "$out" "$@" >/dev/null 2>&1 || { rm -f "$out"; echo "-"; return; }
    awk -v n="$n" '$4 ~ /^[0-9]+$/ && $NF != "total" { s += $4 } END { printf "%.1f", s / n }' "$out"
    rm -f "$out"
}

free_bytes() { df --output=avail -B1 "$1" | tail -1; }

# One row per tree: creation against cp -a, rsync -aX and the tight-loop floor on the file
# system under $2.
bench_copy() {
    local fsname=$1 root=$2 vol
    vol=$(mktemp -d "$root/znfsbench.XXXXXX")
    bases+=("$vol")
    "$gen" small "$vol/small" "$small_files" "$small_dirs"
    "$gen" large "$vol/large" "$large_files" "$large_mb"
    for tree in small large; do
        # Copies of the small tree are kept until its row is done: ext4 passes over inodes freed
        # in the last minutes when it allocates new ones, so a copy made right after the removal
        # of another would pay for that removal. The large tree has too few inodes to matter
        # and too many bytes to keep.
        local keep=0
        [ "$tree" = small ] && keep=1
        local zs=() cs=() rs=() fs=() zcpu=() ccpu=() i loads=() z_dir c_dir r_dir f_dir wc
        for ((i = 0; i < runs; i++)); do
            z_dir=/snap$i f_dir=/floor$i c_dir=$vol/cp$i r_dir=$vol/rs$i
            mkdir "$vol$z_dir" "$vol$f_dir"
            sync -f "$vol"
            loads+=("$(load)")
            if [ -n "$timev" ]; then
                read -r -a wc <<<"$(timed_cpu "$znfssnap" create --volume "$vol" --dataset "/$tree" --snapdir "$z_dir")"
                zs+=("${wc[0]}")
                zcpu+=("${wc[1]}")
            else
                zs+=("$(timed "$znfssnap" create --volume "$vol" --dataset "/$tree" --snapdir "$z_dir")")
            fi
            if [ "$i" -eq 0 ]; then
                "$znfssnap" verify --volume "$vol" --dataset "/$tree" --snapdir "$z_dir" >/dev/null ||
                    { echo "bench: the snapshot of /$tree does not verify" >&2; exit 1; }
            fi
            sync -f "$vol"
            fs+=("$(timed "$replay" create "$vol" "/$tree" "$f_dir" "$cpus")")
            sync -f "$vol"
            if [ -n "$timev" ]; then
                read -r -a wc <<<"$(timed_cpu cp -a "$vol/$tree" "$c_dir")"
                cs+=("${wc[0]}")
                ccpu+=("${wc[1]}")
            else
                cs+=("$(timed cp -a "$vol/$tree" "$c_dir")")
            fi
            if [ "$have_rsync" -eq 1 ]; then
                sync -f "$vol"
                rs+=("$(timed rsync -aX "$vol/$tree/" "$r_dir/")")
            fi
            [ "$keep" -eq 1 ] || rm -rf "$vol$z_dir" "$vol$f_dir" "$c_dir" "$r_dir"
        done
        local z c r f label
        z=$(median "${zs[@]}")
        c=$(median "${cs[@]}")
        f=$(median "${fs[@]}")
        r=-
        [ "$have_rsync" -eq 1 ] && r=$(median "${rs[@]}")
        if [ "$tree" = small ]; then
            label="$small_files files 1-16 KiB"
        else
            label="$large_files files of $large_mb MiB"
        fi
        printf '%-6s %-24s %9s %9s %9s %9s %7s %7s %7s %6s\n' "$fsname" "$label" "$z" "$c" "$r" "$f" \
            "$(ratio "$z" "$c")" "$(ratio "$z" "$r")" "$(ratio "$z" "$f")" "$(median "${loads[@]}")"
        summary+=("$(printf '%-6s %-34s time z/cp %s, z/rsync %s, z/floor %s' "$fsname" "create, $label" \
            "$(ratio "$z" "$c")" "$(ratio "$z" "$r")" "$(ratio "$z" "$f")")")
        if [ "$tree" = small ] && [ -n "$timev" ]; then
            local zc cc zcalls="-" ccalls="-"
            zc=$(median "${zcpu[@]}")
            cc=$(median "${ccpu[@]}")
            if command -v strace >/dev/null 2>&1; then
                mkdir "$vol/snapcalls"
                zcalls=$(calls_per_file "$small_files" "$znfssnap" create --volume "$vol" --dataset /small \
                    --snapdir /snapcalls)
                ccalls=$(calls_per_file "$small_files" cp -a "$vol/small" "$vol/cpcalls")
            fi
            printf '%-6s %-24s cpu %6s s, cp -a %6s s (z/cp %s); system calls per file %s, cp -a %s\n' \
                "$fsname" "$label" "$zc" "$cc" "$(ratio "$zc" "$cc")" "$zcalls" "$ccalls"
            summary+=("$(printf '%-6s %-34s cpu z/cp %s, calls per file %s (cp -a %s)' "$fsname" \
                "create, $label" "$(ratio "$zc" "$cc")" "$zcalls" "$ccalls")")
        fi
        rm -rf "$vol"/snap* "$vol"/floor* "$vol"/cp* "$vol"/rs*
    done
    if [ "$sweep" = 1 ]; then
        local w line=""
        # Interleaved, so that a change of load touches every count alike; copies kept until
        # the end, as above.
        local -A ws=()
        for ((i = 0; i < runs; i++)); do
            for w in 1 2 4 8 16; do
                mkdir "$vol/sweep$w.$i"
                sync -f "$vol"
                ws[$w]+=" $(timed "$znfssnap" create --volume "$vol" --dataset /small --snapdir "/sweep$w.$i" \
                    --threads "$w")"
            done
        done
        for w in 1 2 4 8 16; do
            # shellcheck disable=SC2086
            line+="$(printf ' %d:%s' "$w" "$(median ${ws[$w]})")"
        done
        echo "$fsname   small tree by workers (seconds):$line   load $(load)"
        rm -rf "$vol"/sweep*
    fi
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
    printf '%-34s %10s %14s %10s %10s %6s\n' "deletion" "seconds" "names/s" "handed on" "unlinked" "load"
    local prev mode pool_rate=""
    for prev in "" /prev; do
        for mode in pool inline; do
            local secs=() out i args loads=()
            for ((i = 0; i < runs; i++)); do
                "$gen" objects "$obj" "$delete_names"
                # Every run is a whole deletion of the same list again, whatever the run before
                # it recorded as its previous snapshot.
                args=(delete --volume "$vol" --object-volume "$obj" --snapdir /snap --new-prevsnap --json)
                [ -n "$prev" ] && args+=(--prevsnap "$prev")
                [ "$mode" = inline ] && args+=(--inline)
                loads+=("$(load)")
                out=$("$znfssnap" "${args[@]}") || { echo "bench: deletion failed: $out" >&2; exit 1; }
                secs+=("$(echo "$out" | json_field seconds | awk '{ printf "%.3f", $1 }')")
            done
            local s label rate
            s=$(median "${secs[@]}")
            rate=$(awk -v n="$delete_names" -v s="$s" 'BEGIN { if (s > 0) printf "%.0f", n / s; else print "-" }')
            label="$( [ -n "$prev" ] && echo "with previous" || echo "no previous"), $mode"
            printf '%-34s %10s %14s %10s %10s %6s\n' "$label" "$s" "$rate" \
                "$(echo "$out" | json_field names_handed_on)" "$(echo "$out" | json_field objects_unlinked)" \
                "$(median "${loads[@]}")"
            [ -n "$prev" ] && [ "$mode" = pool ] && pool_rate=$rate
        done
    done
    # The same system calls per name, with a previous snapshot, without the library.
    local threads
    for threads in 1 "$cpus"; do
        local rates=() i out
        for ((i = 0; i < runs; i++)); do
            "$gen" objects "$obj" "$delete_names"
            out=$("$replay" delete "$vol" "$obj" "$threads")
            rates+=("$(echo "$out" | awk '{ print $6 }')")
        done
        local rate
        rate=$(median "${rates[@]}")
        printf '%-34s %10s %14s %10s %10s %6s\n' "tight loop, $threads thread(s)" \
            "$(awk -v n="$delete_names" -v r="$rate" 'BEGIN { printf "%.3f", n / r }')" "$rate" "-" "-" "$(load)"
        summary+=("$(printf '%-6s %-34s rate pool/loop %s' tmpfs "delete, tight loop on $threads thread(s)" \
            "$(ratio "$pool_rate" "$rate")")")
    done
    rm -rf "$base"
}

# Maximum resident set of creation for trees of growing size (the pool's queue holds one item
# per entry of the tree at most, so the growth should stay linear with a small slope).
bench_memory() {
    [ -n "$memory_files" ] || return 0
    if [ -z "$timev" ]; then
        echo "memory: skipped (/usr/bin/time is missing; apt-get install time)"
        return 0
    fi
    local base n prev_kb="" prev_n=""
    base=$(mktemp -d "$tmpfs_dir/znfsbench.XXXXXX")
    bases+=("$base")
    printf '%-34s %10s %14s\n' "creation memory" "max RSS KiB" "KiB per 1000"
    for n in $memory_files; do
        rm -rf "$base/tree" "$base/snap"
        "$gen" small "$base/tree" "$n" "$(( n / 20 > 0 ? n / 20 : 1 ))"
        mkdir "$base/snap"
        local kb
        kb=$("$timev" -v "$znfssnap" create --volume "$base" --dataset /tree --snapdir /snap 2>&1 >/dev/null |
            awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }')
        local slope="-"
        [ -n "$prev_kb" ] && slope=$(awk -v a="$prev_kb" -v b="$kb" -v m="$prev_n" -v n="$n" \
            'BEGIN { printf "%.1f", (b - a) * 1000 / (n - m) }')
        printf '%-34s %10s %14s\n' "$n files in $(( n / 20 > 0 ? n / 20 : 1 )) dirs" "$kb" "$slope"
        summary+=("$(printf '%-6s %-34s max RSS %s KiB' tmpfs "create, $n files" "$kb")")
        prev_kb=$kb
        prev_n=$n
    done
    rm -rf "$base"
}

echo "znfssnap benchmarks: $cpus CPUs, median of $runs runs, times in seconds, load $(load)"
echo "(floor: the backend's system calls for the same copy in a tight loop on $cpus threads)"
echo
printf '%-6s %-24s %9s %9s %9s %9s %7s %7s %7s %6s\n' "fs" "tree" "znfssnap" "cp -a" "rsync -aX" "floor" \
    "z/cp" "z/rsync" "z/floor" "load"

# Room for the trees, the copies of the small tree kept per run (four tools, and five worker
# counts in the sweep) and four copies of the large tree, with a margin.
small_copies=$(( 4 * runs + 1 ))
[ "$sweep" = 1 ] && small_copies=$(( small_copies + 5 * runs ))
need=$(( (small_files * 12 * 1024 * small_copies + large_files * large_mb * 1024 * 1024 * 5) * 5 / 4 ))
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

echo
bench_memory

# In-place copies on XFS and btrfs, and the memory of a flat directory of a million files.
if [ "${BENCH_INPLACE:-1}" != 0 ] && [ "$(id -u)" -eq 0 ]; then
    echo
    "$(dirname "$0")/inplace.sh" "$build" || echo "inplace: the benchmark failed"
fi

# GlusterFS: the native backend against the POSIX backend and cp -a on a FUSE mount.
if [ "${BENCH_GLUSTER:-1}" != 0 ]; then
    echo
    "$(dirname "$0")/gluster.sh" "$build" || echo "gluster: the benchmark failed"
fi

echo
echo "summary (time ratios below 1 and rate ratios above 1: znfssnap is faster)"
printf '%s\n' "${summary[@]}"
