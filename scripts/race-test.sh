#!/usr/bin/env bash
# An unprivileged client racing a root-run znfssnap on a loop-mounted ext4 volume.
#
#   scripts/race-test.sh BUILD_DIR
#
# The user "nobody" owns the live dataset and may write into world-writable copies in the
# snapshots, as a client of a shared volume can. While root takes and deletes snapshots, it
# swaps directories of the dataset for links (to its ancestor, to another tree, to a root-only
# file) and plants links in a snapshot where listed names have no copy (to copies of the
# previous snapshot, whose objects that snapshot still uses). Afterwards no byte outside the
# trees copied or removed has changed, no object a snapshot refers to is gone, and no other
# tree's data is in a snapshot. Bounded to about a minute. Exit 3: cannot run here (not root,
# no loop device); the reason is printed.
set -uo pipefail
# Read whole before anything runs: the background clients share this script's file offset.
{
build=${1:-build}
znfssnap=$(realpath "$build/tools/znfssnap/znfssnap")
seconds=${ZNFS_RACE_SECONDS:-20}

skip() {
    echo "race-test: skipped: $*"
    exit 3
}
[ "$(id -u)" -eq 0 ] || skip "needs root (loop mount, and a second user)"
command -v mkfs.ext4 >/dev/null || skip "mkfs.ext4 is not installed"
command -v setpriv >/dev/null || skip "setpriv is not installed"
command -v setfattr >/dev/null || skip "setfattr is not installed"
id nobody >/dev/null 2>&1 || skip "no user nobody"

work=$(mktemp -d /tmp/znfsrace.XXXXXX)
chmod 755 "$work"
mnt=$work/mnt
attacker=
cleanup() {
    [ -n "$attacker" ] && kill "$attacker" 2>/dev/null && wait "$attacker" 2>/dev/null
    umount "$mnt" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

truncate -s 256M "$work/image"
mkfs.ext4 -q -F "$work/image" || skip "mkfs.ext4 failed"
mkdir "$mnt"
mount -o loop "$work/image" "$mnt" 2>/dev/null || skip "no loop device to mount an ext4 image"
chmod 755 "$mnt"

fail=0
check() {  # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; fail=1; fi
}
no_token_in_snapshots() { ! grep -rqs -e OTHER-TREE-TOKEN -e ROOT-ONLY-TOKEN "$mnt/snaps"; }
as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }

# The trees that are not the dataset's, and their fingerprints.
mkdir -p "$mnt/other" "$mnt/snaps" "$mnt/objects"
echo "OTHER-TREE-TOKEN" >"$mnt/other/secret"
echo "ROOT-ONLY-TOKEN" >"$mnt/victim"
chmod 600 "$mnt/victim"
fingerprint() { (cd "$mnt" && find other victim objects -printf '%p %s %m\n' | sort && md5sum victim other/secret); }
before=$(fingerprint)

# The dataset: nobody's, with a world-writable directory and some depth.
mkdir -p "$mnt/live"
for d in 0 1 2 3 4 5 6 7; do
    mkdir -p "$mnt/live/d$d/inner"
    for f in 0 1 2 3 4 5 6 7 8 9; do echo "data $d $f" >"$mnt/live/d$d/inner/f$f"; done
done
mkdir -p "$mnt/live/pub"
for f in $(seq 0 199); do echo "pub $f" >"$mnt/live/pub/f$f"; done
chmod 1777 "$mnt/live/pub"
chown -R nobody:nogroup "$mnt/live"
entries=$(find "$mnt/live" | wc -l)

# --- Creation while nobody swaps the dataset's directories for links.
cat >"$work/swap.sh" <<'EOF'
cd "$1/live" || exit 1
end=$((SECONDS + $2))
while [ $SECONDS -lt $end ]; do
    for d in d0 d1 d2 d3 d4 d5 d6 d7; do
        mv "$d" ".$d" 2>/dev/null || continue
        case $d in
        d0|d1) ln -s .. "$d" ;;
        d2|d3) ln -s ../other "$d" ;;
        d4|d5) ln -s ../victim "$d" ;;
        *) ln -s ../snaps "$d" ;;
        esac
        rm -f "$d"
        mv ".$d" "$d"
    done
done
EOF
as_nobody bash "$work/swap.sh" "$mnt" "$seconds" &
attacker=$!
runs=0
while kill -0 "$attacker" 2>/dev/null; do
    runs=$((runs + 1))
    mkdir "$mnt/snaps/c$runs"
    "$znfssnap" create --volume "$mnt" --dataset /live --snapdir "/snaps/c$runs" >/dev/null 2>&1
    [ "$runs" -ge 40 ] && break
done
wait "$attacker" 2>/dev/null
attacker=
echo "creation: $runs snapshots taken while the dataset's directories were swapped"
check "no byte outside the dataset and snapshots changed" [ "$before" = "$(fingerprint)" ]
check "no other tree's data in a snapshot" no_token_in_snapshots
biggest=0
for s in "$mnt"/snaps/c*; do n=$(find "$s" | wc -l); [ "$n" -gt "$biggest" ] && biggest=$n; done
# Beyond the dataset's entries a snapshot holds its directory, .delete, the delete list and,
# for a creation the swaps made incomplete, the marker saying so.
check "no snapshot grew beyond its dataset ($biggest entries, dataset $entries)" [ "$biggest" -le $((entries + 4)) ]

# --- Deletion while nobody plants links where listed names have no copy.
mkdir "$mnt/snaps/s1" "$mnt/snaps/s2"
"$znfssnap" create --volume "$mnt" --dataset /live --snapdir /snaps/s1 >/dev/null 2>&1
for f in $(seq 0 199); do
    echo "object $f" >"$mnt/objects/o$f"
    setfattr -n trusted.vidoruvud.uuid -v "/objects/o$f" "$mnt/snaps/s1/pub/f$f" || skip "cannot set trusted attributes"
done
"$znfssnap" create --volume "$mnt" --dataset /live --snapdir /snaps/s2 >/dev/null 2>&1
for f in $(seq 0 199); do echo "pub/x$f"; done | "$znfssnap" list-add --volume "$mnt" --snapdir /snaps/s2 >/dev/null
objects_before=$(fingerprint)
cat >"$work/plant.sh" <<'EOF'
cd "$1/snaps/s2/pub" || exit 1
end=$((SECONDS + $2))
while [ $SECONDS -lt $end ]; do
    for f in $(seq 0 199); do ln -sf "../../s1/pub/f$f" "x$f" 2>/dev/null; done
    for f in $(seq 0 199); do rm -f "x$f"; mkdir -p "x$f.d"; ln -sf ../../../s1/pub "x$f.d/l" 2>/dev/null; rmdir "x$f.d" 2>/dev/null; done
done
EOF
as_nobody bash "$work/plant.sh" "$mnt" "$((seconds / 2))" &
attacker=$!
deletions=0
while kill -0 "$attacker" 2>/dev/null; do
    deletions=$((deletions + 1))
    "$znfssnap" delete --volume "$mnt" --object-volume "$mnt" --snapdir /snaps/s2 --prevsnap /snaps/s1 \
        >/dev/null 2>&1
    rm -f "$mnt/snaps/s2/.delete/delete_complete"
    [ "$deletions" -ge 40 ] && break
done
wait "$attacker" 2>/dev/null
attacker=
echo "deletion: $deletions deletions while links were planted in the snapshot"
check "every object the previous snapshot uses is there, and nothing else outside changed" \
    [ "$objects_before" = "$(fingerprint)" ]

[ "$fail" -eq 0 ] && echo "race-test: passed" || echo "race-test: FAILED"
exit "$fail"
}
