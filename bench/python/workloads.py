"""The workloads W1 to W8, run on every engine in one process.

Each workload first checks what every engine answers against a model of the
data kept in plain Python (so the engines agree with each other), then times
the work. `run` yields one dict per result in the JSON-lines form of
`bench/run`: bench, workload, engine, ops, ns_per_op, and per_s (operations
or rows per second) or bytes where that is what the workload measures.
"""

import multiprocessing
import os
import random
import statistics
import tempfile
import time

from engines import ENGINES, Item, rows_of

BENCH = "python"


class Mismatch(AssertionError):
    pass


class Sizes:
    """How much work each workload does for `count` objects."""

    def __init__(self, count, commits=200, processes=(1, 2, 4)):
        self.count = count
        self.gets = count
        self.width = max(1, min(100, count // 100))
        self.ranges = max(10, min(1000, count // self.width))
        self.scans = 5
        self.counts = 1000
        self.tops = 200
        self.commits = commits
        self.processes = processes
        self.reopens = 7
        self.rounds = 3


class Model:
    """The data set and the answers every engine must give."""

    def __init__(self, count, seed=7):
        rng = random.Random(seed)
        scores = list(range(count))
        rng.shuffle(scores)
        self.rows = {i + 1: (i + 1, scores[i], rng.randrange(1 << 40), f"item-{i + 1:08d}")
                     for i in range(count)}
        self.rank_cut = (1 << 40) // 100  # about 1% of the objects
        # The scores are a permutation of 0..count-1: position is score.
        self.by_score = sorted(self.rows.values(), key=lambda row: row[1])

    def range(self, low, high):
        return self.by_score[low:high]

    def below_rank(self):
        return sorted(r for r in self.rows.values() if r[2] < self.rank_cut)

    def top10(self):
        return self.by_score[:10]


def expect(workload, engine, got, wanted):
    if got != wanted:
        raise Mismatch(f"{workload}: {engine} answers {got[:3]}... where {wanted[:3]}... was expected")


def timed(work):
    start = time.perf_counter()
    result = work()
    return time.perf_counter() - start, result


def fastest(rounds, work):
    """The best of `rounds` runs of a read, which leaves the data as it was:
    the least disturbed by whatever else the machine is doing."""
    runs = [timed(work) for _ in range(rounds)]
    return min(seconds for seconds, _ in runs), runs[0][1]


def row(workload, engine, ops, seconds, per=None, **extra):
    line = {"bench": BENCH, "workload": workload, "engine": engine, "ops": ops,
            "ns_per_op": round(seconds * 1e9 / ops, 1)}
    line["per_s"] = round((per if per is not None else ops) / seconds)
    line.update(extra)
    return line


def _await_start(barrier):
    """Times `work` once every reader process is ready to start with it."""

    def ready(work):
        barrier.wait()
        return timed(work)[0]

    return ready


def _reader_process(engine_name, path, keys, barrier, results):
    results.put(ENGINES[engine_name].read_keys(path, keys, _await_start(barrier)))


def parallel_gets(engine, keys, processes):
    """Gets per second, all processes together, from `processes` readers that
    start at one moment and each read all of `keys`."""
    context = multiprocessing.get_context("spawn")
    barrier, results = context.Barrier(processes), context.Queue()
    workers = [context.Process(target=_reader_process, args=(engine.name, engine.path, keys, barrier, results))
               for _ in range(processes)]
    for worker in workers:
        worker.start()
    slowest = max(results.get(timeout=600) for _ in workers)
    for worker in workers:
        worker.join()
    return slowest


def run(engine_names, sizes, folder=None):
    """Yields the result rows of every workload for each engine."""
    model = Model(sizes.count)
    with tempfile.TemporaryDirectory(dir=folder) as root:
        for name in engine_names:
            with tempfile.TemporaryDirectory(dir=root) as own:
                yield from run_engine(ENGINES[name], own, model, sizes)


def run_engine(kind, folder, model, sizes):
    name = kind.name
    rows = list(model.rows.values())
    rng = random.Random(11)
    keys = [rng.randrange(1, sizes.count + 1) for _ in range(sizes.gets)]
    lows = [rng.randrange(sizes.count - sizes.width + 1) for _ in range(sizes.ranges)]

    # W1: the objects exist before the clock starts, as a program's would.
    batch = [Item(*r) for r in rows] if name == "deziro" else rows
    engine, seconds = bulk_insert(kind, folder, "load", batch, sizes.rounds)
    yield row("W1 bulk insert", name, len(rows), seconds)
    if name == "deziro":
        dicts = [{"id": i, "score": s, "rank": r, "name": n} for i, s, r, n in rows]
        dict_engine, seconds = bulk_insert(kind, folder, "load_dicts", dicts, sizes.rounds)
        dict_engine.close()
        yield row("W1 bulk insert", name, len(rows), seconds, road="dict")

    engine.begin_reads()
    sample = keys[:1000]
    expect("W3", name, rows_of(engine.get_many(sample)), [model.rows[k] for k in sample])
    seconds, _ = fastest(sizes.rounds, lambda: engine.get_many(keys))
    yield row("W3 point get", name, len(keys), seconds)
    if name == "deziro":
        expect("W3", name, [(d["id"], d["score"], d["rank"], d["name"]) for d in engine.get_dicts(sample)], [model.rows[k] for k in sample])
        seconds, _ = fastest(sizes.rounds, lambda: engine.get_dicts(keys))
        yield row("W3 point get", name, len(keys), seconds, road="dict")

    for low in lows[:20]:
        # Without a sort the order of the rows is the engine's own.
        found = sorted(rows_of(engine.range(low, low + sizes.width)), key=lambda r: r[1])
        expect("W4", name, found, model.range(low, low + sizes.width))
    seconds, found = fastest(sizes.rounds, lambda: sum(len(engine.range(low, low + sizes.width)) for low in lows))
    yield row("W4 index range", name, len(lows), seconds, per=found)

    expect("W5", name, sorted(rows_of(engine.below_rank(model.rank_cut))), model.below_rank())
    seconds, _ = fastest(sizes.rounds, lambda: [engine.below_rank(model.rank_cut) for _ in range(sizes.scans)])
    yield row("W5 scan with filter", name, sizes.scans, seconds, per=sizes.scans * len(rows))
    expect("W5", name, [engine.count_all()], [len(rows)])
    seconds, _ = fastest(sizes.rounds, lambda: [engine.count_all() for _ in range(sizes.counts)])
    yield row("W5 count all", name, sizes.counts, seconds)

    expect("W6", name, rows_of(engine.top10()), model.top10())
    seconds, _ = fastest(sizes.rounds, lambda: [engine.top10() for _ in range(sizes.tops)])
    yield row("W6 top-10 sort", name, sizes.tops, seconds)
    engine.end_reads()

    for processes in sizes.processes:
        seconds = min(parallel_gets(engine, keys, processes) for _ in range(sizes.rounds))
        yield row(f"W7 gets in {processes} processes", name, processes * len(keys), seconds,
                  processes=processes)

    added = [(sizes.count + 1 + i, sizes.count + i, 0, f"new-{i}") for i in range(sizes.commits)]
    batch = [Item(*r) for r in added] if name == "deziro" else added
    seconds, _ = timed(lambda: [engine.commit_one(item) for item in batch])
    yield row("W2 durable commit", name, len(batch), seconds)

    yield from shrink_and_reopen(engine, kind, rows + added, sizes)


def bulk_insert(kind, folder, load, batch, rounds):
    """W1: the best of `rounds` loads of `batch`, each into a new file, by
    the engine's method `load`. Answers the last engine, open, and the time."""
    best, engine = None, None
    for round_ in range(rounds):
        if engine is not None:
            engine.close()
        own = os.path.join(folder, f"{load}-{round_}")
        os.mkdir(own)
        engine = kind(own)
        seconds, _ = timed(lambda: getattr(engine, load)(batch))
        best = seconds if best is None else min(best, seconds)
    return engine, best


def shrink_and_reopen(engine, kind, rows, sizes):
    """W8: delete every object with an even key, compact, close, reopen."""
    engine.delete([r[0] for r in rows if r[0] % 2 == 0])
    before = engine.size()
    seconds, _ = timed(engine.compact)
    engine.begin_reads()
    expect("W8", kind.name, [engine.count_all()], [sum(1 for r in rows if r[0] % 2)])
    engine.end_reads()
    after = engine.size()
    engine.close()
    yield row("W8 compact", kind.name, 1, seconds, bytes_before=before, bytes=after)
    times = []
    for _ in range(sizes.reopens):
        times.append(timed(lambda: kind.reopen(engine.path))[0])
    yield row("W8 reopen", kind.name, 1, statistics.median(times))
