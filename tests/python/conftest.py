"""Shared helpers: the test-only probe module and fresh interpreters.

The binding keeps some objects once per process (the VevaDuzor class, the
internal-failure class), so tests of what happens on the first raise run in
a new interpreter each.
"""

import os
import pathlib
import subprocess
import sys
import textwrap

import hypothesis
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]

# Hypothesis bounds the time of each example and of generating them, which a
# loaded machine overruns by chance: these tests judge results, not times.
hypothesis.settings.register_profile(
    "deziro", deadline=None, suppress_health_check=[hypothesis.HealthCheck.too_slow])
hypothesis.settings.load_profile("deziro")


def _find_probe_dir():
    """The folder holding deziro_probe, built by scripts/test."""
    given = os.environ.get("DEZIRO_PROBE_DIR")
    folder = pathlib.Path(given) if given else ROOT / "build-test" / "tests" / "python"
    if any(folder.glob("deziro_probe*.so")):
        return folder
    if given:
        pytest.fail(f"DEZIRO_PROBE_DIR names {folder}, which holds no deziro_probe module")
    pytest.skip("the probe module is not built; scripts/test builds it")


@pytest.fixture(scope="session")
def probe_dir():
    return _find_probe_dir()


@pytest.fixture(scope="session")
def probe(probe_dir):
    sys.path.insert(0, str(probe_dir))
    try:
        import deziro_probe
    finally:
        sys.path.remove(str(probe_dir))
    return deziro_probe


@pytest.fixture
def fresh_python(probe_dir):
    """Runs `code` in a new interpreter that can import deziro_probe and
    returns its standard output; fails the test if the code fails."""

    def run(code, timeout=60):
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(probe_dir), env.get("PYTHONPATH")]))
        result = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            env=env,
            timeout=timeout,
            cwd=str(ROOT / "tests"),
        )
        assert result.returncode == 0, result.stderr
        return result.stdout

    return run


@pytest.fixture(scope="session")
def values_probe(probe_dir):
    """deziro_values_probe: the value conversions, layouts, schemas and query
    parameters reached directly."""
    sys.path.insert(0, str(probe_dir))
    try:
        import deziro_values_probe
    finally:
        sys.path.remove(str(probe_dir))
    return deziro_values_probe
