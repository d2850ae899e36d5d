"""Python implementations served by tarvik-host --python-module: the same
actions as in-process, and modules that cannot be served stop the host."""

import json
import os
import select
import subprocess
import sys
import time

import numpy as np
import pytest

import tarvik
from conftest import PENDULUM, PENDULUM_MODELS, readings, write_json

HOST = os.environ.get("TARVIK_HOST_EXE")
pytestmark = pytest.mark.skipif(not HOST, reason="tarvik-host with Python support is not built")

# A perceptor and a teacher that really suspend (async def), and a controller
# that acts on the perceptor's sensor, so that every hosted part shows in the
# actions.
RULES = """
import asyncio
import numpy as np
import tarvik

def value(obs, name):
    return float(np.asarray(obs[name]).reshape(-1)[0])

@tarvik.perceptor("host_energy")
class Energy:
    async def compute_sensors(self, sensors):
        await asyncio.sleep(0.001)
        energy = 0.5 * value(sensors, "theta_dot") ** 2 + 15.0 * value(sensors, "cos_theta")
        return {"energy": np.array([energy], dtype=np.float32)}

@tarvik.controller("host_pump")
class Pump:
    def compute_action(self, obs, previous_action):
        direction = value(obs, "theta_dot") or 1.0
        return np.array([np.clip((15.0 - value(obs, "energy")) * direction, -2.0, 2.0)], dtype=np.float32)

@tarvik.teacher("host_stabilize")
class Stabilize(tarvik.Teacher):
    def filtered_sensor_space(self):
        return ["sin_theta", "theta_dot"]

    async def transform_action(self, obs, action):
        await asyncio.sleep(0.001)
        return action * np.float32(0.5)
"""
STATES = [readings(theta, speed) for theta in (0.1, 0.4, 2.0, 3.0) for speed in (-1.5, 0.7)]


def pendulum(folder, remote):
    doc = json.loads(PENDULUM.read_text())
    doc["sensors"].append({"name": "energy", "space": {"type": "Box", "low": -100.0, "high": 100.0, "shape": [1]},
                           "source": {"perceptor": "energy"}})
    doc["perceptors"] = [{"name": "energy", "implementation": "host_energy", "sensors": ["energy"], "remote": remote}]
    agents = {agent["name"]: agent for agent in doc["agents"]}
    agents["swing_up"].update(controller="host_pump", remote=remote)
    agents["stabilize"].update(teacher="host_stabilize", checkpoint=str(PENDULUM_MODELS), remote=remote)
    return write_json(folder, doc, f"pendulum_{'remote' if remote else 'local'}.json")


class Host:
    """tarvik-host on a loopback port it picks, in `folder`, without
    PYTHONPATH: it finds the package of its own build by itself."""

    def __init__(self, folder, *args):
        env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
        self.process = subprocess.Popen([HOST, "--listen", "127.0.0.1:0", *args], cwd=folder, env=env,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.output = []

    def wait_for_line(self, prefix, timeout=30.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if select.select([self.process.stdout], [], [], 0.1)[0]:
                line = self.process.stdout.readline()
                if not line:
                    break
                self.output.append(line)
                if line.startswith(prefix):
                    return line[len(prefix):].strip()
        pytest.fail(f"no line starting with {prefix!r}; output so far:\n{''.join(self.output)}")

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
        try:
            status = self.process.wait(timeout=30)
            self.output.append(self.process.stdout.read())
            return status
        finally:
            self.process.kill()
            self.process.stdout.close()


def test_a_hosted_python_module_gives_the_in_process_actions(tmp_path):
    (tmp_path / "host_rules_py.py").write_text(RULES)
    host = Host(tmp_path, "--python-module", "host_rules_py")
    try:
        address = host.wait_for_line("tarvik-host: listening on ")
        served = "".join(host.output)
        for line in ("perceptor host_energy 1.0.0 from python class host_rules_py.Energy",
                     "controller host_pump 1.0.0 from python class host_rules_py.Pump",
                     "teacher host_stabilize 1.0.0 from python class host_rules_py.Stabilize"):
            assert line in served

        sys.path.insert(0, str(tmp_path))
        try:
            import host_rules_py  # noqa: F401  (registers the same classes here)
            with tarvik.SyncRunvane() as runtime:
                runtime.load_orchestration(pendulum(tmp_path, remote=False))
                runtime.package()
                expected = [runtime.execute(s) for s in STATES]
            with tarvik.SyncRunvane({"target": {"remote": {"address": address}}}) as runtime:
                runtime.load_orchestration(pendulum(tmp_path, remote=True))
                runtime.package()
                actions = [runtime.execute(s) for s in STATES]
        finally:
            sys.path.remove(str(tmp_path))
            sys.modules.pop("host_rules_py", None)
            for name in ("host_energy", "host_pump", "host_stabilize"):
                tarvik.unregister(name)
        for got, want in zip(actions, expected):
            np.testing.assert_array_equal(got, want)
        # Both children acted.
        assert len({np.asarray(a).tobytes() for a in expected}) == len(STATES)
    finally:
        assert host.stop() == 0, "".join(host.output)


@pytest.mark.parametrize("module, text, message", [
    ("no_such_module_here", None,
     "cannot import Python module 'no_such_module_here': ModuleNotFoundError: No module named 'no_such_module_here'"),
    ("broken_rules_py", "import tarvik\nRATE = 1 / 0\n",
     "cannot import Python module 'broken_rules_py': ZeroDivisionError: division by zero"),
    ("empty_rules_py", "import tarvik\n", "Python module 'empty_rules_py' registers no teacher, controller or perceptor"),
])
def test_a_module_that_cannot_be_served_stops_the_host(tmp_path, module, text, message):
    if text is not None:
        (tmp_path / f"{module}.py").write_text(text)
    host = Host(tmp_path, "--python-module", module)
    assert host.wait_for_line("tarvik-host: error: ").startswith(message)
    assert host.stop() == 1
    if text and "1 / 0" in text:  # the traceback points at the module's line
        assert f'{module}.py", line 2' in "".join(host.output)
