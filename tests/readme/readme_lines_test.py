#!/usr/bin/env python3
"""Runs the README's build, install and example lines as written, in a clean
copy of the source tree with a home folder of its own.

usage: readme_lines_test.py <source dir>

A fenced block after "<!-- readme-test: file NAME -->" is written to NAME; a
block after "<!-- readme-test: run -->" is run, every block in one shell in
the README's order, files first. An `sudo apt-get install` line is not run:
each package it names must be installed already (install-deps has put them
there), so the list cannot name a package that does not exist. Background
programs the lines start are stopped at the end. The output must show the
examples doing what the README says they do. A block after
"<!-- readme-test: unity-component -->" is compiled with mcs, with the C#
binding, against the UnityEngine stand-in of tests/unity.
"""
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile

MARKER = re.compile(r"^<!-- readme-test: (run|unity-component|file (\S+)) -->\n```\w*\n(.*?)^```$",
                    re.MULTILINE | re.DOTALL)
APT_INSTALL = re.compile(r"^sudo apt-get install (.*)$")
# What the examples print when they work: the C program waits for the belts
# to reach the speed it asked for, the C# program reads the serial number, the
# Python example shows the belts ramping up.
EXPECTED = ["belts 0.50 0.00", "treadmill SIMULATOR-0001, belts", "belt x 0.50 m/s"]


def blocks(readme):
    with open(readme, encoding="utf-8") as source:
        for match in MARKER.finditer(source.read()):
            yield ("file", match.group(2), match.group(3)) if match.group(2) else (match.group(1), None, match.group(3))


def clean_copy(source_dir, target):
    listed = subprocess.run(["git", "-C", source_dir, "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                            check=True, capture_output=True).stdout.decode().split("\0")
    for relative in filter(None, listed):
        origin = os.path.join(source_dir, relative)
        if os.path.lexists(origin):
            os.makedirs(os.path.dirname(os.path.join(target, relative)), exist_ok=True)
            shutil.copy2(origin, os.path.join(target, relative), follow_symlinks=False)


def compile_unity_components(tree, texts):
    """mcs errors of the Unity components, none when they compile."""
    stand_in = os.path.join(tree, "UnityEngine.StandIn.dll")
    commands = [["mcs", "-nologo", "-target:library", f"-out:{stand_in}",
                 os.path.join(tree, "tests", "unity", "UnityEngineStandIn.cs")]]
    binding = sorted(os.path.join(tree, "bindings", "csharp", name)
                     for name in os.listdir(os.path.join(tree, "bindings", "csharp")) if name.endswith(".cs"))
    for index, text in enumerate(texts):
        component = os.path.join(tree, f"unity-component-{index}.cs")
        with open(component, "w", encoding="utf-8") as target:
            target.write(text)
        commands.append(["mcs", "-nologo", "-warnaserror+", "-target:library", f"-r:{stand_in}",
                         f"-out:{component}.dll", component] + binding)
    for command in commands:
        run = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if run.returncode != 0:
            return run.stdout
    return ""


def shell_line(line):
    """The line as the test runs it, echoed first."""
    apt = APT_INSTALL.match(line.strip())
    if apt:
        packages = " ".join(shlex.quote(p) for p in apt.group(1).split())
        return (f'echo "+ (checked, not run) {line.strip()}"\n'
                f'for p in {packages}; do dpkg-query -W -f=\'${{Status}}\\n\' "$p" | grep -q "install ok installed"'
                f' || {{ echo "README names $p, which is not installed"; exit 1; }}; done')
    return f"echo {shlex.quote('+ ' + line)}\n{line}"


def main():
    source_dir = os.path.abspath(sys.argv[1])
    work = tempfile.mkdtemp(prefix="readme-lines-")
    try:
        tree, home = os.path.join(work, "tree"), os.path.join(work, "home")
        os.makedirs(home)
        clean_copy(source_dir, tree)
        script = ["set -euo pipefail", "trap 'kill $(jobs -p) 2>/dev/null; wait' EXIT"]
        found = list(blocks(os.path.join(tree, "README.md")))
        components = [text for kind, _, text in found if kind == "unity-component"]
        errors = compile_unity_components(tree, components)
        print(f"{len(components)} Unity components compiled" + (f": FAILED\n{errors}" if errors else ""))
        if errors or not components:
            return 1
        for kind, name, text in found:
            if kind == "file":
                os.makedirs(os.path.dirname(os.path.join(tree, name)), exist_ok=True)
                with open(os.path.join(tree, name), "w", encoding="utf-8") as target:
                    target.write(text)
            elif kind == "run":
                script += [shell_line(line) for line in text.splitlines() if line.strip()]
        environment = {key: value for key, value in os.environ.items()
                       if key not in ("PKG_CONFIG_PATH", "LD_LIBRARY_PATH", "QUORVELLAN_LIBRARY", "PYTHONPATH")}
        environment["HOME"] = home
        run = subprocess.run(["bash", "-c", "\n".join(script)], cwd=tree, env=environment,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        print(run.stdout)
        print(f"{sum(kind == 'run' for kind, _, _ in found)} blocks run, "
              f"{sum(kind == 'file' for kind, _, _ in found)} files written")
        missing = [text for text in EXPECTED if text not in run.stdout]
        if run.returncode != 0 or missing:
            print(f"FAILED: exit status {run.returncode}, missing from the output: {missing}")
            return 1
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
