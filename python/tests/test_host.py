"""tarvik-host --python-module: modules it cannot serve stop the host with
the reason (tests/remote_programs_test.cpp checks what it serves to C++);
the package's facades stepping a host whose calls outlast the transport's
inline wait."""

import asyncio
import json
import math
import os
import select
import signal
import subprocess
import threading
import time

import numpy as np
import pytest

import tarvik
from conftest import PENDULUM, PENDULUM_MODELS, DrivenRunvane, readings, write_json

HOST = os.environ.get("TARVIK_HOST_EXE")
pytestmark = pytest.mark.skipif(not HOST, reason="tarvik-host with Python support is not built")


class Host:
    """tarvik-host on a loopback port it picks, in `folder`, with only
    `folder` on PYTHONPATH: it finds the package of its own build by itself."""

    def __init__(self, folder, *args):
        env = dict(os.environ, PYTHONPATH=str(folder))
        self.process = subprocess.Popen([HOST, "--listen", "127.0.0.1:0", *args], cwd=folder, env=env,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, bufsize=0)
        self.output = []
        self.unread = b""

    def wait_for_line(self, prefix, timeout=30.0):
        # Unbuffered reads: a line already in a reader's buffer would not
        # wake select().
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            while b"\n" in self.unread:
                line, self.unread = self.unread.split(b"\n", 1)
                line = line.decode() + "\n"
                self.output.append(line)
                if line.startswith(prefix):
                    return line[len(prefix):].strip()
            if select.select([self.process.stdout], [], [], 0.1)[0]:
                chunk = os.read(self.process.stdout.fileno(), 4096)
                if not chunk:
                    break
                self.unread += chunk
        pytest.fail(f"no line starting with {prefix!r}; output so far:\n{''.join(self.output)}")

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
        try:
            status = self.process.wait(timeout=30)
            self.output.append((self.unread + self.process.stdout.read()).decode(errors="replace"))
            return status
        finally:
            self.process.kill()
            self.process.stdout.close()


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


# Every hosted call takes about 20 ms, far beyond the transport's inline
# wait, so each one parks the step until the answer comes from the
# transport's thread: an async def that sleeps, and a plain method that blocks.
SLOW_RULES = """
import asyncio, time
import numpy as np
import tarvik

def value(obs, name):
    return float(np.asarray(obs[name]).reshape(-1)[0])

@tarvik.perceptor("slow_energy")
class Energy:
    async def compute_sensors(self, sensors):
        # A spinning pendulum (STALLING) holds the call for 1.5 s.
        await asyncio.sleep(1.5 if value(sensors, "theta_dot") > 5 else 0.02)
        energy = 0.5 * value(sensors, "theta_dot") ** 2 + 15.0 * value(sensors, "cos_theta")
        return {"energy": np.array([energy], dtype=np.float32)}

@tarvik.controller("slow_pump")
class Pump:
    def compute_action(self, obs, previous_action):
        direction = value(obs, "theta_dot") or 1.0
        return np.array([np.clip((15.0 - value(obs, "energy")) * direction, -2.0, 2.0)], dtype=np.float32)

@tarvik.teacher("slow_stabilize")
class Stabilize(tarvik.Teacher):
    def filtered_sensor_space(self):
        return ["sin_theta", "theta_dot"]

    def transform_action(self, obs, action):
        time.sleep(0.02)
        return action * np.float32(0.5)
"""
SLOW_NAMES = ["slow_energy", "slow_pump", "slow_stabilize"]
SLOW_STATES = [readings(theta, speed) for theta in (0.1, 0.4, 2.0, 3.0) for speed in (-1.5, 0.7)]
STALLING = readings(0.4, 9.0)


def slow_pendulum(folder, remote):
    """The pendulum example with the slow rules: on the host, or imported."""
    doc = json.loads(PENDULUM.read_text())
    doc["sensors"].append({"name": "energy", "space": {"type": "Box", "low": -100.0, "high": 100.0, "shape": [1]},
                           "source": {"perceptor": "energy"}})
    doc["perceptors"] = [{"name": "energy", "implementation": "slow_energy", "sensors": ["energy"], "remote": remote}]
    doc["agents"][1].update(controller="slow_pump", remote=remote)
    doc["agents"][2].update(teacher="slow_stabilize", remote=remote, checkpoint=str(PENDULUM_MODELS))
    if not remote:
        doc["imports"] = {"python": ["slow_rules_py"]}
    return write_json(folder, doc, "remote.json" if remote else "local.json")


@pytest.fixture(scope="module")
def slow_host(tmp_path_factory):
    """A host serving the slow rules, and the actions of the same classes in
    this process."""
    folder = tmp_path_factory.mktemp("slow")
    (folder / "slow_rules_py.py").write_text(SLOW_RULES)
    host = Host(folder, "--python-module", "slow_rules_py")
    try:
        address = host.wait_for_line("tarvik-host: listening on ")
        with tarvik.SyncRunvane() as local:
            local.load_orchestration(slow_pendulum(folder, False))
            local.package()
            expected = [local.execute(state).copy() for state in SLOW_STATES]
        yield folder, {"target": {"remote": {"address": address, "timeout": 10}}}, expected
    finally:
        for name in SLOW_NAMES:
            tarvik.unregister(name)
        assert host.stop() == 0


@pytest.mark.parametrize("facade", [tarvik.SyncRunvane, DrivenRunvane], ids=["sync", "asyncio"])
def test_calls_outlasting_the_inline_wait_give_the_in_process_actions(slow_host, facade):
    folder, config, expected = slow_host
    started = time.monotonic()
    with facade(config) as runtime:
        runtime.load_orchestration(slow_pendulum(folder, True))
        runtime.package()
        actions = [runtime.execute(state) for state in SLOW_STATES]
    for got, want in zip(actions, expected):
        np.testing.assert_array_equal(got, want)
    assert time.monotonic() - started < 60


def test_asyncio_runs_other_tasks_while_a_remote_call_waits_and_can_cancel_it(slow_host):
    folder, config, expected = slow_host

    async def main():
        async with tarvik.Runvane(config) as runtime:
            await runtime.load_orchestration(slow_pendulum(folder, True))
            await runtime.package()
            ticks = 0

            async def ticker():
                nonlocal ticks
                while True:
                    await asyncio.sleep(0.002)
                    ticks += 1

            ticking = asyncio.create_task(ticker())
            action = await runtime.execute(SLOW_STATES[0])
            ticking.cancel()
            step = asyncio.create_task(runtime.execute(SLOW_STATES[1]))
            await asyncio.sleep(0.005)  # the step now waits for the host's perceptor
            step.cancel()
            with pytest.raises(asyncio.CancelledError):
                await step
            return ticks, action, await runtime.execute(SLOW_STATES[2])

    ticks, first, third = asyncio.run(asyncio.wait_for(main(), 60))
    assert ticks >= 3  # the loop ran while the ~40 ms step waited for the host
    np.testing.assert_array_equal(first, expected[0])
    np.testing.assert_array_equal(third, expected[2])


def test_ctrl_c_stops_a_synchronous_step_waiting_for_a_remote_call(slow_host):
    folder, config, expected = slow_host
    with tarvik.SyncRunvane(config) as runtime:
        runtime.load_orchestration(slow_pendulum(folder, True))
        runtime.package()
        timer = threading.Timer(0.005, signal.raise_signal, [signal.SIGINT])
        timer.start()
        try:
            with pytest.raises(KeyboardInterrupt):
                runtime.execute(SLOW_STATES[1])
        finally:
            timer.join()
        np.testing.assert_array_equal(runtime.execute(SLOW_STATES[2]), expected[2])


@pytest.mark.parametrize("facade", [tarvik.SyncRunvane, DrivenRunvane], ids=["sync", "asyncio"])
def test_a_host_holding_a_call_past_the_timeout_fails_the_step_in_time(slow_host, facade):
    folder, config, expected = slow_host
    address = config["target"]["remote"]["address"]
    with facade({"target": {"remote": {"address": address, "timeout": 0.3}}}) as runtime:
        runtime.load_orchestration(slow_pendulum(folder, True))
        runtime.package()
        started = time.monotonic()
        with pytest.raises(RuntimeError, match=rf"compute_sensors\(\) at {address} got no answer within 0.3 s"):
            runtime.execute(STALLING)
        assert time.monotonic() - started < 1.2  # the host holds the call for 1.5 s


def test_cancelling_a_step_cancels_its_remote_call(slow_host):
    folder, config, expected = slow_host

    async def main():
        async with tarvik.Runvane(config) as runtime:
            await runtime.load_orchestration(slow_pendulum(folder, True))
            await runtime.package()
            step = asyncio.create_task(runtime.execute(STALLING))
            await asyncio.sleep(0.05)  # the step now waits for the host's perceptor
            step.cancel()
            with pytest.raises(asyncio.CancelledError):
                await step
            # The host finishes the abandoned call before this one (its
            # object takes one call at a time); the client's call went.
            return await runtime.execute(SLOW_STATES[2])

    np.testing.assert_array_equal(asyncio.run(asyncio.wait_for(main(), 60)), expected[2])
