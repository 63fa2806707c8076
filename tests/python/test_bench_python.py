"""The Python benchmark runs at a tiny size and its engines agree: each
workload checks every engine's answers against one model before timing."""

import pathlib
import sys

import pytest

pytest.importorskip("lmdb")
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "bench" / "python"))
import report  # noqa: E402
import workloads  # noqa: E402


def test_every_engine_answers_every_workload_alike(tmp_path):
    sizes = workloads.Sizes(300, commits=3, processes=(1, 2))
    sizes.rounds = 1
    lines = list(workloads.run(["deziro", "sqlite3", "lmdb"], sizes, folder=tmp_path))
    done = {(line["engine"], line["workload"]) for line in lines if not line.get("road")}
    kinds = {workload for _, workload in done}
    assert {kind[:2] for kind in kinds} == {f"W{n}" for n in range(1, 9)}
    assert done == {(engine, kind) for engine in ("deziro", "sqlite3", "lmdb") for kind in kinds}
    assert "vs sqlite3" in report.ratio_table(lines)
