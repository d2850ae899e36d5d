"""The Python example runs from its documented command line and scores what
the C++ version of the same orchestration scores."""

import os
import re
import subprocess
import sys

from conftest import EXAMPLES, PENDULUM
from test_evaluation import tarvik_run


def test_the_pendulum_example_prints_the_returns_of_the_cpp_orchestration():
    script = EXAMPLES / "python" / "pendulum.py"
    output = subprocess.run([sys.executable, str(script), "--episodes", "3", "--seed", "2"], check=True,
                            capture_output=True, text=True, env=dict(os.environ)).stdout
    returns = [float(r) for r in re.findall(r"^episode \d+  seed \d+  return (-?[\d.]+)", output, re.M)]
    expected = tarvik_run(str(PENDULUM), "--episodes", "3", "--seed", "2")
    assert returns == [round(e["return"], 2) for e in expected["episodes"]]
    assert "Summary of 3 episodes" in output
