#!/usr/bin/env bash
# Builds the consumer against an installed tree twice, with find_package and
# with pkg-config, and runs both against the tree's own simulator.
# usage: run_consumers.sh <build dir> <C compiler> <cmake>
#          installs the build into a temporary prefix first
#        run_consumers.sh --prefix <installed tree> <C compiler> <cmake>
#          an installed or unpacked tree as it is (the Linux release archive)
set -euo pipefail
if [[ $1 == --prefix ]]; then
  shift
  prefix=$(cd "$1" && pwd) build_dir=
else
  prefix= build_dir=$1
fi
cc=$2 cmake=$3
here=$(cd "$(dirname "$0")" && pwd)
source "$here/simulator.sh"
work=$(mktemp -d)
trap 'stop_simulator; rm -rf "$work"' EXIT

if [[ -n $build_dir ]]; then
  prefix=$work/prefix
  "$cmake" --install "$build_dir" --prefix "$prefix" >/dev/null
fi

echo "installed:"
(cd "$prefix" && find . \( -type f -o -type l \) | sort | sed 's/^/  /')
libdir=$(dirname "$(find "$prefix" -name quorvellanapi.pc)")/..
libdir=$(cd "$libdir" && pwd)
for file in "$prefix/include/QuorvellanAPI.h" "$libdir/libQuorvellanAPI.so" "$libdir/libQuorvellanAPI.so.1" \
            "$prefix/include/QuorvellanStream.h" "$libdir/libQuorvellanStream.so.1" "$libdir/pkgconfig/quorvellanstream.pc" \
            "$libdir/cmake/QuorvellanAPI/QuorvellanAPIConfig.cmake" \
            "$libdir/cmake/QuorvellanAPI/QuorvellanAPIConfigVersion.cmake" \
            "$prefix/bin/quorvellan-controller-sim" "$prefix/bin/quorvellan-monitor"; do
  [[ -e $file ]] || { echo "missing from the install: $file"; exit 1; }
done
soname=$(objdump -p "$libdir/libQuorvellanAPI.so" | awk '/SONAME/ {print $2}')
[[ $soname == libQuorvellanAPI.so.1 ]] || { echo "SONAME is '$soname'"; exit 1; }

echo "find_package consumer:"
"$cmake" -S "$here/consumer" -B "$work/consumer-cmake" -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
"$cmake" --build "$work/consumer-cmake" >/dev/null

echo "pkg-config consumer:"
export PKG_CONFIG_PATH=$libdir/pkgconfig
for module in quorvellanapi quorvellanstream; do
  version=$(pkg-config --modversion $module)
  [[ $version == 1.3.0 ]] || { echo "pkg-config version of $module is '$version'"; exit 1; }
done
# shellcheck disable=SC2046
"$cc" -Wall -Wextra -Werror -o "$work/consumer-pkg-config" "$here/consumer/consumer.c" \
  $(pkg-config --cflags --libs quorvellanapi) -Wl,-rpath,"$(pkg-config --variable=libdir quorvellanapi)"
# shellcheck disable=SC2046
"$cc" -Wall -Wextra -Werror -o "$work/stream_consumer-pkg-config" "$here/consumer/stream_consumer.c" \
  $(pkg-config --cflags --libs quorvellanstream) -Wl,-rpath,"$(pkg-config --variable=libdir quorvellanstream)"

echo "installed monitor starts:"
"$prefix/bin/quorvellan-monitor" --help >/dev/null

echo "installed Python sources load the installed libraries:"
env -u QUORVELLAN_LIBRARY -u QUORVELLAN_STREAM_LIBRARY -u LD_LIBRARY_PATH PYTHONPATH="$prefix/share/QuorvellanAPI/python" \
  python3 -B -c 'import sys, quorvellan.stream as s; paths = [s._native.library()._name, s.stream_library()._name]
assert all(path.startswith(sys.argv[1] + "/") for path in paths), paths' "$prefix"

start_simulator "$prefix/bin/quorvellan-controller-sim" "$work/simulator.log" --identity local --serial PKG-0001
"$work/consumer-cmake/consumer" PKG-0001
"$work/consumer-pkg-config" PKG-0001
"$work/consumer-cmake/stream_consumer" PKG-0001
"$work/stream_consumer-pkg-config" PKG-0001
