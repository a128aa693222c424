"""The quickstart example runs end to end on a small part of Fashion-MNIST."""

import re
from pathlib import Path

import pytest

from conftest import run_python

QUICKSTART = Path(__file__).resolve().parents[3] / "examples" / "quickstart.py"
DATA = Path("/usr/share/datasets/fashion-mnist")


def accuracy_line(output):
    return next(line for line in output.splitlines() if "accuracy" in line)


@pytest.mark.skipif(not (DATA / "t10k-labels-idx1-ubyte.gz").exists(), reason="Fashion-MNIST is not installed")
def test_quickstart_builds_then_reuses_its_database(tmp_path):
    args = ["--db", str(tmp_path / "fashion.db"), "--train", "300", "--queries", "40"]

    first = run_python(QUICKSTART, *args)
    assert first.returncode == 0, first.stderr
    assert "Reusing" not in first.stdout
    assert re.search(r"^  train-\d{5}  \S", first.stdout, re.MULTILINE)
    accuracy = re.search(r"accuracy over 40 test images: ([\d.]+)%", accuracy_line(first.stdout))
    assert accuracy and float(accuracy.group(1)) > 50
    assert "Median search latency over 300 records: " in first.stdout

    second = run_python(QUICKSTART, *args)
    assert second.returncode == 0, second.stderr
    assert "Reusing the 300 images already in the database." in second.stdout
    assert accuracy_line(second.stdout) == accuracy_line(first.stdout)
