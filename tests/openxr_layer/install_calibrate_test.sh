#!/usr/bin/env bash
# The layer installed as a user would (scripts/xr-layer-install), found by
# Debian's loader as an implicit layer, calibrated by scripts/xr-calibrate,
# switched off by its variable, and removed by scripts/xr-layer-uninstall.
#
# usage: install_calibrate_test.sh SOURCE_DIR LAYER_DIR RUNTIME_JSON APP
set -euo pipefail
source_dir=$1 layer_dir=$2 runtime_json=$3 app=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME=$work/home XDG_DATA_HOME=$work/home/data XDG_CONFIG_HOME=$work/home/config
export XR_RUNTIME_JSON=$runtime_json QUORVELLAN_TEST_XR_SCRIPT=$work/script.json QUORVELLAN_XR_LOG=$work/layer.log
unset QUORVELLAN_XR_CONFIG XR_API_LAYER_PATH XR_ENABLE_API_LAYERS QUORVELLAN_XR_LAYER_DISABLE
# No controller listens here: the layer must keep the game going regardless.
export QUORVELLAN_CONTROLLER=127.0.0.1:9
config=$XDG_CONFIG_HOME/quorvellan/openxr.json
failures=0
check() {  # check <what> <command...>
  if "${@:2}"; then echo "ok: $1"; else echo "FAIL: $1"; failures=$((failures + 1)); fi
}
run_app() { rm -f "$QUORVELLAN_XR_LOG"; touch "$QUORVELLAN_XR_LOG"; "$app" --frames "$1" --period-ms 1 >"$work/app.out"; }

"$source_dir/scripts/xr-layer-install" --from "$layer_dir" >"$work/install.out"
manifest=$XDG_DATA_HOME/openxr/1/api_layers/implicit.d/XrApiLayer_quorvellan_treadmill.json
check "manifest names the library by absolute path" \
  grep -q "\"library_path\": \"$(cd "$layer_dir" && pwd)/libquorvellan_openxr_layer.so\"" "$manifest"
check "a default config is written" test -f "$config"
echo '{"hand": "right"}' >"$config"
"$source_dir/scripts/xr-layer-install" --from "$layer_dir" >"$work/install.out"
check "an existing config is kept" grep -q '"right"' "$config"

# Facing 90 degrees (stage -x) at x 0.5, z -0.25 when the request is taken;
# the config kept with the user's dotfiles, linked.
dotfiles=$work/dotfiles
mkdir "$dotfiles" && mv "$config" "$dotfiles/openxr.json" && ln -s "$dotfiles/openxr.json" "$config"
echo '{"headYaw": 90, "headPosition": [0.5, 1.6, -0.25]}' >"$work/script.json"
"$source_dir/scripts/xr-calibrate" --wait 0 >/dev/null
run_app 3
check "the implicit layer is loaded" grep -q "instance: walking by treadmill, hand right" "$QUORVELLAN_XR_LOG"
check "the request is taken" test ! -e "$config.calibrate"
check "the log says so" grep -q "calibrated: centre \[0.500, -0.250\] m, forward yaw 90.0 degrees" "$QUORVELLAN_XR_LOG"
check "calibration written through the link, other keys kept" python3 - "$config" <<'PY'
import json, os, sys
assert os.path.islink(sys.argv[1])
config = json.load(open(sys.argv[1]))
assert config["hand"] == "right", config
assert config["calibration"] == {"centre": [0.5, -0.25], "forwardYaw": 90.0}, config
PY

# A calibration that fails says why to xr-calibrate, which exits 1, and leaves
# no file behind: the config cannot be replaced (a mount point), or no
# temporary file can be written beside it (read-only).
read_only() { echo "mount --bind $1 $1 && mount -o remount,bind,ro $1"; }
fails_saying() {  # fails_saying <reason> <mount command>: xr-calibrate while the app runs under that mount
  "$source_dir/scripts/xr-calibrate" --wait 5 >"$work/calibrate.out" 2>&1 &
  local calibrating=$!
  until [[ -e $config.calibrate ]]; do sleep 0.05; done
  unshare --mount sh -c "$2"' && exec "$0" --frames 100 --period-ms 5 >/dev/null' "$app"
  ! wait $calibrating && grep -q "could not calibrate: $1" "$work/calibrate.out" && [[ $(ls "$dotfiles") == openxr.json ]]
}
check "a config that cannot be replaced: xr-calibrate says so" \
  fails_saying "cannot replace" "mount --bind $dotfiles/openxr.json $dotfiles/openxr.json"
check "no temporary file (of a name of its own) can be written: likewise" \
  fails_saying "cannot write $dotfiles/openxr.json.[0-9]*-[0-9]*.tmp" "$(read_only "$dotfiles")"
# Nor the answer (both folders read-only): tried at every check, logged once.
"$source_dir/scripts/xr-calibrate" --wait 0 >/dev/null
rm -f "$QUORVELLAN_XR_LOG"
unshare --mount sh -c "$(read_only "$dotfiles") && $(read_only "${config%/*}")"' && exec "$0" --frames 300 --period-ms 5 >/dev/null' "$app"
check "a request that cannot be answered is logged once" test "$(grep -c "calibration failed" "$QUORVELLAN_XR_LOG")" = 1
rm "$config.calibrate"

QUORVELLAN_XR_LAYER_DISABLE=1 run_app 2
check "the variable disables the layer" test ! -s "$QUORVELLAN_XR_LOG"

echo '{"hand": "middle"}' >"$config"
run_app 2
check "a bad config passes through with a message" \
  grep -q "passes through: config $config: \"hand\" must be \"left\" or \"right\"" "$QUORVELLAN_XR_LOG"

"$source_dir/scripts/xr-layer-uninstall" >/dev/null
run_app 2
check "uninstalled: no layer" test ! -s "$QUORVELLAN_XR_LOG"
check "a calibration with no game running gives up with an error" \
  bash -c "! '$source_dir/scripts/xr-calibrate' --wait 1 2>/dev/null && test ! -e '$config.calibrate'"
echo "$((12 - failures)) passed, $failures failed"
((failures == 0))
