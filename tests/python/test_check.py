"""NativeDatabase.check: the report of a sound file, of a file without a
schema, beside a running writer, and on a closed handle."""

import threading

import pytest

import deziro
from deziro._errors import VevaDuzor

SCHEMA = deziro.NativeSchema(1, [("items", [
    ("name", "string", "required", None, True, True),
    ("n", "int", "required", None, True, False),
])])


@pytest.fixture
def db(tmp_path):
    db = deziro.open(tmp_path / "check.db", schema=SCHEMA)
    txn = db.begin_write()
    txn.insert_many("items", None, [{"name": f"n{i}", "n": i % 5} for i in range(500)])
    txn.commit(False)
    yield db
    db.close()


def test_sound_file_reports_ok_with_its_figures(db):
    report = db.check()
    assert list(report) == ["ok", "commit_id", "page_count", "pages_checked",
                            "objects_checked", "problems"]
    assert report["ok"] is True and report["problems"] == []
    assert report["objects_checked"] == 500
    assert 0 < report["pages_checked"] < report["page_count"]
    reader = db.begin_read()
    assert report["commit_id"] == db.check()["commit_id"]
    reader.end()


def test_file_without_schema_checks_no_objects(tmp_path):
    db = deziro.open(tmp_path / "plain.db")
    report = db.check()
    assert (report["ok"], report["objects_checked"], report["problems"]) == (True, 0, [])
    db.close()


def test_check_beside_a_writer_sees_one_commit(db):
    # The writer commits while checks run in another thread; each check
    # sees a whole commit, so every one of them is ok.
    reports = []

    def check_often():
        for _ in range(20):
            reports.append(db.check())

    checker = threading.Thread(target=check_often)
    checker.start()
    for round_ in range(20):
        txn = db.begin_write()
        txn.insert_many("items", None, [{"name": f"w{round_}-{i}", "n": i} for i in range(50)])
        txn.commit(False)
    checker.join()
    assert all(r["ok"] for r in reports), [r["problems"] for r in reports if not r["ok"]]
    assert [r["commit_id"] for r in reports] == sorted(r["commit_id"] for r in reports)


def test_closed_handle_is_refused(db):
    db.close()
    with pytest.raises(VevaDuzor) as caught:
        db.check()
    assert caught.value.args == ("CLOSED", "the database is closed")
