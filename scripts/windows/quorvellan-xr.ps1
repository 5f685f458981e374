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
$disableVariable = 'QUORVELLAN_XR_LAYER_DISABLE'
$bin = Join-Path $PSScriptRoot 'bin'
$script:problems = 0

function Say([string]$level, [string]$text) {
    if ($level -eq 'problem') { $script:problems++ }
    Write-Output "${level}: $text"
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

# The probe reads the registry as the loader does (the active runtime, the
# layer's registrations), and the config with the layer's own code.
function CheckProbe {
    $ErrorActionPreference = 'Continue'
    $probe = Join-Path $bin 'quorvellan-xr-probe.exe'
    if (-not (Test-Path $probe)) { Say problem "nothing is checked: no $probe"; return }
    Relay (& $probe registry 2>&1)
    CheckDisable
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
# The probe writes UTF-8: paths may hold names the console's code page cannot spell.
[Console]::OutputEncoding = [Text.Encoding]::UTF8
CheckProbe
if ($script:problems -gt 0) { exit 1 }
exit 0
