# Removes the OpenXR layer's registration (every value under
# HKLM\SOFTWARE\Khronos\OpenXR\1\ApiLayers\Implicit that names
# XrApiLayer_quorvellan_treadmill.json). The config file stays.
# Run from an administrator PowerShell:
#   powershell -ExecutionPolicy Bypass -File xr-layer-uninstall.ps1
$ErrorActionPreference = 'Stop'
$key = 'HKLM:\SOFTWARE\Khronos\OpenXR\1\ApiLayers\Implicit'
if (-not (Test-Path $key)) { Write-Output 'not installed'; exit 0 }
$names = (Get-Item $key).Property | Where-Object { $_ -like '*XrApiLayer_quorvellan_treadmill.json' }
if (-not $names) { Write-Output 'not installed'; exit 0 }
foreach ($name in $names) {
    Remove-ItemProperty -Path $key -Name $name
    Write-Output "removed: $key\$name"
}
