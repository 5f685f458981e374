# Installs the OpenXR layer for every OpenXR application on this Windows
# machine: registers its manifest (bin\XrApiLayer_quorvellan_treadmill.json,
# beside quorvellan_openxr_layer.dll, QuorvellanStream.dll and
# QuorvellanAPI.dll) with the OpenXR loader, as a DWORD value 0 named by the
# manifest's full path under
# HKLM\SOFTWARE\Khronos\OpenXR\1\ApiLayers\Implicit, and writes a default
# config file %APPDATA%\Quorvellan\openxr.json when there is none.
#
# Run from an administrator PowerShell in the unpacked folder:
#   powershell -ExecutionPolicy Bypass -File xr-layer-install.ps1
$ErrorActionPreference = 'Stop'
$manifest = Join-Path $PSScriptRoot 'bin\XrApiLayer_quorvellan_treadmill.json'
if (-not (Test-Path $manifest)) {
    Write-Error "xr-layer-install: no $manifest (run this script from the unpacked folder)"
    exit 1
}
$principal = New-Object Security.Principal.WindowsPrincipal([Security.Principal.WindowsIdentity]::GetCurrent())
if (-not $principal.IsInRole([Security.Principal.WindowsBuiltInRole]::Administrator)) {
    Write-Error 'xr-layer-install: the OpenXR loader reads implicit layers from HKLM: run as administrator'
    exit 1
}
$key = 'HKLM:\SOFTWARE\Khronos\OpenXR\1\ApiLayers\Implicit'
New-Item -Path $key -Force | Out-Null
New-ItemProperty -Path $key -Name (Resolve-Path $manifest).Path -PropertyType DWord -Value 0 -Force | Out-Null
Write-Output "installed: $key\$((Resolve-Path $manifest).Path)"

$config = Join-Path $env:APPDATA 'Quorvellan\openxr.json'
if (-not (Test-Path $config)) {
    New-Item -ItemType Directory -Force -Path (Split-Path $config) | Out-Null
    Set-Content -Path $config -Encoding ASCII -Value @'
{
  "enable": true,
  "hand": "left",
  "fullDeflectionSpeed": 1.5,
  "mode": "head",
  "calibration": {"centre": [0, 0], "forwardYaw": 0}
}
'@
    Write-Output "config: $config (defaults; calibrate with xr-calibrate.ps1 while a game runs)"
} else {
    Write-Output "config: $config (kept)"
}
Write-Output 'check: quorvellan-xr.ps1 doctor; disable for one run: set QUORVELLAN_XR_LAYER_DISABLE=1; remove: xr-layer-uninstall.ps1 (each beside this script)'
