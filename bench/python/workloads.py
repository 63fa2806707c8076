"""The workloads W1 to W8, run on every engine in one process.

Every answer is checked against one model of the data kept in plain Python,
the same for every engine: what a workload leaves in the file is read back
before the next one is timed, and what a timed read answers is checked too.
A wrong answer raises `Mismatch`, which fails the run.

The engines take turns: each of `Sizes.repetitions` repetitions runs every
engine once, in an order that rotates from one repetition to the next, so
that what the shared machine and the disk do falls on every engine alike.
`run` yields the disk's sync latency first, then one dict per workload and
engine in the JSON-lines form of `bench/run`: bench, workload, engine, ops,
ns_per_op (the median over the repetitions) with its range (ns_per_op_min,
ns_per_op_max) and each repetition's figure (runs), and per_s (operations or
rows per second at the median) or bytes where that is what the workload
measures.
"""

import multiprocessing
import os
import random
import statistics
import tempfile
import time
import zlib

from engines import ENGINES, Item, rows_of

BENCH = "python"
SYNC_PROBES = 50


class Mismatch(AssertionError):
    pass


class Sizes:
    """How much work each workload does for `count` objects."""

    def __init__(self, count, commits=200, processes=(1, 2, 4), repetitions=3):
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
        # Reads are timed as the best of `rounds` within a repetition.
        self.rounds = 3
        self.repetitions = repetitions


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


def digest(rows):
    """A short fingerprint of rows, the same in every process."""
    return zlib.crc32(repr(rows).encode())


def timed(work):
    start = time.perf_counter()
    result = work()
    return time.perf_counter() - start, result


def fastest(rounds, work):
    """The best of `rounds` runs of a read, which leaves the data as it was:
    the least disturbed by whatever else the machine is doing. Answers that
    time and what every run answered."""
    runs = [timed(work) for _ in range(rounds)]
    return min(seconds for seconds, _ in runs), [answer for _, answer in runs]


def expect_every(workload, engine, answers, wanted):
    for answer in answers:
        expect(workload, engine, answer, wanted)


def row(workload, engine, ops, seconds, per=None, **extra):
    line = {"bench": BENCH, "workload": workload, "engine": engine, "ops": ops,
            "ns_per_op": round(seconds * 1e9 / ops, 1)}
    line["per_s"] = round((per if per is not None else ops) / seconds)
    line.update(extra)
    return line


def _await_start(barrier):
    """Times `work` once every reader process is ready to start with it, and
    answers the time with a digest of what it read."""

    def ready(work):
        barrier.wait()
        seconds, items = timed(work)
        return seconds, digest(rows_of(items))

    return ready


def _reader_process(engine_name, path, keys, barrier, results):
    results.put(ENGINES[engine_name].read_keys(path, keys, _await_start(barrier)))


def parallel_gets(engine, keys, processes, wanted):
    """Gets per second, all processes together, from `processes` readers that
    start at one moment and each read all of `keys`; each must read `wanted`
    (a digest)."""
    context = multiprocessing.get_context("spawn")
    barrier, results = context.Barrier(processes), context.Queue()
    # Daemons: they stop with this process when it is interrupted.
    workers = [context.Process(target=_reader_process, args=(engine.name, engine.path, keys, barrier, results),
                               daemon=True)
               for _ in range(processes)]
    for worker in workers:
        worker.start()
    answers = [results.get(timeout=600) for _ in workers]
    for worker in workers:
        worker.join()
    for _, got in answers:
        if got != wanted:
            raise Mismatch(f"W7: a reader process of {engine.name} read other objects than the model's")
    return max(seconds for seconds, _ in answers)


def sync_latency(folder):
    """The disk's latency for a 4 KiB write and fsync, which every durable
    commit pays."""
    path = os.path.join(folder, "sync-probe")
    fd = os.open(path, os.O_CREAT | os.O_RDWR, 0o644)
    try:
        page, times = b"x" * 4096, []
        for probe in range(SYNC_PROBES + 1):
            start = time.perf_counter()
            os.pwrite(fd, page, 0)
            os.fsync(fd)
            if probe:  # the first also allocates the block
                times.append(time.perf_counter() - start)
    finally:
        os.close(fd)
        os.remove(path)
    ns = [round(t * 1e9, 1) for t in times]
    return {"bench": BENCH, "workload": "disk sync", "engine": "disk", "ops": len(ns),
            "ns_per_op": statistics.median(ns), "ns_per_op_min": min(ns), "ns_per_op_max": max(ns),
            "what": "4 KiB write and fsync"}


def summary(lines):
    """One line for the repetitions of one workload on one engine: the median
    and the range of its time per operation, the rest at the median."""
    ns = [line["ns_per_op"] for line in lines]
    middle = sorted(lines, key=lambda line: line["ns_per_op"])[(len(lines) - 1) // 2]
    out = dict(middle)
    out.update(ns_per_op=statistics.median(ns), ns_per_op_min=min(ns), ns_per_op_max=max(ns),
               runs=ns, repetitions=len(lines))
    return out


def run(engine_names, sizes, folder=None):
    """Yields the disk's sync latency, then the summary of every workload for
    each engine. Whatever it makes goes, whether it ends well or not."""
    model = Model(sizes.count)
    with tempfile.TemporaryDirectory(dir=folder) as root:
        yield sync_latency(root)
        results = {}
        for repetition in range(sizes.repetitions):
            turn = repetition % len(engine_names)
            for name in engine_names[turn:] + engine_names[:turn]:
                with tempfile.TemporaryDirectory(dir=root) as own:
                    for line in run_engine(ENGINES[name], own, model, sizes):
                        results.setdefault((line["workload"], name, line.get("road")), []).append(line)
        for lines in results.values():
            yield summary(lines)


def run_engine(kind, folder, model, sizes):
    name = kind.name
    rows = list(model.rows.values())
    ids = [r[0] for r in rows]
    rng = random.Random(11)
    keys = [rng.randrange(1, sizes.count + 1) for _ in range(sizes.gets)]
    wanted = [model.rows[k] for k in keys]
    lows = [rng.randrange(sizes.count - sizes.width + 1) for _ in range(sizes.ranges)]

    # W1: the objects exist before the clock starts, as a program's would.
    batch = [Item(*r) for r in rows] if name == "deziro" else rows
    engine, seconds = bulk_insert(kind, folder, "load", batch)
    holds_all("W1", engine, ids, rows, len(rows))
    yield row("W1 bulk insert", name, len(rows), seconds)
    if name == "deziro":
        dicts = [{"id": i, "score": s, "rank": r, "name": n} for i, s, r, n in rows]
        dict_engine, seconds = bulk_insert(kind, folder, "load_dicts", dicts)
        holds_all("W1", dict_engine, ids, rows, len(rows))
        dict_engine.close()
        yield row("W1 bulk insert", name, len(rows), seconds, road="dict")

    engine.begin_reads()
    seconds, answers = fastest(sizes.rounds, lambda: engine.get_many(keys))
    expect_every("W3", name, [rows_of(a) for a in answers], wanted)
    yield row("W3 point get", name, len(keys), seconds)
    if name == "deziro":
        seconds, answers = fastest(sizes.rounds, lambda: engine.get_dicts(keys))
        expect_every("W3", name, [[(d["id"], d["score"], d["rank"], d["name"]) for d in a] for a in answers],
                     wanted)
        yield row("W3 point get", name, len(keys), seconds, road="dict")

    for low in lows[:20]:
        # Without a sort the order of the rows is the engine's own.
        found = sorted(rows_of(engine.range(low, low + sizes.width)), key=lambda r: r[1])
        expect("W4", name, found, model.range(low, low + sizes.width))
    seconds, answers = fastest(sizes.rounds, lambda: sum(len(engine.range(low, low + sizes.width)) for low in lows))
    expect_every("W4", name, answers, sum(len(model.range(low, low + sizes.width)) for low in lows))
    yield row("W4 index range", name, len(lows), seconds, per=answers[0])

    seconds, answers = fastest(sizes.rounds, lambda: [engine.below_rank(model.rank_cut) for _ in range(sizes.scans)])
    expect_every("W5", name, [sorted(rows_of(a)) for each in answers for a in each], model.below_rank())
    yield row("W5 scan with filter", name, sizes.scans, seconds, per=sizes.scans * len(rows))
    seconds, answers = fastest(sizes.rounds, lambda: [engine.count_all() for _ in range(sizes.counts)])
    expect_every("W5", name, answers, [len(rows)] * sizes.counts)
    yield row("W5 count all", name, sizes.counts, seconds)

    seconds, answers = fastest(sizes.rounds, lambda: [engine.top10() for _ in range(sizes.tops)])
    expect_every("W6", name, [rows_of(a) for each in answers for a in each], model.top10())
    yield row("W6 top-10 sort", name, sizes.tops, seconds)
    engine.end_reads()

    for processes in sizes.processes:
        seconds = parallel_gets(engine, keys, processes, digest(wanted))
        yield row(f"W7 gets in {processes} processes", name, processes * len(keys), seconds,
                  processes=processes)

    added = [(sizes.count + 1 + i, sizes.count + i, 0, f"new-{i}") for i in range(sizes.commits)]
    batch = [Item(*r) for r in added] if name == "deziro" else added
    seconds, _ = timed(lambda: [engine.commit_one(item) for item in batch])
    holds_all("W2", engine, [r[0] for r in added], added, len(rows) + len(added))
    yield row("W2 durable commit", name, len(batch), seconds)

    yield from shrink_and_reopen(engine, kind, rows + added, sizes)


def holds_all(workload, engine, ids, wanted, count):
    """Untimed: the engine answers `wanted` for `ids` and holds `count`
    objects in all."""
    engine.begin_reads()
    try:
        expect(workload, engine.name, [engine.count_all()], [count])
        expect(workload, engine.name, rows_of(engine.get_many(ids)), wanted)
    finally:
        engine.end_reads()


def bulk_insert(kind, folder, load, batch):
    """W1: one load of `batch` into a new file by the engine's method `load`.
    Answers the engine, open, and the time."""
    own = os.path.join(folder, load)
    os.mkdir(own)
    engine = kind(own)
    seconds, _ = timed(lambda: getattr(engine, load)(batch))
    return engine, seconds


def shrink_and_reopen(engine, kind, rows, sizes):
    """W8: delete every object with an even key, compact, close, reopen; the
    objects kept must read back after the compaction and after the reopen."""
    engine.delete([r[0] for r in rows if r[0] % 2 == 0])
    kept = [r for r in rows if r[0] % 2]
    before = engine.size()
    seconds, _ = timed(engine.compact)
    holds_all("W8", engine, [r[0] for r in kept], kept, len(kept))
    after = engine.size()
    engine.close()
    yield row("W8 compact", kind.name, 1, seconds, bytes_before=before, bytes=after)
    times = []
    for _ in range(sizes.reopens):
        seconds, item = timed(lambda: kind.reopen(engine.path))
        expect("W8 reopen", kind.name, rows_of([item]), kept[:1])
        times.append(seconds)
    expect("W8 reopen", kind.name, kind.read_keys(engine.path, [r[0] for r in kept], lambda work: rows_of(work())),
           kept)
    yield row("W8 reopen", kind.name, 1, statistics.median(times))
