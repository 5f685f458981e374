#!/usr/bin/env bash
# `quorvellan-xr doctor` against the test runtime and the build's layer, in a
# home of its own: everything in place (the layer installed by
# xr-layer-install into a temporary XDG_DATA_HOME, the test runtime as
# XR_RUNTIME_JSON, a simulator answering) says ok and exits 0; the disabling
# variable gives warnings only; a missing manifest, a bad config, a silent
# controller and a missing runtime each give their problem line and exit 1.
# Run by ctest in a network namespace of its own (tests/openxr.cmake).
# usage: doctor_test.sh <build dir>
set -euo pipefail
(($# == 1)) || { echo "usage: doctor_test.sh <build dir>" >&2; exit 2; }
build=$(cd "$1" && pwd)
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
work=$(mktemp -d)
simulator_pid=
trap '[[ -n $simulator_pid ]] && kill "$simulator_pid" 2>/dev/null; rm -rf "$work"' EXIT
runtime_json=$build/tests/openxr/quorvellan_test_runtime.json
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# A fresh, empty home: nothing of this machine's OpenXR setup is read.
fresh_home() {
  rm -rf "${work:?}/home"
  mkdir -p "$work/home/data" "$work/home/config" "$work/home/none"
}

# doctor [VARIABLE=VALUE...]: runs the doctor in that home; its output in
# $output and its exit code in $status.
doctor() {
  status=0
  output=$(env -u XR_RUNTIME_JSON -u QUORVELLAN_XR_CONFIG -u QUORVELLAN_XR_LAYER_DISABLE -u QUORVELLAN_CONTROLLER \
    HOME="$work/home" XDG_DATA_HOME="$work/home/data" XDG_CONFIG_HOME="$work/home/config" \
    XDG_DATA_DIRS="$work/home/none" XDG_CONFIG_DIRS="$work/home/none" "$@" \
    "$scripts/quorvellan-xr" doctor --build "$build" 2>&1) || status=$?
  printf '%s\n' "$output" | sed 's/^/  | /'
}

expect_status() { [[ $status == "$1" ]] || fail "exit code $status, expected $1"; }

# expect LEVEL TEXT: a line of that level containing TEXT.
expect() {
  local line
  while IFS= read -r line; do
    [[ $line == "$1: "* && $line == *"$2"* ]] && return 0
  done <<<"$output"
  fail "no '$1' line with '$2'"
}

every_line_has_a_level() {
  local line
  while IFS= read -r line; do
    [[ $line =~ ^(ok|warning|problem): ]] || fail "a line without a level: $line"
  done <<<"$output"
}

start_simulator() {
  "$build/tools/quorvellan-controller-sim" --port 0 >"$work/simulator.log" 2>&1 &
  simulator_pid=$!
  for _ in $(seq 100); do
    port=$(sed -n 's/.*listening on [^ ]*:\([0-9]*\).*/\1/p' "$work/simulator.log")
    [[ -n $port ]] && return 0
    sleep 0.05
  done
  echo "the simulator did not start: $(cat "$work/simulator.log")"
  exit 1
}

echo "=== everything in place"
fresh_home
HOME="$work/home" XDG_DATA_HOME="$work/home/data" XDG_CONFIG_HOME="$work/home/config" \
  "$scripts/xr-layer-install" --from "$build/openxr_layer" >/dev/null
start_simulator
doctor XR_RUNTIME_JSON="$runtime_json" QUORVELLAN_CONTROLLER="127.0.0.1:$port"
expect_status 0
every_line_has_a_level
expect ok "runtime \"Quorvellan test runtime\": $runtime_json (from XR_RUNTIME_JSON)"
expect ok "layer manifest: $work/home/data/openxr/1/api_layers/implicit.d/XrApiLayer_quorvellan_treadmill.json"
expect ok "library $build/openxr_layer/libquorvellan_openxr_layer.so"
expect ok "QUORVELLAN_XR_LAYER_DISABLE is not set"
expect ok "config $work/home/config/quorvellan/openxr.json is valid and enabled: hand left"
expect ok "the controller answers: InitInternal succeeded"
expect ok "the loader lists the layer XR_APILAYER_QUORVELLAN_treadmill"
expect ok "an instance was created through \"Quorvellan test runtime\" 0.1.0 with the layer loaded ($build/openxr_layer/libquorvellan_openxr_layer.so)"
expect ok "the layer in that instance: walking by treadmill"
grep -q '^problem' <<<"$output" && fail "a problem line where there is none"

echo "=== disabled for this run"
doctor XR_RUNTIME_JSON="$runtime_json" QUORVELLAN_CONTROLLER="127.0.0.1:$port" QUORVELLAN_XR_LAYER_DISABLE=
expect_status 0
expect warning "QUORVELLAN_XR_LAYER_DISABLE is set"
expect warning "the loader leaves the layer out"
expect warning "without the layer: QUORVELLAN_XR_LAYER_DISABLE is set"

echo "=== \"enable\": false, the runtime found as the user's active_runtime.json"
mkdir -p "$work/home/config/openxr/1"
ln -s "$runtime_json" "$work/home/config/openxr/1/active_runtime.json"
echo '{"enable": false}' >"$work/home/config/quorvellan/openxr.json"
doctor QUORVELLAN_CONTROLLER="127.0.0.1:$port"
expect_status 0
expect ok "runtime \"Quorvellan test runtime\": $work/home/config/openxr/1/active_runtime.json (the active runtime)"
expect warning "says \"enable\": false"
expect warning "the layer in that instance passes through: disabled by \"enable\": false"

echo "=== a manifest naming a library that is gone, a bad config, no controller"
kill "$simulator_pid"
wait "$simulator_pid" 2>/dev/null || true
simulator_pid=
manifest=$work/home/data/openxr/1/api_layers/implicit.d/XrApiLayer_quorvellan_treadmill.json
sed -i "s|\"library_path\": \"[^\"]*\"|\"library_path\": \"$work/gone.so\"|" "$manifest"
echo '{"enable": true, "hand": "middle"}' >"$work/home/config/quorvellan/openxr.json"
doctor XR_RUNTIME_JSON="$runtime_json" QUORVELLAN_CONTROLLER="127.0.0.1:1"
expect_status 1
every_line_has_a_level
expect problem "layer manifest $manifest names $work/gone.so, which does not exist"
expect problem "openxr.json: \"hand\" must be \"left\" or \"right\""
expect problem "the controller does not answer: InitInternal failed"
expect problem "the loader does not list the layer"

echo "=== nothing installed, no runtime"
fresh_home
doctor
expect_status 1
every_line_has_a_level
expect problem "no active OpenXR runtime"
expect problem "no manifest of XR_APILAYER_QUORVELLAN_treadmill in the implicit-layer folders"
expect problem "xr-layer-install"
expect problem "no config file $work/home/config/quorvellan/openxr.json"
expect problem "xrCreateInstance failed: XR_ERROR_RUNTIME_UNAVAILABLE"

echo "=== a symlinked manifest naming its library relative to itself, as a copy too"
fresh_home
implicit=$work/home/data/openxr/1/api_layers/implicit.d
mkdir -p "$implicit" "$work/home/config/quorvellan"
ln -s "$build/openxr_layer/XrApiLayer_quorvellan_treadmill.json" "$implicit/linked.json"
echo '{"enable": true}' >"$work/home/config/quorvellan/openxr.json"
doctor XR_RUNTIME_JSON="$runtime_json" QUORVELLAN_CONTROLLER="127.0.0.1:1"
# Debian's loader looks beside the link, not beside the real file.
expect warning "layer manifest $implicit/linked.json names $implicit/./libquorvellan_openxr_layer.so, which does not exist beside the link; loaders that follow it find $build/openxr_layer/./libquorvellan_openxr_layer.so"
expect problem "without the layer: the loader did not load"
cp "$implicit/linked.json" "$implicit/copy.json"
doctor XR_RUNTIME_JSON="$runtime_json" QUORVELLAN_CONTROLLER="127.0.0.1:1"
expect problem "layer manifest $implicit/copy.json names $implicit/./libquorvellan_openxr_layer.so, which does not exist"
expect warning "2 manifests of XR_APILAYER_QUORVELLAN_treadmill"

echo "=== runtimes the loader cannot use"
doctor XR_RUNTIME_JSON="$work/missing.json"
expect problem "XR_RUNTIME_JSON names $work/missing.json, which does not exist"
echo '{"runtime": {}}' >"$work/broken.json"
doctor XR_RUNTIME_JSON="$work/broken.json"
expect problem "$work/broken.json (from XR_RUNTIME_JSON) is not a runtime manifest: KeyError"
echo '{"runtime": {"name": "bare", "library_path": "libbare.so"}}' >"$work/bare.json"
doctor XR_RUNTIME_JSON="$work/bare.json"
expect warning "runtime \"bare\": $work/bare.json (from XR_RUNTIME_JSON) names libbare.so without a folder"

echo "=== the probe alone"
probe() {
  status=0
  output=$(HOME="$work/home" QUORVELLAN_XR_CONFIG="$work/config.json" timeout 20 "$build/tools/quorvellan-xr-probe" "$@" 2>&1) ||
    status=$?
  printf '%s\n' "$output" | sed 's/^/  | /'
}
mkfifo "$work/config.json"
probe config
expect_status 1
expect problem "config $work/config.json: not a regular file"
rm "$work/config.json"
head -c 70000 /dev/zero | tr '\0' ' ' >"$work/config.json"
probe config
expect problem "config $work/config.json: larger than 64 KiB"
echo '{"enable": tru' >"$work/config.json"
probe config
expect problem "config $work/config.json: not valid JSON"
probe instance --loader "$work/no-loader.so"
expect_status 1
expect problem "no OpenXR loader: cannot load $work/no-loader.so"
probe instance --loader libc.so.6
expect problem "libc.so.6 is not an OpenXR loader"
probe frobnicate
expect_status 2

echo "=== try without a build tree, and bad usage"
status=0
output=$("$scripts/quorvellan-xr" try --build "$work/no-build" 2>&1) || status=$?
expect_status 1
[[ $output == *"the build tree $work/no-build lacks tests/openxr/quorvellan_test_runtime.json"* ]] || fail "try: $output"
status=0
"$scripts/quorvellan-xr" cure >/dev/null 2>&1 || status=$?
expect_status 2

if ((failures)); then
  echo "doctor_test: $failures failure(s)"
  exit 1
fi
echo "doctor_test: every case passed"
