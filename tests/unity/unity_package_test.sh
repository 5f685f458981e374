#!/usr/bin/env bash
# Assembles the Unity package from the built libraries, checks its layout and
# import settings, and compiles it with mcs: the runtime assembly on its own
# (as its assembly definition says: no engine references, no unsafe code),
# the sample against the UnityEngine stand-in.
# usage: unity_package_test.sh <source dir> <mcs> <version> <library> ...
set -euo pipefail
source_dir=$1 mcs=$2 version=$3
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
package=$work/com.quorvellan.api

"$source_dir/scripts/build-unity-package" "$package" "${@:4}"
python3 "$here/check_unity_package.py" "$package" "$version"

compile() { "$mcs" -nologo -warnaserror+ -target:library "$@"; }
compile -out:"$work/Quorvellan.Runtime.dll" "$package"/Runtime/*.cs
compile -out:"$work/UnityEngine.StandIn.dll" "$here/UnityEngineStandIn.cs"
compile -r:"$work/Quorvellan.Runtime.dll" -r:"$work/UnityEngine.StandIn.dll" -out:"$work/Sample.dll" \
  "$package"/Samples~/*/*.cs
echo "unity package: runtime and sample compile"
