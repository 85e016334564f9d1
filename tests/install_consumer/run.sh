#!/usr/bin/env bash
# Installs the build into a scratch prefix, moves the tree elsewhere, and uses it from there:
# a host program built with find_package and one built with pkg-config, the installed command
# without LD_LIBRARY_PATH, its manual page and its completion.
set -euo pipefail
src=$(cd "$(dirname "$0")" && pwd)
build=$1
work=$(mktemp -d /tmp/znfsinstall.XXXXXX)
trap 'rm -rf "$work"' EXIT
unset LD_LIBRARY_PATH
cmake --install "$build" --prefix "$work/staging" >/dev/null
mv "$work/staging" "$work/prefix"
prefix=$work/prefix

cmake -S "$src" -B "$work/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/build" >/dev/null
"$work/build/consumer"

export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name znfssnapcore.pc)")
libdir=$(pkg-config --variable=libdir znfssnapcore)
# shellcheck disable=SC2046
c++ -std=c++17 -o "$work/pc-consumer" "$src/consumer.cpp" $(pkg-config --cflags --libs znfssnapcore) \
    -Wl,-rpath,"$libdir"
"$work/pc-consumer"

version=$("$prefix/bin/znfssnap" --version)
[ "$version" = "znfssnap $(pkg-config --modversion znfssnapcore)" ] || { echo "version: $version" >&2; exit 1; }

if command -v man >/dev/null; then
  warnings=$(MANWIDTH=80 man --warnings -l "$prefix/share/man/man1/znfssnap.1" 2>&1 >/dev/null)
  [ -z "$warnings" ] || { echo "man: $warnings" >&2; exit 1; }
fi

# shellcheck source=/dev/null
source "$prefix/share/bash-completion/completions/znfssnap"
COMP_WORDS=("$prefix/bin/znfssnap" cre); COMP_CWORD=1; _znfssnap
[ "${COMPREPLY[*]}" = create ] || { echo "completion of 'cre': ${COMPREPLY[*]}" >&2; exit 1; }
COMP_WORDS=("$prefix/bin/znfssnap" create --res); COMP_CWORD=2; _znfssnap
[ "${COMPREPLY[*]}" = --resume ] || { echo "completion of 'create --res': ${COMPREPLY[*]}" >&2; exit 1; }
echo "install_consumer: ok from $prefix ($version)"
