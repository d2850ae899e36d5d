"""Teachers, controllers and perceptors written in Python: plain and async def
methods, mixed with C++ plugins, their failures, cancellation mid-call, and
modules named by orchestration files."""

import asyncio
import collections
import json
import signal
import traceback

import numpy as np
import pytest

import tarvik
from conftest import PENDULUM, PENDULUM_MODELS, readings, write_json

NEAR_TOP, LOW_DOWN = readings(0.3, 0.5), readings(3.0, -1.0)
STATES = [NEAR_TOP, LOW_DOWN, readings(-0.1, 2.0)]
CALLS = collections.deque(maxlen=1000)  # bounded: the reference test makes 100000 steps


def value(obs, name):
    return float(np.asarray(obs[name]).reshape(-1)[0])


def swing_energy(obs):
    return 0.5 * value(obs, "theta_dot") ** 2 + 15.0 * value(obs, "cos_theta")


# The pendulum example's C++ rules, in Python.
class Phase(tarvik.Controller):
    def compute_action(self, obs, previous_action):
        CALLS.append(("phase", sorted(obs)))
        return 1 if value(obs, "cos_theta") > 0.85 else 0


class Pump:  # no base class: the methods are what counts
    def compute_action(self, obs, previous_action):
        direction = value(obs, "theta_dot") or 1.0
        return np.array([np.clip((15.0 - swing_energy(obs)) * direction, -2.0, 2.0)], dtype=np.float32)


class StabilizeTeacher(tarvik.Teacher):
    def filtered_sensor_space(self):
        return ["sin_theta", "theta_dot"]

    def transform_action(self, obs, action):
        CALLS.append(("teacher", action.dtype.name))
        return action


class Energy(tarvik.Perceptor):
    def compute_sensors(self, sensors):
        return {"energy": np.array([swing_energy(sensors)], dtype=np.float32)}

    def reset(self):
        CALLS.append(("perceptor reset",))


def asynchronous(cls):
    """The same class with every method an async def that really suspends."""
    def wrap(method):
        async def wrapped(self, *args):
            await asyncio.sleep(0)
            return method(self, *args)
        return wrapped
    methods = {name: wrap(m) for name, m in vars(cls).items() if callable(m) and not name.startswith("_")}
    return type(cls.__name__, (cls,), dict(methods, __qualname__=cls.__qualname__))


@pytest.fixture(params=["plain", "async def"])
def registered(request):
    """Registers the Python rules (as plain or async def methods) for one test."""
    wrap = asynchronous if request.param == "async def" else (lambda cls: cls)
    CALLS.clear()
    names = {"py_phase": (tarvik.register_controller, Phase), "py_pump": (tarvik.register_controller, Pump),
             "py_stabilize": (tarvik.register_teacher, StabilizeTeacher),
             "py_energy": (tarvik.register_perceptor, Energy)}
    for name, (register, cls) in names.items():
        register(name, wrap(cls))
    yield
    for name in names:
        tarvik.unregister(name)


def python_pendulum(folder, swing_up="py_pump", teacher="py_stabilize", **extra):
    """The pendulum example with Python implementations and a perceptor."""
    doc = json.loads(PENDULUM.read_text())
    doc["id"] = "python_pendulum"
    doc["sensors"].append({"name": "energy", "space": {"type": "Box", "low": -100.0, "high": 100.0, "shape": [1]},
                           "source": {"perceptor": "energy"}})
    doc["perceptors"] = [{"name": "energy", "implementation": "py_energy", "sensors": ["energy"]}]
    agents = {agent["name"]: agent for agent in doc["agents"]}
    agents["phase"]["controller"] = "py_phase"
    agents["swing_up"]["controller"] = swing_up
    agents["stabilize"].update(teacher=teacher, checkpoint=str(PENDULUM_MODELS))
    doc.update(extra)
    return write_json(folder, doc)


def cpp_actions():
    with tarvik.SyncRunvane() as runtime:
        runtime.load_orchestration(PENDULUM)
        runtime.package()
        return [runtime.execute(s) for s in STATES]


@pytest.mark.parametrize("swing_up", ["py_pump", "energy_pump"])  # Python, or the C++ plugin's
def test_python_implementations_act_like_their_cpp_originals(tmp_path, facade, registered, swing_up):
    expected = cpp_actions()
    with facade() as runtime:
        runtime.load_orchestration(python_pendulum(tmp_path, swing_up))
        runtime.package()
        actions = [runtime.execute(s) for s in STATES]
        runtime.reset()
    for got, want in zip(actions, expected):
        np.testing.assert_array_equal(got, want)
    assert CALLS.count(("phase", ["cos_theta", "energy", "sin_theta", "theta_dot"])) == 3
    assert CALLS.count(("teacher", "float32")) == 2
    assert ("perceptor reset",) in CALLS


def test_steps_interleave_while_async_teachers_wait(tmp_path):
    class SlowTeacher(StabilizeTeacher):
        async def transform_action(self, obs, action):
            await asyncio.sleep(0.05 if value(obs, "sin_theta") > 0 else 0.01)
            CALLS.append(("done", value(obs, "sin_theta") > 0))
            return action

    tarvik.register_teacher("py_slow", SlowTeacher)
    for name, cls in [("py_phase", Phase), ("py_pump", Pump)]:
        tarvik.register_controller(name, cls)
    tarvik.register_perceptor("py_energy", Energy)
    CALLS.clear()
    ticks = []

    async def ticking():
        while True:
            ticks.append(1)
            await asyncio.sleep(0.001)

    async def main():
        async with tarvik.Runvane() as runtime:
            await runtime.load_orchestration(python_pendulum(tmp_path, teacher="py_slow"))
            await runtime.package()
            ticker = asyncio.create_task(ticking())
            first, second = await asyncio.gather(runtime.execute(STATES[0]), runtime.execute(STATES[2]))
            ticker.cancel()
            return [first, second]

    try:
        actions = asyncio.run(main())
    finally:
        for name in ["py_slow", "py_phase", "py_pump", "py_energy"]:
            tarvik.unregister(name)
    expected = cpp_actions()
    np.testing.assert_array_equal(actions[0], expected[0])
    np.testing.assert_array_equal(actions[1], expected[2])
    assert [c for c in CALLS if c[0] == "done"] == [("done", False), ("done", True)]  # the shorter wait ended first
    assert len(ticks) > 5


class Faulty(StabilizeTeacher):
    def transform_action(self, obs, action):
        raise ValueError("the torque is out of reach")


class WrongSensors(StabilizeTeacher):
    def transform_sensors(self, obs, extra=None):
        return list(obs)


class WrongAction(Pump):
    def compute_action(self, obs, previous_action):
        return object()


@pytest.mark.parametrize("teacher, pump, state, kind, message", [
    (Faulty, Pump, NEAR_TOP, ValueError, "the torque is out of reach"),
    (WrongSensors, Pump, NEAR_TOP, TypeError,
     "WrongSensors.transform_sensors() returned list; expected a dict of sensor values"),
    (StabilizeTeacher, WrongAction, LOW_DOWN, TypeError,
     "WrongAction.compute_action() result: expected a number, a string, a list, a tuple, a dict, a numpy array "
     "or None, got object"),
])
@pytest.mark.parametrize("wrap", [lambda cls: cls, asynchronous])
def test_failures_of_python_code_reach_the_host_as_raised(tmp_path, facade, teacher, pump, state, kind, message,
                                                           wrap):
    tarvik.register_teacher("py_stabilize", wrap(teacher))
    tarvik.register_controller("py_pump", wrap(pump))
    tarvik.register_controller("py_phase", Phase)
    tarvik.register_perceptor("py_energy", Energy)
    try:
        with facade() as runtime:
            runtime.load_orchestration(python_pendulum(tmp_path))
            runtime.package()
            with pytest.raises(kind) as raised:
                runtime.execute(state)
            assert raised.value.args[0] == message
            if kind is ValueError:  # the traceback reaches into the teacher
                assert "transform_action" in [frame.name for frame in traceback.extract_tb(raised.tb)]
            runtime.execute(LOW_DOWN if state is NEAR_TOP else NEAR_TOP)  # still usable
    finally:
        for name in ["py_stabilize", "py_pump", "py_phase", "py_energy"]:
            tarvik.unregister(name)


@pytest.fixture
def blocking_teacher():
    """A teacher whose async transform_action waits until cancelled; it
    records how it started and ended."""
    events = []

    class Blocking(StabilizeTeacher):
        async def transform_action(self, obs, action):
            events.append("started")
            try:
                await asyncio.sleep(60)
            except asyncio.CancelledError:
                events.append("cancelled")
                raise
            return action

    tarvik.register_teacher("py_blocking", Blocking)
    yield events
    tarvik.unregister("py_blocking")


def blocking_pendulum(folder):
    """The pendulum example (C++ controllers) with the blocking teacher."""
    doc = json.loads(PENDULUM.read_text())
    doc["agents"][2].update(teacher="py_blocking", checkpoint=str(PENDULUM_MODELS))
    return write_json(folder, doc)


def test_cancelling_a_step_mid_teacher_call_stops_it_cleanly(tmp_path, blocking_teacher):
    async def main():
        async with tarvik.Runvane() as runtime:
            await runtime.load_orchestration(blocking_pendulum(tmp_path))
            await runtime.package()
            step = asyncio.create_task(runtime.execute(NEAR_TOP))
            while not blocking_teacher:
                await asyncio.sleep(0)
            step.cancel()
            with pytest.raises(asyncio.CancelledError):
                await step
            assert blocking_teacher == ["started", "cancelled"]
            return await runtime.execute(LOW_DOWN)

    assert asyncio.run(asyncio.wait_for(main(), 30))[0] == -2.0


def test_ctrl_c_stops_a_synchronous_step_waiting_on_an_async_teacher(tmp_path, blocking_teacher):
    with tarvik.SyncRunvane() as runtime:
        runtime.load_orchestration(blocking_pendulum(tmp_path))
        runtime.package()
        loop_holder = runtime._loops
        original = loop_holder.wait

        def interrupted_wait(pending):
            loop_holder.loop.call_later(0.05, signal.raise_signal, signal.SIGINT)
            return original(pending)

        loop_holder.wait = interrupted_wait
        with pytest.raises(KeyboardInterrupt):
            runtime.execute(NEAR_TOP)
        assert blocking_teacher == ["started", "cancelled"]
        assert runtime.execute(LOW_DOWN)[0] == -2.0


def test_sync_facade_refuses_async_methods_inside_a_running_loop(tmp_path, blocking_teacher):
    async def main():
        with tarvik.SyncRunvane() as runtime:
            runtime.load_orchestration(blocking_pendulum(tmp_path))
            runtime.package()
            assert runtime.execute(LOW_DOWN)[0] == -2.0  # no Python awaitable: fine inside a loop
            with pytest.raises(RuntimeError, match="^SyncRunvane cannot run async def methods while an asyncio"):
                runtime.execute(NEAR_TOP)

    asyncio.run(main())
    assert blocking_teacher == []


def test_an_orchestration_file_imports_its_python_modules(tmp_path):
    (tmp_path / "pendulum_rules_py.py").write_text(
        "import tarvik\n"
        "@tarvik.teacher('py_imported')\n"
        "class Imported(tarvik.Teacher):\n"
        "    def filtered_sensor_space(self):\n"
        "        return ['sin_theta', 'theta_dot']\n")
    doc = json.loads(PENDULUM.read_text())
    doc["imports"] = {"python": ["pendulum_rules_py"]}
    doc["agents"][2].update(teacher="py_imported", checkpoint=str(PENDULUM_MODELS))
    try:
        with tarvik.SyncRunvane() as runtime:
            runtime.load_orchestration(write_json(tmp_path, doc))
            runtime.package()
            np.testing.assert_array_equal(runtime.execute(NEAR_TOP), cpp_actions()[0])
    finally:
        tarvik.unregister("py_imported")


@pytest.mark.parametrize("imports, cause", [
    ({"python": ["no_such_module_here"]}, ModuleNotFoundError),
    ({"lua": ["rules"]}, None),
])
def test_modules_that_cannot_be_imported_fail_the_load(tmp_path, imports, cause):
    doc = json.loads(PENDULUM.read_text())
    doc["imports"] = imports
    path = write_json(tmp_path, doc)
    language, (module,) = next(iter(imports.items()))
    with pytest.raises(ImportError) as raised:
        tarvik.SyncRunvane().load_orchestration(path)
    assert raised.value.args[0].startswith(f"{path}: $.imports.{language}[0]: cannot import {language} module "
                                           f"'{module}': ")
    assert type(raised.value.__cause__) is (cause or type(None))


def test_registration_clashes_are_errors_naming_both():
    class Other:
        def compute_action(self, obs, previous_action):
            return 0

    tarvik.register_controller("energy_pump", Other)  # the pendulum plugin's name
    try:
        with pytest.raises(ValueError, match=r"^implementation 'energy_pump' is registered twice: by python class "
                                             r"test_implementations\..*Other and by .*libtarvik_example_pendulum\.so$"):
            tarvik.SyncRunvane().load_orchestration(PENDULUM)
        with pytest.raises(ValueError, match="registered twice"):
            tarvik.register_teacher("energy_pump", StabilizeTeacher)
    finally:
        tarvik.unregister("energy_pump")
    with pytest.raises(TypeError, match="cannot be a controller: it defines no compute_action"):
        tarvik.register_controller("lazy", tarvik.Controller)


def test_an_observation_dict_is_reused_only_while_unchanged(tmp_path):
    seen = []

    class Watching(StabilizeTeacher):
        def transform_sensors(self, obs, extra=None):
            seen.append(obs)
            return obs

        def compute_action_mask(self, obs, previous_action):
            seen.append(obs)
            obs["scribbled"] = True  # a change of the dict must not reach the next call
            return None

        def transform_action(self, obs, action):
            seen.append(obs)
            return action

    tarvik.register_teacher("py_watching", Watching)
    try:
        doc = json.loads(PENDULUM.read_text())
        doc["agents"][2].update(teacher="py_watching", checkpoint=str(PENDULUM_MODELS))
        with tarvik.SyncRunvane() as runtime:
            runtime.load_orchestration(write_json(tmp_path, doc))
            runtime.package()
            np.testing.assert_array_equal(runtime.execute(NEAR_TOP), cpp_actions()[0])
    finally:
        tarvik.unregister("py_watching")
    given, masked, acted = seen
    assert masked is given and acted is not given
    assert list(given) == list(acted) + ["scribbled"]
