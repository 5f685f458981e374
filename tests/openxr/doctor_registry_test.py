#!/usr/bin/env python3
"""The Windows doctor's registry part under Wine: `quorvellan-xr-probe
registry` reads the active runtime and the layer's registrations as the
Khronos loader does (HKLM's ActiveRuntime; DWORD values named by manifest
paths under HKLM and HKCU ApiLayers\\Implicit), including a manifest in a
folder the ANSI code page cannot spell.

usage: doctor_registry_test.py PROBE.exe LAYER_MANIFEST.json -- EMULATOR...
The Wine prefix is the test suite's own; the keys are removed at the end."""
import pathlib
import subprocess
import sys
import tempfile

LAYER = "XR_APILAYER_QUORVELLAN_treadmill"
IMPLICIT = r"SOFTWARE\Khronos\OpenXR\1\ApiLayers\Implicit"
RESET = "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Khronos]\n[-HKEY_CURRENT_USER\\SOFTWARE\\Khronos]\n"


def windows(path):
    """Wine's Z: drive is the Unix root."""
    return "Z:" + str(path).replace("/", "\\")


def reg_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


class Wine:
    def __init__(self, emulator, work):
        self.emulator, self.work = emulator, work

    def import_keys(self, body):
        """Through a UTF-16 .reg file, so names outside the code page survive."""
        reg = self.work / "keys.reg"
        reg.write_bytes(("Windows Registry Editor Version 5.00\n\n" + RESET + body).encode("utf-16"))
        subprocess.run(self.emulator + ["reg", "import", windows(reg)], check=True, capture_output=True)

    def probe(self, probe, *variables):
        run = subprocess.run(["env", *variables] + self.emulator + [probe, "registry"], capture_output=True, timeout=60)
        return run.returncode, run.stdout.decode("utf-8", "replace").replace("\r", "")


def registration(hive, manifest, value=0):
    return f"[{hive}\\{IMPLICIT}]\n{reg_string(windows(manifest))}=dword:{value:08x}\n"


def main():
    probe, layer_manifest = sys.argv[1], pathlib.Path(sys.argv[2])
    emulator = sys.argv[sys.argv.index("--") + 1:]
    failures = []
    with tempfile.TemporaryDirectory(prefix="quorvellan-registry-") as folder:
        work = pathlib.Path(folder)
        wine = Wine(emulator, work)
        user = work / "\u03a9\u03bc\u03ad\u03b3\u03b1-\u65e5\u672c"  # Greek and Japanese: outside every ANSI code page
        user.mkdir()
        library = layer_manifest.parent / "quorvellan_openxr_layer.dll"
        ours = user / "XrApiLayer_quorvellan_treadmill.json"
        ours.write_text(layer_manifest.read_text().replace("./quorvellan_openxr_layer.dll",
                                                           windows(library).replace("\\", "\\\\")))
        gone = work / "gone.json"
        gone.write_text(layer_manifest.read_text().replace("./quorvellan_openxr_layer.dll", "./gone.dll"))
        (work / "runtime.dll").write_bytes(b"")
        runtime = work / "runtime.json"
        runtime.write_text('{"file_format_version": "1.0.0", "runtime": {"name": "Registry runtime", '
                           '"library_path": "./runtime.dll"}}')
        active = f"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Khronos\\OpenXR\\1]\n\"ActiveRuntime\"={reg_string(windows(runtime))}\n"
        rows = [
            ("nothing registered", "", [], 1,
             ["problem: no active OpenXR runtime", f"problem: no manifest of {LAYER} registered"]),
            ("registered for this user, in a folder outside the code page", active + registration("HKEY_CURRENT_USER", ours), [], 0,
             [f'ok: runtime "Registry runtime": {windows(runtime)} (ActiveRuntime under HKLM',
              f"ok: layer manifest: {windows(ours)} (under HKCU\\{IMPLICIT})"]),
            ("registered disabled", active + registration("HKEY_CURRENT_USER", ours, 1), [], 1,
             [f"problem: HKCU\\{IMPLICIT}\\{windows(ours)} is registered disabled"]),
            ("for every user and for this one", active + registration("HKEY_LOCAL_MACHINE", ours) +
             registration("HKEY_CURRENT_USER", ours), [], 0,
             [f"(under HKLM\\{IMPLICIT})", f"warning: 2 registrations of {LAYER}"]),
            ("a manifest naming a library that is gone", active + registration("HKEY_LOCAL_MACHINE", gone), [], 1,
             [f"problem: layer manifest {windows(gone)} names {windows(work)}\\.\\gone.dll, which does not exist"]),
            ("XR_RUNTIME_JSON wins over the registry", active + registration("HKEY_CURRENT_USER", ours),
             [f"XR_RUNTIME_JSON={windows(work / 'missing.json')}"], 1,
             [f"problem: the runtime manifest {windows(work / 'missing.json')} (from XR_RUNTIME_JSON) does not exist"]),
        ]
        try:
            for name, keys, variables, status, expected in rows:
                wine.import_keys(keys)
                got_status, output = wine.probe(probe, *variables)
                print(f"=== {name}: exit {got_status}\n{output}", end="")
                if got_status != status:
                    failures.append(f"{name}: exit {got_status}, expected {status}")
                failures += [f"{name}: no line with {line!r}" for line in expected if line not in output]
                failures += [f"{name}: a line without a level: {line!r}" for line in output.splitlines()
                             if not line.startswith(("ok: ", "warning: ", "problem: "))]
        finally:
            wine.import_keys("")
    for failure in failures:
        print("FAILED:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
