#!/usr/bin/env bash
# Local GlusterFS volumes for the gluster backend's test suite.
#
#   scripts/gluster-test-env.sh up     start glusterd if none runs, create and start the volumes
#   scripts/gluster-test-env.sh down   stop and delete the volumes, remove their bricks, and stop
#                                      glusterd if "up" started it
#
# The volumes are single-brick volumes on this host, named by $ZNFS_GLUSTER_LIVE (default
# znfs_live), $ZNFS_GLUSTER_OBJ (default znfs_obj) and $ZNFS_GLUSTER_CONTRACT (default
# znfs_contract: a volume the service contract suite may empty at will), with bricks under
# /var/lib/znfs-gluster-test/<volume>. Both commands are safe to repeat. Exit status 3 means the
# suite cannot run on this machine (not root, or GlusterFS not installed); the reason is printed.
set -euo pipefail

BRICKROOT=/var/lib/znfs-gluster-test
STATEFILE=$BRICKROOT/.glusterd-started-by-test-env
VOLUMES=("${ZNFS_GLUSTER_LIVE:-znfs_live}" "${ZNFS_GLUSTER_OBJ:-znfs_obj}" "${ZNFS_GLUSTER_CONTRACT:-znfs_contract}")
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

glusterd_answers() { gluster --mode=script volume list >/dev/null 2>&1; }

volume_exists() { g volume info "$1" >/dev/null 2>&1; }

volume_started() { g volume info "$1" 2>/dev/null | grep -q '^Status: Started'; }

# The brick process is online and listening on a port.
brick_online() {
    g volume status "$1" --xml 2>/dev/null | tr -d ' \n' | grep -q '<status>1</status>'
}

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
    echo "gluster-test-env: volumes ${VOLUMES[*]} online on $host"
    echo "  export ZNFS_GLUSTER_HOST=$host ZNFS_GLUSTER_LIVE=${VOLUMES[0]} ZNFS_GLUSTER_OBJ=${VOLUMES[1]}" \
        "ZNFS_GLUSTER_CONTRACT=${VOLUMES[2]}"
}

down() {
    check_host
    if glusterd_answers; then
        for vol in "${VOLUMES[@]}"; do
            if volume_exists "$vol"; then
                volume_started "$vol" && g volume stop "$vol" force >/dev/null
                g volume delete "$vol" >/dev/null
            fi
        done
    fi
    for vol in "${VOLUMES[@]}"; do
        rm -rf "${BRICKROOT:?}/$vol"
    done
    if [[ -f $STATEFILE ]]; then
        local pid
        pid=$(cat "$STATEFILE")
        rm -f "$STATEFILE"
        if [[ -n $pid ]] && [[ $(cat "/proc/$pid/comm" 2>/dev/null) == glusterd ]]; then
            kill "$pid"
        fi
    fi
    echo "gluster-test-env: volumes ${VOLUMES[*]} removed"
}

case "${1:-}" in
up) up ;;
down) down ;;
*)
    echo "usage: $0 up|down" >&2
    exit 2
    ;;
esac
