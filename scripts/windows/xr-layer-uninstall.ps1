# Removes the OpenXR layer's registration (every value under
# HKCU\SOFTWARE\Khronos\OpenXR\1\ApiLayers\Implicit, with -System under
# HKLM, that names XrApiLayer_quorvellan_treadmill.json). The config file stays.
# Run from a PowerShell (-System: an administrator one):
#   powershell -ExecutionPolicy Bypass -File xr-layer-uninstall.ps1 [-System]
param([switch]$System)
$ErrorActionPreference = 'Stop'
$hive = if ($System) { 'HKLM' } else { 'HKCU' }
$other = if ($System) { 'HKCU' } else { 'HKLM' }
$key = "${hive}:\SOFTWARE\Khronos\OpenXR\1\ApiLayers\Implicit"
$names = @()
if (Test-Path $key) { $names = @((Get-Item $key).Property | Where-Object { $_ -like '*XrApiLayer_quorvellan_treadmill.json' }) }
if (-not $names) { Write-Output "not installed under $hive" }
foreach ($name in $names) {
    Remove-ItemProperty -Path $key -Name $name
    Write-Output "removed: $key\$name"
}
$otherKey = "${other}:\SOFTWARE\Khronos\OpenXR\1\ApiLayers\Implicit"
if ((Test-Path $otherKey) -and ((Get-Item $otherKey).Property -like '*XrApiLayer_quorvellan_treadmill.json')) {
    $flag = if ($System) { '' } else { ' -System' }
    Write-Output "still registered under ${other}: run xr-layer-uninstall.ps1$flag to remove it too"
}
