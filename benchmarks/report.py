#!/usr/bin/env python3
"""Turns Google Benchmark JSON results into a table of medians, each beside
its baseline from the same run, with the ratio and its target.

    report.py RESULT.json [RESULT.json ...]
"""
import json
import platform
import sys

# (benchmark, baseline, target ratio or None)
PAIRS = [
    ("BM_TracerStart_Forwarded", "BM_TracerStart_Reference", 1.05),
    ("BM_TracerStart_Forwarded", "BM_TracerStart_Direct", None),
    ("BM_RemoteCallCreate_Forwarded", "BM_RemoteCallCreate_Reference", 1.05),
    ("BM_RemoteCallCreate_Forwarded", "BM_RemoteCallCreate_Direct", None),
    ("BM_SpanCreate_Forwarded", "BM_TracerStart_Reference", 1.05),
    ("BM_TracerStart_Neutral", "BM_EmptyFunction", 1.10),
    ("BM_SpanCreate_Neutral", "BM_EmptyFunction", 1.10),
    ("BM_Log_Dropped", "BM_EmptyFunction", 1.10),
    ("BM_Logf_Dropped", "BM_EmptyFunction", 1.10),
    ("BM_Spinlock_LockUnlock", "BM_Spinlock_BareCompareExchange", 1.10),
    ("BM_InitializeShutdown_Cycle", "BM_InitializeShutdown_LoaderWork", 1.15),
    ("BM_SetVariable_Replace/100", "BM_SetVariable_Replace/10", None),
    ("BM_SetVariable_Replace/1000", "BM_SetVariable_Replace/10", None),
    ("BM_Otlp_WebRequestWithDatabase/manual_time", "BM_Otlp_Baseline_RecordCopy", 1.5),
    ("BM_Otlp_SpansAfterStart/0/iterations:50000/manual_time", "BM_Otlp_SpansAfterStart/100000/iterations:50000/manual_time", 1.1),
]

# The OTLP module's recording figures beyond the pairs: (what, value, target, holds)
def recording(values, rates, counters):
    one = rates.get("BM_Otlp_RecordingThreads/manual_time/threads:1")
    two = rates.get("BM_Otlp_RecordingThreads/manual_time/threads:2")
    if one and two:
        yield ("two threads against one, spans a second", two / one, "≥ 1.80", two / one >= 1.8)
    plain_one = rates.get("BM_Otlp_Baseline_RecordCopyThreads/real_time/threads:1")
    plain_two = rates.get("BM_Otlp_Baseline_RecordCopyThreads/real_time/threads:2")
    if plain_one and plain_two:
        # What the machine gives two threads at the time: the goal presumes 2.
        yield ("two threads sharing nothing against one (baseline)", plain_two / plain_one, "", True)
        if one and two:
            yield ("two recording threads' gain against the baseline's", (two / one) / (plain_two / plain_one),
                   "≥ 0.90", (two / one) / (plain_two / plain_one) >= 0.9)
    for arg, what in (("0", "sampled out"), ("1", "module disabled")):
        ns = values.get(f"BM_Otlp_SpanNotSent/{arg}/manual_time")
        if ns is not None:
            yield (f"a span nobody sends ({what}), ns per span", ns / 2, "≤ 60", ns / 2 <= 60)
    allocations = counters.get("BM_Otlp_WebRequestWithDatabase/manual_time")
    if allocations is not None:
        yield ("allocations per span on the application's thread", allocations, "≤ 1", allocations <= 1)


RATES = {}  # benchmark -> median items per second, for the throughput lines
ALL_RATES = {}  # benchmark -> median items per second
ALLOCATIONS = {}  # benchmark -> median allocations per span


def medians(paths):
    result, context = {}, None
    for path in paths:
        data = json.load(open(path))
        context = context or data["context"]
        for b in data["benchmarks"]:
            if b.get("aggregate_name") == "median":
                # Each executable has its own empty-function baseline; keep the
                # one measured beside the benchmark that uses it.
                name = b["run_name"]
                result.setdefault(path, {})[name] = b["real_time"]
                if "Throughput" in name and "items_per_second" in b:
                    RATES[name] = b["items_per_second"]
                if "items_per_second" in b:
                    ALL_RATES[name] = b["items_per_second"]
                if "allocs_per_span" in b:
                    ALLOCATIONS[name] = b["allocs_per_span"]
    return result, context


def main():
    per_file, context = medians(sys.argv[1:])
    print(f"Machine: {platform.machine()}, {context.get('num_cpus')} CPUs at {context.get('mhz_per_cpu')} MHz; "
          f"{platform.system()} {platform.release()}")
    print()
    print("| Benchmark | Median (ns) | Baseline | Baseline median (ns) | Ratio | Target |")
    print("|---|---:|---|---:|---:|---:|")
    missed = 0
    for name, baseline, target in PAIRS:
        for values in per_file.values():
            if name in values and baseline in values:
                ratio = values[name] / values[baseline]
                verdict = "" if target is None else (f"≤ {target:.2f}" + ("" if ratio <= target else " (missed)"))
                missed += target is not None and ratio > target
                print(f"| {name} | {values[name]:.2f} | {baseline} | {values[baseline]:.2f} | {ratio:.2f} | {verdict} |")
                break
    # The recording figures come from one table, whichever file holds each.
    merged = {}
    for values in per_file.values():
        merged.update(values)
    lines = list(recording(merged, ALL_RATES, ALLOCATIONS))
    if lines:
        print()
        print("| Recording | Value | Target |")
        print("|---|---:|---:|")
    for what, value, target, holds in lines:
        missed += not holds
        print(f"| {what} | {value:.2f} | {target}{'' if holds else ' (missed)'} |")
    for name, rate in RATES.items():
        print(f"\n{name}: {rate:,.0f} items per second")
    print()
    print(f"{missed} target(s) missed")


if __name__ == "__main__":
    main()
