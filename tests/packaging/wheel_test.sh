#!/usr/bin/env bash
# Builds the wheel from the built library, installs it into a fresh venv with
# no environment variable set, and uses it from another folder against the
# simulator.
# usage: wheel_test.sh <source dir> <simulator> <built library> [library ...]
set -euo pipefail
source_dir=$1 simulator=$2
libraries=("${@:3}")
here=$(cd "$(dirname "$0")" && pwd)
source "$here/simulator.sh"
work=$(mktemp -d)
trap 'stop_simulator; rm -rf "$work"' EXIT

"$source_dir/scripts/build-wheel" "$work/dist" "${libraries[@]}"
python=$(command -v /usr/bin/python3 || command -v python3)
"$python" -m venv "$work/venv"
"$work/venv/bin/pip" install --quiet --no-index "$work"/dist/quorvellan-*.whl

mkdir "$work/app"
cp "$here/wheel_user.py" "$work/app/"
start_simulator "$simulator" "$work/simulator.log" --serial WHEEL-0001
(cd "$work/app" && env -u QUORVELLAN_LIBRARY -u LD_LIBRARY_PATH -u PYTHONPATH \
   "$work/venv/bin/python" wheel_user.py WHEEL-0001)
