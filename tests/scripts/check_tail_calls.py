#!/usr/bin/env python3
"""Every forwarding function must be a sibling call: one load of the table
pointer, a test, and a jump through the slot. Disassembles the built library
and names each forwarder that calls instead of jumping or touches the stack.

    check_tail_calls.py LIBRARY INCLUDE_DIR
"""
import re
import subprocess
import sys


def main():
    library, include_dir = sys.argv[1], sys.argv[2]
    agent = open(f"{include_dir}/vexlin/internal/x-agent_funcs.h").read()
    abi = open(f"{include_dir}/vexlin/internal/vexlin_stub_abi.h").read()
    names = re.findall(r"^VEXLIN_AGENT_CALL0?\(\d+, \d+, (\w+),", agent, re.M)
    names = ["vexlin_" + n for n in names + re.findall(r"\bX0?\(\d+, \w+, (\w+),", abi)]
    bodies, current = {}, None
    out = subprocess.run(["objdump", "-d", "--no-show-raw-insn", library], check=True, capture_output=True, text=True)
    for line in out.stdout.splitlines():
        header = re.match(r"^[0-9a-f]+ <([^>]+)>:$", line)
        if header:
            current = bodies.setdefault(header.group(1), [])
        elif current is not None and "\t" in line:
            current.append(line.split("\t", 1)[1].strip())
    failed = 0
    for name in names:
        body = bodies.get(name, [])
        problems = [f"calls: {i}" for i in body if i.startswith("call")]
        problems += [f"touches the stack: {i}" for i in body
                     if i.startswith(("push", "pop", "enter", "leave")) or "%rsp" in i or "%rbp" in i]
        if not any(i.startswith("jmp") and "*" in i for i in body):
            problems.append("no jump through the table" if body else "not found in the disassembly")
        if problems:
            failed += 1
            print(f"{name}:\n    " + "\n    ".join(problems))
    print(f"{len(names)} forwarders checked, {failed} not sibling calls")
    return 1 if failed or len(names) != 73 else 0


if __name__ == "__main__":
    sys.exit(main())
