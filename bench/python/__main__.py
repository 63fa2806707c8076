"""The Python benchmark: DeziRO beside sqlite3 and lmdb on workloads W1-W8.

    python bench/python [--count N] [--commits N] [--processes 1,2,4]

Prints one JSON object per result on stdout, then a table with DeziRO's
ratio to each peer on stderr (above 1: DeziRO is ahead). `bench/run python`
installs lmdb into .venv and runs it.
"""

import argparse
import json
import sys

from engines import available
from report import ratio_table
from workloads import Sizes, run


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=100_000, help="objects stored (100000)")
    parser.add_argument("--commits", type=int, default=200, help="durable commits timed in W2 (200)")
    parser.add_argument("--processes", default="1,2,4", help="reader processes in W7 (1,2,4)")
    args = parser.parse_args()
    engines = available()
    if "lmdb" not in engines:
        print("lmdb is not installed; `pip install lmdb` to compare with it", file=sys.stderr)
    sizes = Sizes(args.count, args.commits, tuple(int(p) for p in args.processes.split(",")))
    lines = []
    for line in run(engines, sizes):
        print(json.dumps(line), flush=True)
        lines.append(line)
    print(ratio_table(lines), file=sys.stderr)


if __name__ == "__main__":
    main()
