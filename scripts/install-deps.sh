#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when they are missing.
# With --demo first, only what builds the libraries and the command (the demo needs no more);
# further arguments name more packages.
set -euo pipefail
pkgs=(build-essential cmake pkg-config libboost-dev libboost-thread-dev libboost-system-dev libglusterfs-dev)
if [ "${1:-}" = --demo ]; then
  shift
else
  pkgs+=(libgtest-dev googletest attr rsync clang libclang-rt-14-dev e2fsprogs util-linux
         glusterfs-server glusterfs-cli)
fi
pkgs+=("$@")
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]} (run as root, or install them)" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
