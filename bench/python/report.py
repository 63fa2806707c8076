"""The table that closes a run of the Python benchmark."""

import statistics

ENGINES = ["deziro", "sqlite3", "lmdb"]
PEERS = ["sqlite3", "lmdb"]


def ratio_text(ours, theirs):
    """DeziRO's figure over the peer's, repetition by repetition: the median
    and its range."""
    ratios = [a / b for a, b in zip(ours, theirs) if b]
    if not ratios:
        return "-"
    low, high = min(ratios), max(ratios)
    middle = f"{statistics.median(ratios):.2f}"
    return middle if len(ratios) == 1 else f"{middle} [{low:.2f}-{high:.2f}]"


def ratio_table(lines):
    """The table of results: one row per workload, the median time per
    operation of each engine, and DeziRO's time over each peer's (below 1:
    DeziRO is faster), with its range over the repetitions; the file size
    after W8 compares the same way (below 1: DeziRO's file is smaller)."""
    by = {}
    sync = None
    for line in lines:
        if line["engine"] == "disk":
            sync = line
            continue
        if line.get("road"):
            continue
        runs = line.get("runs", [line["ns_per_op"]])
        by.setdefault(line["workload"] + " (µs/op)", {})[line["engine"]] = (line["ns_per_op"] / 1e3, runs)
        if line["workload"] == "W8 compact":
            by.setdefault("W8 file size (bytes)", {})[line["engine"]] = (line["bytes"], [line["bytes"]])
    out = []
    if sync:
        out.append(f"disk sync (4 KiB write and fsync): {sync['ns_per_op'] / 1e3:,.0f} µs "
                   f"[{sync['ns_per_op_min'] / 1e3:,.0f}-{sync['ns_per_op_max'] / 1e3:,.0f}]")
    out.append("ratios: DeziRO's time over the peer's, median [range] over the repetitions; below 1: DeziRO is ahead")
    out.append(f"{'workload':38}" + "".join(f"{e:>14}" for e in ENGINES) + "".join(f"{'vs ' + p:>20}" for p in PEERS))
    for workload, values in by.items():
        cells = "".join(f"{values[e][0]:>14,.{0 if '(bytes)' in workload else 1}f}" if e in values else f"{'-':>14}"
                        for e in ENGINES)
        ratios = "".join(f"{ratio_text(values['deziro'][1], values[p][1]) if 'deziro' in values and p in values else '-':>20}"
                         for p in PEERS)
        out.append(f"{workload:38}{cells}{ratios}")
    return "\n".join(out)
