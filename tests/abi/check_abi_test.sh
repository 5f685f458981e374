#!/usr/bin/env bash
# The ABI check passes on the built library and fails, naming the change, on
# a library built from a deliberately edited copy of the public header: a
# record that grows, and a parameter whose type changes.
# usage: check_abi_test.sh <source dir> <C++ compiler> <built library> [library ...]
set -euo pipefail
source_dir=$1 cxx=$2
libraries=("${@:3}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

"$source_dir/scripts/check-abi" "${libraries[@]}" || { echo "FAILED: a built library does not match its baseline"; exit 1; }

# build_edited <name> <sed script>: the stand-in library and the header, both edited.
build_edited() {
  mkdir -p "$work/$1"
  sed "$2" "$source_dir/api/QuorvellanAPI.h" >"$work/$1/QuorvellanAPI.h"
  sed "$2" "$source_dir/tests/abi/stand_in_library.cpp" >"$work/$1/stand_in_library.cpp"
  cmp -s "$work/$1/QuorvellanAPI.h" "$source_dir/api/QuorvellanAPI.h" && { echo "the edit '$2' changed nothing"; exit 1; }
  "$cxx" -std=c++17 -shared -fPIC -g -I"$work/$1" -DQUORVELLAN_BUILDING_LIBRARY -o "$work/$1/libQuorvellanAPI.so.1" \
    -Wl,-soname,libQuorvellanAPI.so.1 -Wl,--version-script="$source_dir/cmake/exports.map" \
    "$work/$1/stand_in_library.cpp"
}

# expect_failure <name> <sed expression> <text the report must hold>
expect_failure() {
  build_edited "$1" "$2"
  local status=0 report
  report=$("$source_dir/scripts/check-abi" "$work/$1/libQuorvellanAPI.so.1") || status=$?
  if ((status == 0)); then
    echo "FAILED: $1 passed the ABI check"; failures=$((failures + 1))
  elif ! grep -qF -- "$3" <<<"$report"; then
    echo "FAILED: $1: the report does not say '$3':"; echo "$report"; failures=$((failures + 1))
  else
    echo "ok: $1 fails the check:"; sed 's/^/    /' <<<"$report"
  fi
}

expect_failure record-layout '/^typedef struct FloorSpeeds {/,/^}/ s/double y;/double y;\n    double z;/
  s/sizeof(FloorSpeeds) == 16/sizeof(FloorSpeeds) == 24/' \
  "type size changed from 128 to 192 (in bits)"
expect_failure signature 's/SetManualSpeeds(double xSpeed/SetManualSpeeds(float xSpeed/' \
  "parameter 1 of type 'double' changed"
((failures == 0))
