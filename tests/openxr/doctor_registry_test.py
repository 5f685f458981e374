#!/usr/bin/env python3
"""`quorvellan-xr-probe registry` under Wine, against keys imported into the
suite's prefix (removed at the end); one manifest sits in a folder the ANSI
code page cannot spell. usage: PROBE.exe LAYER_MANIFEST.json -- EMULATOR..."""
import pathlib
import subprocess
import sys
import tempfile

LAYER, IMPLICIT = "XR_APILAYER_QUORVELLAN_treadmill", r"SOFTWARE\Khronos\OpenXR\1\ApiLayers\Implicit"


def windows(path):  # Wine's Z: drive is the Unix root
    return "Z:" + str(path).replace("/", "\\")


def registration(hive, manifest, value=0):
    name = windows(manifest).replace("\\", "\\\\")  # .reg strings escape backslashes
    return f'[{hive}\\{IMPLICIT}]\n"{name}"=dword:{value:08x}\n'


def main():
    probe, manifest = sys.argv[1], pathlib.Path(sys.argv[2]).resolve()
    emulator = sys.argv[sys.argv.index("--") + 1:]
    failures = []
    with tempfile.TemporaryDirectory(prefix="quorvellan-registry-") as folder:
        work = pathlib.Path(folder)
        user = work / "\u03a9\u03bc\u03ad\u03b3\u03b1-\u65e5\u672c"  # Greek and Japanese
        user.mkdir()
        ours, gone, runtime = user / "layer.json", work / "gone.json", work / "runtime.json"
        library = windows(manifest.parent / "quorvellan_openxr_layer.dll").replace("\\", "\\\\")
        ours.write_text(manifest.read_text().replace("./quorvellan_openxr_layer.dll", library))
        gone.write_text(manifest.read_text().replace("./quorvellan_openxr_layer.dll", "./gone.dll"))
        (work / "runtime.dll").write_bytes(b"")
        runtime.write_text('{"file_format_version": "1.0.0", "runtime": {"name": "R", "library_path": "./runtime.dll"}}')
        active = '[HKEY_LOCAL_MACHINE\\SOFTWARE\\Khronos\\OpenXR\\1]\n"ActiveRuntime"="%s"\n' % \
            windows(runtime).replace("\\", "\\\\")
        mine, everyones = "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE"
        missing = windows(work / "missing.json")
        rows = [  # keys, variables, exit status, lines expected
            ("", [], 1, ["problem: no active OpenXR runtime", f"problem: no manifest of {LAYER} registered"]),
            (active + registration(mine, ours), [], 0,
             [f'ok: runtime "R": {windows(runtime)} (ActiveRuntime under HKLM', f"ok: layer manifest: {windows(ours)} (under HKCU"]),
            (active + registration(mine, ours, 1), [], 1, [f"problem: HKCU\\{IMPLICIT}\\{windows(ours)} is registered disabled"]),
            (active + registration(everyones, ours) + registration(mine, ours), [], 0,
             [f"(under HKLM\\{IMPLICIT})", f"warning: 2 registrations of {LAYER}"]),
            (active + registration(everyones, gone), [], 1,
             [f"problem: layer manifest {windows(gone)} names {windows(work)}\\.\\gone.dll, which does not exist"]),
            (active + registration(mine, ours), [f"XR_RUNTIME_JSON={missing}"], 1,
             [f"problem: the runtime manifest {missing} (from XR_RUNTIME_JSON) does not exist"]),
        ]
        reset = "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Khronos]\n[-HKEY_CURRENT_USER\\SOFTWARE\\Khronos]\n"

        def import_keys(keys):  # a UTF-16 .reg file: names outside the code page survive
            (work / "keys.reg").write_bytes(f"Windows Registry Editor Version 5.00\n\n{reset}{keys}".encode("utf-16"))
            subprocess.run(emulator + ["reg", "import", windows(work / "keys.reg")], check=True, capture_output=True)
        try:
            for keys, variables, status, expected in rows:
                import_keys(keys)
                run = subprocess.run(["env", *variables] + emulator + [probe, "registry"], capture_output=True, timeout=60)
                output = run.stdout.decode("utf-8", "replace").replace("\r", "")
                print(f"=== exit {run.returncode}\n{output}", end="")
                failures += [f"exit {run.returncode}, expected {status}"] if run.returncode != status else []
                failures += [f"no line with {line!r}" for line in expected if line not in output]
                failures += [f"no level: {line!r}" for line in output.splitlines()
                             if not line.startswith(("ok: ", "warning: ", "problem: "))]
        finally:
            import_keys("")
    for failure in failures:
        print("FAILED:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
