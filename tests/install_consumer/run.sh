#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds and runs a host program against it.
set -euo pipefail
src=$(cd "$(dirname "$0")" && pwd)
build=$1
work=$(mktemp -d /tmp/znfsinstall.XXXXXX)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S "$src" -B "$work/build" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/build" >/dev/null
LD_LIBRARY_PATH="$work/prefix/lib" "$work/build/consumer"
# pkg-config sees the same package.
PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" pkg-config --exists znfssnapcore
