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
    text = lambda path: open(os.path.join(root, path)).read()
    readme, problems = text("README.md"), []

    shown = re.search(r"<!-- samples/minimal.c -->\n```c\n(.*?)```", readme, re.S)
    if not shown or shown.group(1) != text("samples/minimal.c"):
        problems.append("the example differs from samples/minimal.c")

    texts = dict(re.findall(r'\{(VEXLIN_\w+), "([^"]+)"\}', text("src/vexlin_xstr.cpp")))
    values = dict(re.findall(r"#define (VEXLIN_\w+) \(\(vexlin_result_t\)(0x[0-9A-F]+|0)u?\)",
                             text("include/vexlin/vexlin_common.h")))
    rows = re.findall(r"^\| (0x[0-9A-F]+|0) \| `(VEXLIN_\w+)` \| (.+?) \|$", readme, re.M)
    if len(rows) != len(texts):
        problems.append(f"the result-code table has {len(rows)} rows, the library {len(texts)} texts")
    problems += [f"result code {name}: README says {code} '{said}'" for code, name, said in rows
                 if texts.get(name) != said or values.get(name, "").upper() != code.upper()]

    problems += [f"{script} is named but not an executable script" for script in
                 sorted(set(re.findall(r"scripts/[a-z-]+", readme))) if not os.access(os.path.join(root, script), os.X_OK)]

    presets = {p["name"] for p in json.loads(text("CMakePresets.json"))["configurePresets"]}
    listed = re.search(r"Presets \(`CMakePresets.json`\): (.*?)\.\n", readme, re.S)
    named = set(re.findall(r"`([a-z0-9-]+)`", listed.group(1))) if listed else set()
    if named != presets:
        problems.append(f"presets named {sorted(named)}, defined {sorted(presets)}")

    print("".join(p + "\n" for p in problems) + f"README checked: {len(problems)} problem(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
