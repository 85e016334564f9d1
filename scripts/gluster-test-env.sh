#!/usr/bin/env bash
# Local GlusterFS volumes for the gluster backend's test suite.
#
#   scripts/gluster-test-env.sh up              start glusterd if none runs, create and start the volumes
#   scripts/gluster-test-env.sh down            stop and delete the volumes, remove their bricks, and
#                                               stop glusterd if "up" started it
#   scripts/gluster-test-env.sh kill-brick V N  kill the process of brick N (1, 2) of volume V, as a
#                                               crash would, and wait until glusterd sees it gone
#   scripts/gluster-test-env.sh revive V        start every brick of volume V that is down, and wait
#                                               until all of them are online
#   scripts/gluster-test-env.sh heal V on|off   turn the self-heal of replicated volume V on or off
#                                               (its daemon and its clients'), to keep a brick stale
#
# Single-brick volumes named by $ZNFS_GLUSTER_LIVE (default znfs_live), $ZNFS_GLUSTER_OBJ (default
# znfs_obj) and $ZNFS_GLUSTER_CONTRACT (default znfs_contract: a volume the service contract suite
# may empty at will), with bricks under /var/lib/znfs-gluster-test/<volume>; and two volumes of
# two bricks each, under /var/lib/znfs-gluster-test/<volume>/b1 and b2, for losing a brick:
# $ZNFS_GLUSTER_DIST (default znfs_dist, pure distribute) and $ZNFS_GLUSTER_REPL (default
# znfs_repl, replica 2). Every command is safe to repeat. Exit status 3 means the suite cannot
# run on this machine (not root, or GlusterFS not installed); the reason is printed.
set -euo pipefail

BRICKROOT=/var/lib/znfs-gluster-test
STATEFILE=$BRICKROOT/.glusterd-started-by-test-env
VOLUMES=("${ZNFS_GLUSTER_LIVE:-znfs_live}" "${ZNFS_GLUSTER_OBJ:-znfs_obj}" "${ZNFS_GLUSTER_CONTRACT:-znfs_contract}")
DIST=${ZNFS_GLUSTER_DIST:-znfs_dist}
REPL=${ZNFS_GLUSTER_REPL:-znfs_repl}
WAIT_SECONDS=60

skip() {
    echo "gluster-test-env: gluster suite skipped: $*" >&2
    exit 3
}

die() {
    echo "gluster-test-env: $*" >&2
    exit 1
}

g() { gluster --mode=script "$@"; }

# Polls "$@" until it succeeds or WAIT_SECONDS pass.
wait_for() {
    local what=$1
    shift
    local deadline=$((SECONDS + WAIT_SECONDS))
    until "$@" >/dev/null 2>&1; do
        ((SECONDS < deadline)) || die "timed out waiting for $what"
        sleep 0.2
    done
}

glusterd_gone() { [[ $(cat "/proc/$1/comm" 2>/dev/null) != glusterd ]]; }

glusterd_answers() { gluster --mode=script volume list >/dev/null 2>&1; }

volume_exists() { g volume info "$1" >/dev/null 2>&1; }

volume_started() { g volume info "$1" 2>/dev/null | grep -q '^Status: Started'; }

# "PATH STATUS PID" for each brick of volume $1 (status 1: online).
brick_states() {
    g volume status "$1" --xml 2>/dev/null | tr -d ' \n' | grep -o '<node>.*</node>' | sed 's#</node>#\n#g' |
        sed -n 's#.*<path>\([^<]*\)</path>.*<status>\([01]\)</status>.*<pid>\([^<]*\)</pid>.*#\1 \2 \3#p' |
        grep "^$BRICKROOT/" || true
}

# Every brick of the volume is online and listening on a port.
brick_online() {
    local states
    states=$(brick_states "$1")
    [[ -n $states ]] && ! grep -q ' 0 ' <<<"$states"
}

# The brick at path $2 of volume $1 is offline.
brick_offline() { brick_states "$1" | grep -q "^$2 0 "; }

check_host() {
    [[ $(id -u) -eq 0 ]] || skip "needs root to run glusterd and create bricks"
    command -v glusterd >/dev/null 2>&1 || skip "glusterd is not installed (Debian: glusterfs-server)"
    command -v gluster >/dev/null 2>&1 || skip "the gluster command is not installed (Debian: glusterfs-cli)"
}

start_glusterd() {
    glusterd_answers && return 0
    if ! pgrep -x glusterd >/dev/null 2>&1; then
        mkdir -p "$BRICKROOT"
        glusterd
        # glusterd daemonises; remember its pid so that "down" stops this one and no other.
        wait_for "glusterd to start" pgrep -x -n glusterd
        pgrep -x -n glusterd >"$STATEFILE"
    fi
    wait_for "glusterd to answer" glusterd_answers
}

up() {
    check_host
    start_glusterd
    local host
    host=$(hostname)
    for vol in "${VOLUMES[@]}"; do
        local brick=$BRICKROOT/$vol
        if ! volume_exists "$vol"; then
            # A brick left by an earlier volume of the same name carries its volume id and
            # would be refused; it is ours, so it goes.
            rm -rf "$brick"
            mkdir -p "$brick"
            g volume create "$vol" "$host:$brick" force >/dev/null
        fi
        volume_started "$vol" || g volume start "$vol" force >/dev/null
        brick_online "$vol" || g volume start "$vol" force >/dev/null
        wait_for "volume $vol to come online" brick_online "$vol"
    done
    # Two bricks on one host make a replica set that the tool would warn about; "force" says
    # that is meant.
    local kind
    for vol in "$DIST" "$REPL"; do
        kind=()
        [[ $vol == "$REPL" ]] && kind=(replica 2)
        if ! volume_exists "$vol"; then
            rm -rf "${BRICKROOT:?}/$vol"
            mkdir -p "$BRICKROOT/$vol/b1" "$BRICKROOT/$vol/b2"
            g volume create "$vol" "${kind[@]}" "$host:$BRICKROOT/$vol/b1" "$host:$BRICKROOT/$vol/b2" force >/dev/null
        fi
        volume_started "$vol" || g volume start "$vol" force >/dev/null
        brick_online "$vol" || g volume start "$vol" force >/dev/null
        wait_for "volume $vol to come online" brick_online "$vol"
    done
    echo "gluster-test-env: volumes ${VOLUMES[*]} $DIST $REPL online on $host"
    echo "  export ZNFS_GLUSTER_HOST=$host ZNFS_GLUSTER_LIVE=${VOLUMES[0]} ZNFS_GLUSTER_OBJ=${VOLUMES[1]}" \
        "ZNFS_GLUSTER_CONTRACT=${VOLUMES[2]} ZNFS_GLUSTER_DIST=$DIST ZNFS_GLUSTER_REPL=$REPL"
}

kill_brick() {
    check_host
    local vol=$1 brick=$BRICKROOT/$1/b$2 pid
    pid=$(brick_states "$vol" | awk -v b="$brick" '$1 == b && $2 == 1 { print $3 }')
    [[ $pid =~ ^[0-9]+$ ]] && ((pid > 1)) || die "brick $brick of $vol is not online"
    [[ $(cat "/proc/$pid/comm" 2>/dev/null) == glusterfsd ]] || die "process $pid is no brick"
    kill -KILL "$pid"
    # glusterd starts again only a brick it knows is gone.
    wait_for "glusterd to see brick $brick gone" brick_offline "$vol" "$brick"
}

revive() {
    check_host
    local vol=$1
    local deadline=$((SECONDS + WAIT_SECONDS))
    until brick_online "$vol"; do
        ((SECONDS < deadline)) || die "timed out reviving $vol"
        g volume start "$vol" force >/dev/null 2>&1 || true
        brick_online "$vol" || sleep 0.5
    done
}

heal() {
    check_host
    local vol=$1 how=$2
    for opt in self-heal-daemon data-self-heal metadata-self-heal entry-self-heal; do
        g volume set "$vol" "cluster.$opt" "$how" >/dev/null
    done
}

down() {
    check_host
    if glusterd_answers; then
        for vol in "${VOLUMES[@]}" "$DIST" "$REPL"; do
            if volume_exists "$vol"; then
                volume_started "$vol" && g volume stop "$vol" force >/dev/null
                g volume delete "$vol" >/dev/null
            fi
        done
    fi
    for vol in "${VOLUMES[@]}" "$DIST" "$REPL"; do
        rm -rf "${BRICKROOT:?}/$vol"
    done
    if [[ -f $STATEFILE ]]; then
        local pid
        pid=$(cat "$STATEFILE")
        rm -f "$STATEFILE"
        if [[ -n $pid ]] && [[ $(cat "/proc/$pid/comm" 2>/dev/null) == glusterd ]]; then
            kill "$pid"
            # A following "up" must not find it still on its way out.
            wait_for "glusterd to stop" glusterd_gone "$pid"
        fi
    fi
    echo "gluster-test-env: volumes ${VOLUMES[*]} $DIST $REPL removed"
}

case "${1:-}" in
up) up ;;
down) down ;;
kill-brick)
    [[ $# -eq 3 && ($3 == 1 || $3 == 2) ]] || die "usage: $0 kill-brick VOLUME 1|2"
    kill_brick "$2" "$3"
    ;;
revive)
    [[ $# -eq 2 ]] || die "usage: $0 revive VOLUME"
    revive "$2"
    ;;
heal)
    [[ $# -eq 3 && ($3 == on || $3 == off) ]] || die "usage: $0 heal VOLUME on|off"
    heal "$2" "$3"
    ;;
*)
    echo "usage: $0 up|down|kill-brick VOLUME N|revive VOLUME|heal VOLUME on|off" >&2
    exit 2
    ;;
esac
