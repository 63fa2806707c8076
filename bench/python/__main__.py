"""The Python benchmark: DeziRO beside sqlite3 and lmdb on workloads W1-W8.

    python bench/python [--count N] [--commits N] [--processes 1,2,4] [--repetitions N]

Prints one JSON object per result on stdout, then a table on stderr with
each engine's median time per operation and DeziRO's time over each peer's
(below 1: DeziRO is ahead), with its range over the repetitions. A wrong
answer from any engine stops the run with a non-zero exit. `bench/run
python` installs lmdb into .venv and runs it.
"""

import argparse
import json
import signal
import sys

from engines import available
from report import ratio_table
from workloads import Mismatch, Sizes, run


def stop(signum, frame):
    # Unwinds like Ctrl-C, so that the temporary folders go.
    raise SystemExit(128 + signum)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=100_000, help="objects stored (100000)")
    parser.add_argument("--commits", type=int, default=200, help="durable commits timed in W2 (200)")
    parser.add_argument("--processes", default="1,2,4", help="reader processes in W7 (1,2,4)")
    parser.add_argument("--repetitions", type=int, default=3, help="turns of every engine (3)")
    args = parser.parse_args()
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGHUP, stop)
    engines = available()
    if "lmdb" not in engines:
        print("lmdb is not installed; `pip install lmdb` to compare with it", file=sys.stderr)
    sizes = Sizes(args.count, args.commits, tuple(int(p) for p in args.processes.split(",")),
                  args.repetitions)
    lines = []
    try:
        for line in run(engines, sizes):
            print(json.dumps(line), flush=True)
            lines.append(line)
    except Mismatch as wrong:
        print(f"wrong answer: {wrong}", file=sys.stderr)
        sys.exit(1)
    print(ratio_table(lines), file=sys.stderr)


if __name__ == "__main__":
    main()
