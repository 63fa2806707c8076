"""The README's Python examples run as written: its ```python blocks, in
order, as one program in a fresh interpreter and an empty folder."""

import pathlib
import re
import subprocess
import sys

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def test_readme_examples_run(tmp_path):
    blocks = re.findall(r"^```python\n(.*?)^```", README.read_text(encoding="utf-8"), re.S | re.M)
    assert len(blocks) >= 8, "the README lost its examples"
    program = tmp_path / "readme_examples.py"
    program.write_text("\n".join(blocks), encoding="utf-8")
    run = subprocess.run([sys.executable, str(program)], cwd=tmp_path, capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0, run.stderr
