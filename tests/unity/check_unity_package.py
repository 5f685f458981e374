#!/usr/bin/env python3
"""Checks an assembled Unity package folder.

usage: check_unity_package.py <package folder> <version>

package.json is valid and carries the version; every file and folder that
Unity imports (all but Samples~) has its .meta and every .meta its asset, with
GUIDs unique; each native plugin is enabled for its own platform only; the
README lists every plugin, the CHANGELOG has the version, the documentation
and notices are there, and no assembly allows unsafe code.
"""
import json
import os
import re
import sys

PLATFORMS = {".dll": "Win64", ".so": "Linux64"}


def imported_paths(root):
    for folder, folders, files in os.walk(root):
        folders[:] = [name for name in folders if not name.endswith("~")]
        for name in folders + files:
            yield os.path.relpath(os.path.join(folder, name), root)


def meta_problems(root):
    problems, guids = [], {}
    paths = set(imported_paths(root))
    for path in sorted(paths):
        if path.endswith(".meta"):
            if path[:-5] not in paths:
                problems.append(f"{path} has no asset")
            continue
        meta = os.path.join(root, path + ".meta")
        if not os.path.isfile(meta):
            problems.append(f"{path} has no .meta")
            continue
        guid = re.search(r"^guid: ([0-9a-f]{32})$", open(meta).read(), re.MULTILINE)
        if not guid:
            problems.append(f"{path}.meta has no GUID")
        elif guid.group(1) in guids:
            problems.append(f"{path} and {guids[guid.group(1)]} share a GUID")
        else:
            guids[guid.group(1)] = path
    return problems


def enabled_standalone_platforms(meta_text):
    found = re.findall(r"Standalone: (\w+)\n    second:\n      enabled: (\d)", meta_text)
    return {platform for platform, enabled in found if enabled == "1"}


def plugin_problems(root):
    problems, plugins = [], os.path.join(root, "Plugins", "x86_64")
    for name in sorted(os.listdir(plugins)):
        extension = os.path.splitext(name)[1]
        if extension not in PLATFORMS:
            continue
        text = open(os.path.join(plugins, name + ".meta")).read()
        enabled = enabled_standalone_platforms(text)
        if enabled != {PLATFORMS[extension]}:
            problems.append(f"{name}: enabled for {sorted(enabled)}, not only {PLATFORMS[extension]}")
        if "CPU: x86_64" not in text:
            problems.append(f"{name}: no x86_64 CPU setting")
    return problems


# Files a Unity package is expected to carry beside its manifest.
REQUIRED_FILES = ("README.md", "CHANGELOG.md", "LICENSE", "Third Party Notices.md",
                  os.path.join("Documentation~", "com.quorvellan.api.md"))


def documentation_problems(root, version):
    problems = [f"{name} is missing" for name in REQUIRED_FILES if not os.path.isfile(os.path.join(root, name))]
    if problems:
        return problems
    readme = open(os.path.join(root, "README.md")).read()
    for name in sorted(os.listdir(os.path.join(root, "Plugins", "x86_64"))):
        if os.path.splitext(name)[1] in PLATFORMS and f"`{name}`" not in readme:
            problems.append(f"README.md does not list {name}")
    if not re.search(rf"^## \[{re.escape(version)}\]", open(os.path.join(root, "CHANGELOG.md")).read(), re.MULTILINE):
        problems.append(f"CHANGELOG.md has no section for {version}")
    for folder, _, files in os.walk(os.path.join(root, "Runtime")):
        for name in files:
            if name.endswith(".asmdef") and json.load(open(os.path.join(folder, name))).get("allowUnsafeCode"):
                problems.append(f"{name} allows unsafe code the binding does not have")
    return problems


def manifest_problems(root, version):
    manifest = json.load(open(os.path.join(root, "package.json")))
    problems = []
    if manifest.get("version") != version:
        problems.append(f"package.json version {manifest.get('version')}, the project's is {version}")
    for sample in manifest.get("samples", []):
        if not os.path.isdir(os.path.join(root, sample["path"])):
            problems.append(f"sample folder {sample['path']} is missing")
    return problems


def main():
    root, version = sys.argv[1:3]
    problems = (manifest_problems(root, version) + meta_problems(root) + plugin_problems(root)
                + documentation_problems(root, version))
    for problem in problems:
        print("FAIL:", problem)
    print(f"{root}: {len(list(imported_paths(root)))} imported paths, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
