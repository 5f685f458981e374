#!/usr/bin/env bash
# Builds the wheel from the built libraries (or takes a built wheel), installs
# it into a fresh venv with no environment variable set, and uses it from
# another folder against the simulator: the core and the stream.
# usage: wheel_test.sh <source dir> <simulator> <built library> [library ...]
#        wheel_test.sh --wheel <wheel file> <simulator>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/simulator.sh"
work=$(mktemp -d)
trap 'stop_simulator; rm -rf "$work"' EXIT

mkdir "$work/dist"
if [[ $1 == --wheel ]]; then
  cp "$2" "$work/dist/"
  simulator=$3
else
  simulator=$2
  "$1/scripts/build-wheel" "$work/dist" "${@:3}"
fi
# A Linux wheel must not claim Windows in its metadata.
if unzip -p "$work"/dist/quorvellan-*linux*.whl '*/METADATA' | grep -q "Operating System :: Microsoft :: Windows"; then
  echo "the Linux wheel's metadata names Windows"; exit 1
fi
python=$(command -v /usr/bin/python3 || command -v python3)
"$python" -m venv "$work/venv"
"$work/venv/bin/pip" install --quiet --no-index "$work"/dist/quorvellan-*.whl

mkdir "$work/app"
cp "$here/wheel_user.py" "$work/app/"
start_simulator "$simulator" "$work/simulator.log" --serial WHEEL-0001
(cd "$work/app" && env -u QUORVELLAN_LIBRARY -u QUORVELLAN_STREAM_LIBRARY -u LD_LIBRARY_PATH -u PYTHONPATH \
   "$work/venv/bin/python" wheel_user.py WHEEL-0001)
