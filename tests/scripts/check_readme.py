#!/usr/bin/env python3
"""README.md stays true: the example it shows is the sample the tests build,
its result-code table is the library's, and every script and preset it names
exists.

    check_readme.py SOURCE_DIR
"""
import json
import os
import re
import sys


def main():
    root = sys.argv[1]
    readme = open(os.path.join(root, "README.md")).read()
    problems = []

    shown = re.search(r"<!-- samples/minimal.c -->\n```c\n(.*?)```", readme, re.S)
    if not shown or shown.group(1) != open(os.path.join(root, "samples/minimal.c")).read():
        problems.append("the example differs from samples/minimal.c")

    texts = dict(re.findall(r'\{(VEXLIN_\w+), "([^"]+)"\}', open(os.path.join(root, "src/vexlin_xstr.cpp")).read()))
    values = dict(re.findall(r"#define (VEXLIN_\w+) \(\(vexlin_result_t\)(0x[0-9A-F]+|0)u?\)",
                             open(os.path.join(root, "include/vexlin/vexlin_common.h")).read()))
    rows = re.findall(r"^\| (0x[0-9A-F]+|0) \| `(VEXLIN_\w+)` \| (.+?) \|$", readme, re.M)
    if len(rows) != len(texts):
        problems.append(f"the result-code table has {len(rows)} rows, the library {len(texts)} texts")
    for code, name, text in rows:
        if texts.get(name) != text or values.get(name, "").upper() != code.upper():
            problems.append(f"result code {name}: README says {code} '{text}'")

    for script in sorted(set(re.findall(r"scripts/[a-z-]+", readme))):
        if not os.access(os.path.join(root, script), os.X_OK):
            problems.append(f"{script} is named but not an executable script")

    presets = {p["name"] for p in json.load(open(os.path.join(root, "CMakePresets.json")))["configurePresets"]}
    listed = re.search(r"Presets \(`CMakePresets.json`\): (.*?)\.\n", readme, re.S)
    named = set(re.findall(r"`([a-z0-9-]+)`", listed.group(1))) if listed else set()
    if named != presets:
        problems.append(f"presets named {sorted(named)}, defined {sorted(presets)}")

    for p in problems:
        print(p)
    print(f"README checked: {len(problems)} problem(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
