"""The Python benchmark runs at a tiny size and its engines agree: every
workload checks each engine's answers against one model, a wrong answer
stops the run, and nothing it made is left behind."""

import pathlib
import sys

import pytest

pytest.importorskip("lmdb")
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "bench" / "python"))
import engines  # noqa: E402
import report  # noqa: E402
import workloads  # noqa: E402


def tiny(repetitions=1):
    sizes = workloads.Sizes(300, commits=3, processes=(1, 2), repetitions=repetitions)
    sizes.rounds = 1
    return sizes


def test_every_engine_answers_every_workload_alike(tmp_path):
    lines = list(workloads.run(["deziro", "sqlite3", "lmdb"], tiny(repetitions=2), folder=tmp_path))
    assert lines[0]["engine"] == "disk" and lines[0]["ns_per_op"] > 0
    done = {(line["engine"], line["workload"]) for line in lines[1:] if not line.get("road")}
    kinds = {workload for _, workload in done}
    assert {kind[:2] for kind in kinds} == {f"W{n}" for n in range(1, 9)}
    assert done == {(engine, kind) for engine in ("deziro", "sqlite3", "lmdb") for kind in kinds}
    assert all(len(line["runs"]) == 2 and line["ns_per_op_min"] <= line["ns_per_op"] <= line["ns_per_op_max"]
               for line in lines[1:])
    table = report.ratio_table(lines)
    assert "vs sqlite3" in table and "W8 compact" in table
    assert list(tmp_path.iterdir()) == []


# An engine that loses or mistakes what it was given, one workload each.
WRONG = [
    ("W1", "load", lambda load: lambda self, items: load(self, items[:-1])),
    ("W2", "commit_one", lambda commit_one: lambda self, item: None),
    ("W8 reopen", "reopen",
     lambda reopen: classmethod(lambda cls, path: cls.read_keys(path, [3], lambda work: work()[0]))),
]


@pytest.mark.parametrize("workload, method, wrong", WRONG, ids=[w for w, _, _ in WRONG])
def test_a_wrong_answer_stops_the_run_and_leaves_nothing(tmp_path, monkeypatch, workload, method, wrong):
    monkeypatch.setattr(engines.DeziroEngine, method, wrong(getattr(engines.DeziroEngine, method)))
    with pytest.raises(workloads.Mismatch, match=workload):
        list(workloads.run(["deziro"], tiny(), folder=tmp_path))
    assert list(tmp_path.iterdir()) == []


def test_reader_processes_are_checked(tmp_path, monkeypatch):
    # The reader processes read the file afresh; here the model they are
    # held to is not the file's.
    monkeypatch.setattr(workloads, "digest", lambda rows: 0)
    with pytest.raises(workloads.Mismatch, match="W7"):
        list(workloads.run(["deziro"], tiny(), folder=tmp_path))
    assert list(tmp_path.iterdir()) == []


def test_ratios_are_deziro_time_over_the_peer_time_compaction_included():
    def line(workload, engine, runs, **extra):
        return {"bench": "python", "workload": workload, "engine": engine, "ops": 1,
                "ns_per_op": sorted(runs)[1], "runs": runs, **extra}

    lines = [
        line("W3 point get", "deziro", [100, 200, 300]),
        line("W3 point get", "sqlite3", [400, 400, 400]),
        line("W8 compact", "deziro", [3000, 3000, 3000], bytes=200),
        line("W8 compact", "lmdb", [1000, 1000, 1000], bytes=100),
    ]
    rows = {row[:38].strip(): row[38:].split() for row in report.ratio_table(lines).splitlines()[2:]}
    assert rows["W3 point get (µs/op)"][-3:] == ["0.50", "[0.25-0.75]", "-"]
    assert rows["W8 compact (µs/op)"][-1] == "[3.00-3.00]" and rows["W8 compact (µs/op)"][-2] == "3.00"
    assert rows["W8 file size (bytes)"][-1] == "2.00"
