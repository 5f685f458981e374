# The OpenXR layer's doctor, for Windows: says, one line each starting "ok",
# "warning" or "problem", what a game started now would meet: the active
# OpenXR runtime, the layer's registration and manifest, the disabling
# variable, the config file, the controller, and an instance created through
# the runtime with the layer in it. Exits 1 when a line says problem.
#
# Run from the unpacked folder (the tools are in bin\):
#   powershell -ExecutionPolicy Bypass -File quorvellan-xr.ps1 doctor [-Loader PATH]
# Windows has no OpenXR loader of its own (each game carries one): -Loader
# names one, such as <game folder>\openxr_loader.dll, for the instance check.
# `try` (a walk without a headset) needs the Linux build tree's test programs.
param([Parameter(Position = 0)][string]$Command = '', [string]$Loader = '')
$ErrorActionPreference = 'Stop'
$layerName = 'XR_APILAYER_QUORVELLAN_treadmill'
$disableVariable = 'QUORVELLAN_XR_LAYER_DISABLE'
$bin = Join-Path $PSScriptRoot 'bin'
$script:problems = 0

function Say([string]$level, [string]$text) {
    if ($level -eq 'problem') { $script:problems++ }
    Write-Output "${level}: $text"
}

# The library a manifest names: relative paths are relative to the manifest.
function LibraryOf([string]$manifest, [string]$library) {
    if ([IO.Path]::IsPathRooted($library)) { return $library }
    if ($library -notmatch '[\\/]') { return $null }  # a bare name: the DLL search path
    return Join-Path (Split-Path $manifest) $library
}

function ReadManifest([string]$path, [string]$section) {
    try { return (Get-Content -LiteralPath $path -Raw | ConvertFrom-Json).$section } catch { return $null }
}

# The loader takes XR_RUNTIME_JSON alone when it is set; else ActiveRuntime
# under Khronos\OpenXR\1 (the user's key first, then the machine's).
function CheckRuntime {
    $file = $env:XR_RUNTIME_JSON; $from = 'from XR_RUNTIME_JSON'
    if (-not $file) {
        foreach ($hive in 'HKCU', 'HKLM') {
            $value = (Get-ItemProperty -Path "${hive}:\SOFTWARE\Khronos\OpenXR\1" -Name ActiveRuntime -ErrorAction SilentlyContinue).ActiveRuntime
            if ($value) { $file = $value; $from = "ActiveRuntime under $hive\SOFTWARE\Khronos\OpenXR\1"; break }
        }
    }
    if (-not $file) { Say problem 'no active OpenXR runtime: no XR_RUNTIME_JSON and no ActiveRuntime under HKCU or HKLM\SOFTWARE\Khronos\OpenXR\1 (set your runtime as the OpenXR runtime in its settings)'; return }
    if (-not (Test-Path -LiteralPath $file)) { Say problem "the runtime manifest $file ($from) does not exist"; return }
    $runtime = ReadManifest $file 'runtime'
    if (-not $runtime) { Say problem "$file ($from) is not a runtime manifest"; return }
    $library = LibraryOf $file $runtime.library_path
    if ($library -and -not (Test-Path -LiteralPath $library)) { Say problem "runtime `"$($runtime.name)`": $file ($from) names $library, which does not exist"; return }
    Say ok "runtime `"$($runtime.name)`": $file ($from), library $($runtime.library_path)"
}

# Implicit layers are DWORD values named by a manifest's path; 0 means enabled.
function CheckManifest {
    $found = 0
    foreach ($hive in 'HKLM', 'HKCU') {
        $key = "${hive}:\SOFTWARE\Khronos\OpenXR\1\ApiLayers\Implicit"
        if (-not (Test-Path $key)) { continue }
        $values = Get-ItemProperty -Path $key
        foreach ($name in (Get-Item $key).Property) {
            $layer = ReadManifest $name 'api_layer'
            if (-not $layer -or $layer.name -ne $layerName) { continue }
            $found++
            $library = LibraryOf $name $layer.library_path
            if ($values.$name -ne 0) { Say problem "$key\$name is registered disabled (value $($values.$name), not 0): run xr-layer-install.ps1 again" }
            elseif ($library -and -not (Test-Path -LiteralPath $library)) { Say problem "layer manifest $name names $library, which does not exist" }
            else { Say ok "layer manifest: $name (under $key), library $($layer.library_path)" }
        }
    }
    if ($found -eq 0) { Say problem "no manifest of $layerName registered under HKLM or HKCU\SOFTWARE\Khronos\OpenXR\1\ApiLayers\Implicit: run xr-layer-install.ps1 (-System, as administrator, for every user)" }
    elseif ($found -gt 1) { Say warning "$found registrations of ${layerName}: the loader loads one; xr-layer-uninstall.ps1 removes this user's, with -System the machine's" }
}

function CheckDisable {
    if (Test-Path "env:$disableVariable") { Say warning "$disableVariable is set: the loader leaves the layer out of every game started from here" }
    else { Say ok "$disableVariable is not set" }
}

# The probe's lines (config: the layer's own parser; instance: the loader).
function Relay($lines) {
    foreach ($line in $lines) {
        $text = "$line"
        if ($text -match '^(ok|warning|problem): (.*)$') { Say $Matches[1] $Matches[2] }
        elseif ($text -match '^quorvellan-openxr: instance: (passes through: disabled by "enable": false.*)$') { Say warning "the layer in that instance $($Matches[1])" }
        elseif ($text -match '^quorvellan-openxr: instance: walking(.*)$') { Say ok "the layer in that instance: walking$($Matches[1])" }
        elseif ($text -match '^quorvellan-openxr: instance: (passes through.*)$') { Say problem "the layer in that instance $($Matches[1])" }
    }
}

# Native programs' standard error arrives as error records: under 'Stop'
# Windows PowerShell would end the script at the first one.
function CheckController {
    $ErrorActionPreference = 'Continue'
    $monitor = Join-Path $bin 'quorvellan-monitor.exe'
    if (-not (Test-Path $monitor)) { Say warning "the controller is not checked: no $monitor"; return }
    $line = & $monitor --seconds 0 2>&1 | ForEach-Object { "$_" } | Where-Object { $_ -like 'InitInternal*' } | Select-Object -First 1
    if ($line -like 'InitInternal succeeded*') { Say ok "the controller answers: $line" }
    elseif ($line) { Say problem "the controller does not answer: $line (start it, or set QUORVELLAN_CONTROLLER=HOST[:PORT])" }
    else { Say problem 'the monitor did not connect' }
}

function CheckProbe {
    $ErrorActionPreference = 'Continue'
    $probe = Join-Path $bin 'quorvellan-xr-probe.exe'
    if (-not (Test-Path $probe)) { Say warning "the config and the instance are not checked: no $probe"; return }
    Relay (& $probe config 2>&1)
    CheckController
    $arguments = @('instance')
    if ($Loader) { $arguments += @('--loader', $Loader) }
    Relay (& $probe @arguments 2>&1)
}

if ($Command -ne 'doctor') {
    [Console]::Error.WriteLine('usage: powershell -ExecutionPolicy Bypass -File quorvellan-xr.ps1 doctor [-Loader PATH\openxr_loader.dll]')
    exit 2
}
CheckRuntime
CheckManifest
CheckDisable
CheckProbe
if ($script:problems -gt 0) { exit 1 }
exit 0
