# Calibrates the OpenXR layer: stand in the treadmill's centre facing its
# forward direction and run this while a game runs with the layer; the layer
# writes the headset's pose into the config's "calibration", or why it could
# not into the request, which this shows before exiting 1.
#   powershell -ExecutionPolicy Bypass -File xr-calibrate.ps1 [-Wait SECONDS]
param([int]$Wait = 10)
$config = if ($env:QUORVELLAN_XR_CONFIG) { $env:QUORVELLAN_XR_CONFIG } else { Join-Path $env:APPDATA 'Quorvellan\openxr.json' }
if (-not (Test-Path $config)) {
    Write-Error "xr-calibrate: no config file $config (xr-layer-install.ps1 writes one)"
    exit 1
}
$request = "$config.calibrate"
New-Item -ItemType File -Force -Path $request | Out-Null  # empty: a request (text in it is an answer)
if ($Wait -le 0) { Write-Output "requested: the next game with the layer calibrates ($request)"; exit 0 }
for ($tick = 0; $tick -lt $Wait * 10; $tick++) {
    $answer = Get-Item -LiteralPath $request -ErrorAction SilentlyContinue
    if (-not $answer) {
        Write-Output ('calibrated: ' + ((Get-Content $config -Raw | ConvertFrom-Json).calibration | ConvertTo-Json -Compress))
        exit 0
    }
    if ($answer.Length -gt 0) {
        $reason = (Get-Content -LiteralPath $request -Raw).Trim()
        Remove-Item -LiteralPath $request
        Write-Error "xr-calibrate: the layer could not calibrate: $reason"
        exit 1
    }
    Start-Sleep -Milliseconds 100
}
Remove-Item $request
Write-Error "xr-calibrate: no game with the layer took the request within $Wait s (is one running, with the headset tracked? its log says if it cannot answer)"
exit 1
