"""The GIL and threads (runtimes on two threads at once), and references:
nothing the boundary touches is kept alive or freed too early."""

import os
import sys
import threading

import numpy as np
import pytest

import tarvik
from test_implementations import STATES, Energy, Phase, Pump, StabilizeTeacher, asynchronous, python_pendulum


@pytest.fixture
def python_rules():
    """The Python rules; the teacher's methods are async def, so steps near
    the top park on each thread's private asyncio loop."""
    names = {"py_phase": (tarvik.register_controller, Phase), "py_pump": (tarvik.register_controller, Pump),
             "py_stabilize": (tarvik.register_teacher, asynchronous(StabilizeTeacher)),
             "py_energy": (tarvik.register_perceptor, Energy)}
    for name, (register, cls) in names.items():
        register(name, cls)
    yield
    for name in names:
        tarvik.unregister(name)


def run_steps(path, steps):
    with tarvik.SyncRunvane() as runtime:
        runtime.load_orchestration(path)
        runtime.package()
        return [runtime.execute(STATES[i % len(STATES)]) for i in range(steps)]


def test_two_threads_each_drive_their_own_runtime(tmp_path, python_rules):
    path = python_pendulum(tmp_path)
    expected = run_steps(path, 300)
    results, errors = {}, []

    def work(name):
        try:
            results[name] = run_steps(path, 300)
        except BaseException as error:  # reported below, on the main thread
            errors.append(error)

    threads = [threading.Thread(target=work, args=(n,)) for n in ("a", "b")]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert not errors and sorted(results) == ["a", "b"]
    for actions in results.values():
        np.testing.assert_array_equal(np.concatenate(actions), np.concatenate(expected))


def test_a_runtime_refuses_a_second_thread_while_one_drives_it(tmp_path):
    entered, release = threading.Event(), threading.Event()

    class Waiting(StabilizeTeacher):
        def transform_action(self, obs, action):
            entered.set()
            release.wait(30)
            return action

    tarvik.register_teacher("py_waiting", Waiting)
    tarvik.register_controller("py_phase", Phase)
    tarvik.register_perceptor("py_energy", Energy)
    try:
        runtime = tarvik.SyncRunvane()
        runtime.load_orchestration(python_pendulum(tmp_path, swing_up="energy_pump", teacher="py_waiting"))
        runtime.package()
        worker = threading.Thread(target=runtime.execute, args=(STATES[0],))
        worker.start()
        assert entered.wait(30)
        with pytest.raises(RuntimeError, match="^a runtime is in use by another thread"):
            runtime.execute(STATES[1])
        release.set()
        worker.join(30)
    finally:
        for name in ["py_waiting", "py_phase", "py_energy"]:
            tarvik.unregister(name)


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(os.environ.get("TARVIK_SANITIZED") == "1",
                    reason="the sanitizer's quarantine grows the resident size by design")
def test_resident_size_stays_flat_over_100000_steps(tmp_path):
    for name, register, cls in [("py_phase", tarvik.register_controller, Phase),
                                ("py_pump", tarvik.register_controller, Pump),
                                ("py_stabilize", tarvik.register_teacher, asynchronous(StabilizeTeacher)),
                                ("py_energy", tarvik.register_perceptor, Energy)]:
        register(name, cls)  # the teacher parks two steps in three on the asyncio bridge
    try:
        theta_dot = np.array([0.5])
        with tarvik.SyncRunvane() as runtime:
            runtime.load_orchestration(python_pendulum(tmp_path))
            runtime.package()
            states = [dict(s, theta_dot=theta_dot) for s in STATES]
            references = sys.getrefcount(theta_dot)
            for i in range(20_000):
                runtime.execute(states[i % 3], previous_action=theta_dot)
            before = resident_bytes()
            for i in range(80_000):
                runtime.execute(states[i % 3], previous_action=theta_dot)
            grown = resident_bytes() - before
            assert sys.getrefcount(theta_dot) == references
    finally:
        for name in ["py_phase", "py_pump", "py_stabilize", "py_energy"]:
            tarvik.unregister(name)
    assert grown < 2 * 1024 * 1024, f"resident size grew by {grown} bytes over 80000 steps"
