"""The table that closes a run of the Python benchmark."""


def ratio_table(lines):
    """The table of results: one row per workload, a column per engine."""
    engines = ["deziro", "sqlite3", "lmdb"]
    by = {}
    for line in lines:
        if line.get("road"):
            continue
        if line["workload"] == "W8 compact":
            by.setdefault("W8 file size (bytes)", {})[line["engine"]] = line["bytes"]
        elif line["workload"] == "W8 reopen":
            by.setdefault("W8 reopen (µs)", {})[line["engine"]] = line["ns_per_op"] / 1e3
        else:
            by.setdefault(line["workload"] + " (/s)", {})[line["engine"]] = line["per_s"]
    out = [f"{'workload':34}" + "".join(f"{e:>14}" for e in engines) + f"{'vs sqlite3':>12}{'vs lmdb':>10}"]
    for workload, values in by.items():
        cells = "".join(f"{values[e]:>14,.{1 if isinstance(values[e], float) else 0}f}" if e in values
                        else f"{'-':>14}" for e in engines)
        lower_is_better = "(µs)" in workload or "(bytes)" in workload
        ratios = ""
        for peer, width in (("sqlite3", 12), ("lmdb", 10)):
            if "deziro" in values and peer in values and values["deziro"] and values[peer]:
                r = values[peer] / values["deziro"] if lower_is_better else values["deziro"] / values[peer]
                ratios += f"{r:>{width}.2f}"
            else:
                ratios += f"{'-':>{width}}"
        out.append(f"{workload:34}{cells}{ratios}")
    return "\n".join(out)
