#!/usr/bin/env python3
"""Every forwarding function must be a sibling call: one load of the table
pointer, a test, and a jump through the slot. Disassembles the built library
and names each forwarder that calls instead of jumping or touches the stack.

    check_tail_calls.py LIBRARY INCLUDE_DIR
"""
import re
import subprocess
import sys


def forwarder_names(include_dir):
    agent = open(f"{include_dir}/vexlin/internal/x-agent_funcs.h").read()
    names = re.findall(r"^VEXLIN_AGENT_CALL0?\(\d+, \d+, (\w+),", agent, re.M)
    abi = open(f"{include_dir}/vexlin/internal/vexlin_stub_abi.h").read()
    names += re.findall(r"\bX0?\(\d+, \w+, (\w+),", abi)
    return ["vexlin_" + n for n in names]


def disassembly(library):
    out = subprocess.run(["objdump", "-d", "--no-show-raw-insn", library],
                         check=True, capture_output=True, text=True).stdout
    bodies, current = {}, None
    for line in out.splitlines():
        header = re.match(r"^[0-9a-f]+ <([^>]+)>:$", line)
        if header:
            current = header.group(1)
            bodies[current] = []
        elif current and "\t" in line:
            bodies[current].append(line.split("\t", 1)[1].strip())
    return bodies


def faults(body):
    found = []
    for insn in body:
        op = insn.split()[0] if insn else ""
        if op.startswith("call"):
            found.append(f"calls: {insn}")
        if op.startswith(("push", "pop", "enter", "leave")) or "%rsp" in insn or "%rbp" in insn:
            found.append(f"touches the stack: {insn}")
    if not any(insn.startswith("jmp") and "*" in insn for insn in body):
        found.append("no jump through the table")
    return found


def main():
    library, include_dir = sys.argv[1], sys.argv[2]
    names = forwarder_names(include_dir)
    bodies = disassembly(library)
    failed = 0
    for name in names:
        body = bodies.get(name)
        if body is None:
            print(f"{name}: not found in the disassembly")
            failed += 1
            continue
        problems = faults(body)
        if problems:
            failed += 1
            print(f"{name}:")
            for p in problems:
                print(f"    {p}")
    print(f"{len(names)} forwarders checked, {failed} not sibling calls")
    return 1 if failed or len(names) != 73 else 0


if __name__ == "__main__":
    sys.exit(main())
