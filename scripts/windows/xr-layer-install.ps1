# Installs the OpenXR layer for every OpenXR application of this Windows
# user: registers its manifest (bin\XrApiLayer_quorvellan_treadmill.json,
# beside quorvellan_openxr_layer.dll, QuorvellanStream.dll and
# QuorvellanAPI.dll) with the OpenXR loader, as a DWORD value 0 named by the
# manifest's full path under
# HKCU\SOFTWARE\Khronos\OpenXR\1\ApiLayers\Implicit (no administrator
# needed), and writes a default config file %APPDATA%\Quorvellan\openxr.json
# when there is none. The loader does not read HKCU in a process run as
# administrator: for such a game, -System registers under HKLM instead
# (every user; needs an administrator PowerShell).
#
# Run from a PowerShell in the unpacked folder:
#   powershell -ExecutionPolicy Bypass -File xr-layer-install.ps1 [-System]
param([switch]$System)
$ErrorActionPreference = 'Stop'
$manifest = Join-Path $PSScriptRoot 'bin\XrApiLayer_quorvellan_treadmill.json'
if (-not (Test-Path $manifest)) {
    Write-Error "xr-layer-install: no $manifest (run this script from the unpacked folder)"
    exit 1
}
$hive = 'HKCU'
if ($System) {
    $hive = 'HKLM'
    $principal = New-Object Security.Principal.WindowsPrincipal([Security.Principal.WindowsIdentity]::GetCurrent())
    if (-not $principal.IsInRole([Security.Principal.WindowsBuiltInRole]::Administrator)) {
        Write-Error 'xr-layer-install: -System writes HKLM: run as administrator (without -System: for this user only)'
        exit 1
    }
}
$key = "${hive}:\SOFTWARE\Khronos\OpenXR\1\ApiLayers\Implicit"
New-Item -Path $key -Force | Out-Null
New-ItemProperty -Path $key -Name (Resolve-Path $manifest).Path -PropertyType DWord -Value 0 -Force | Out-Null
Write-Output "installed: $key\$((Resolve-Path $manifest).Path)"
if (-not $System) {
    Write-Output 'a game run as administrator does not read HKCU: for one, install with -System from an administrator PowerShell'
}

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
