#!/usr/bin/env bash
# The release files of dist/: checksums hold, and each archive, unpacked into
# an empty folder, is all a consumer needs: Linux with CMake and pkg-config,
# Windows with mingw-w64 against the import libraries, run under Wine, the
# Windows tools under Wine against the Linux ones, the wheel (core and stream)
# in a fresh venv, the Unity tarball's layout. They talk to the simulator from
# the Linux archive.
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
windows_files=(bin/quorvellan-controller-sim.exe bin/quorvellan-monitor.exe include/QuorvellanAPI.h
               include/QuorvellanStream.h share/QuorvellanAPI/csharp/Quorvellan.cs
               share/QuorvellanAPI/csharp/QuorvellanStream.cs share/QuorvellanAPI/python/quorvellan
               unity/com.quorvellan.api/package.json README.md LICENSE CHANGELOG.md THIRD-PARTY-NOTICES.txt
               bin/quorvellan_openxr_layer.dll bin/XrApiLayer_quorvellan_treadmill.json
               xr-layer-install.ps1 xr-layer-uninstall.ps1 xr-calibrate.ps1 quorvellan-xr.ps1
               bin/quorvellan-xr-probe.exe docs/openxr-layer.md)
for library in QuorvellanAPI QuorvellanStream; do
  windows_files+=("bin/$library.dll" "lib/lib$library.dll.a" "lib/$library.lib" "lib/$library.def"
                  "unity/com.quorvellan.api/Plugins/x86_64/$library.dll"
                  "unity/com.quorvellan.api/Plugins/x86_64/lib$library.so")
done
for file in "${windows_files[@]}"; do
  [[ -e $windows/$file ]] || { echo "missing from the Windows archive: $file"; exit 1; }
done
# The MSVC import libraries name their symbols after the library alone, not
# after a folder of the packager's (the same bytes from every run).
for library in QuorvellanAPI QuorvellanStream; do
  names=$(strings "$windows/lib/$library.lib" | grep '_lib_iname$' | sort -u)
  [[ $names == "__${library}_lib_iname" ]] || { echo "$library.lib names a path: $names"; exit 1; }
done
for file in README.md LICENSE CHANGELOG.md THIRD-PARTY-NOTICES.txt lib/libquorvellan_openxr_layer.so \
            lib/XrApiLayer_quorvellan_treadmill.json bin/xr-layer-install bin/xr-layer-uninstall bin/xr-calibrate \
            bin/quorvellan-xr bin/quorvellan-xr-probe docs/openxr-layer.md; do
  [[ -e $linux/$file ]] || { echo "missing from the Linux archive: $file"; exit 1; }
done
# The notices name what is compiled in; the Windows ones the static runtimes too.
for notice in "Boost Software License" "Niels Lohmann" "GCC RUNTIME LIBRARY EXCEPTION" "mingw-w64"; do
  grep -q "$notice" "$windows/THIRD-PARTY-NOTICES.txt" || { echo "Windows notices lack '$notice'"; exit 1; }
done
for notice in "Boost Software License" "simdjson" "Apache License"; do
  for archive in "$linux" "$windows"; do
    grep -q "$notice" "$archive/THIRD-PARTY-NOTICES.txt" || { echo "$archive's notices lack '$notice'"; exit 1; }
  done
done
# simdjson is compiled in: the libraries need nothing a user's machine may lack.
if readelf -d "$linux"/lib/libQuorvellan*.so | grep -i 'NEEDED.*simdjson'; then
  echo "the Linux archive's libraries need simdjson's shared library"; exit 1
fi
# A Windows user gets the quick start, which names only files the archive has,
# the OpenXR layer among them.
grep -q "What to copy where" "$windows/README.md" || { echo "the Windows README is not the quick start"; exit 1; }
grep -q "XR_APILAYER_QUORVELLAN_treadmill" "$windows/README.md" || { echo "the Windows README does not name the layer"; exit 1; }
for named in $(grep -o '`\(bin\|lib\|include\|share\|unity\|docs\)/[^`*<]*`' "$windows/README.md" | tr -d '`' | sort -u); do
  [[ -e $windows/$named ]] || { echo "the Windows README names $named, not in the archive"; exit 1; }
done
for named in $(grep -o '`[a-z-]*\.ps1' "$windows/README.md" | tr -d '`' | sort -u); do
  [[ -e $windows/$named ]] || { echo "the Windows README names $named, not in the archive"; exit 1; }
done

echo "=== Unity tarball"
mkdir "$work/unity"
tar -xzf "$dist"/com.quorvellan.api-*.tgz -C "$work/unity"
python3 "$here/../unity/check_unity_package.py" "$work/unity/package" "$(basename "$windows" | cut -d- -f2)"

echo "=== Linux archive"
"$here/run_consumers.sh" --prefix "$linux" cc cmake
echo "=== Windows archive"
"$here/windows_consumer.sh" "$windows" "$linux/bin/quorvellan-controller-sim" "$wine_prefix"
echo "=== Windows tools"
"$here/windows_tools.sh" "$windows" "$linux" "$wine_prefix"
echo "=== Python wheel"
"$here/wheel_test.sh" --wheel "$dist"/quorvellan-*.whl "$linux/bin/quorvellan-controller-sim"
