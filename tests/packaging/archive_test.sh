#!/usr/bin/env bash
# The release files of dist/: checksums hold, and each archive, unpacked into
# an empty folder, is all a consumer needs: Linux with CMake and pkg-config,
# Windows with mingw-w64 against the import libraries, run under Wine. Both
# talk to the simulator from the Linux archive.
# usage: archive_test.sh <dist dir> <wine prefix>
set -euo pipefail
dist=$(cd "$1" && pwd) wine_prefix=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$dist" && sha256sum --quiet -c SHA256SUMS)
echo "SHA256SUMS: $(wc -l <"$dist/SHA256SUMS") files match"

mkdir "$work/linux" "$work/windows"
tar -xzf "$dist"/QuorvellanAPI-*-linux-x86_64.tar.gz -C "$work/linux"
(cd "$work/windows" && unzip -q "$dist"/QuorvellanAPI-*-windows-x64.zip)
linux=$(echo "$work"/linux/QuorvellanAPI-*)
windows=$(echo "$work"/windows/QuorvellanAPI-*)
for file in bin/QuorvellanAPI.dll lib/libQuorvellanAPI.dll.a lib/QuorvellanAPI.lib lib/QuorvellanAPI.def \
            include/QuorvellanAPI.h share/QuorvellanAPI/csharp/Quorvellan.cs share/QuorvellanAPI/python/quorvellan \
            unity/com.quorvellan.api/package.json unity/com.quorvellan.api/Plugins/x86_64/QuorvellanAPI.dll \
            unity/com.quorvellan.api/Plugins/x86_64/libQuorvellanAPI.so README.md LICENSE; do
  [[ -e $windows/$file ]] || { echo "missing from the Windows archive: $file"; exit 1; }
done
for file in README.md LICENSE; do
  [[ -e $linux/$file ]] || { echo "missing from the Linux archive: $file"; exit 1; }
done

echo "=== Linux archive"
"$here/run_consumers.sh" --prefix "$linux" cc cmake
echo "=== Windows archive"
"$here/windows_consumer.sh" "$windows" "$linux/bin/quorvellan-controller-sim" "$wine_prefix"
