"""The facade from Python, synchronously and from asyncio: every call, the
errors it raises, and closing with a network manager written in Python."""

import asyncio
import builtins
import math

import numpy as np
import pytest

import tarvik
from tarvik import _tarvik
from conftest import PENDULUM, readings

# Near the top the model-driven skill acts; low down the energy pump, whose
# torque at (3.0, -1.0) saturates at -2.
STATES = [(0.3, 0.5), (3.0, -1.0), (-0.1, 2.0)]


def test_every_call_works_the_same_through_both_facades(facade):
    with facade() as runtime:
        assert runtime.orchestration is None and runtime.agent_processor is None
        assert runtime.config == {"target": {"local": {"address": "127.0.0.1:1337"}}}
        runtime.load_orchestration(PENDULUM)
        assert runtime.orchestration.id == "pendulum" and runtime.orchestration.is_initialized
        runtime.package()
        assert "Conductrix" in repr(runtime.agent_processor)
        actions = [runtime.execute(readings(*s), previous_action=np.zeros(1, np.float32), explore=1) for s in STATES]
        runtime.reset()
        runtime.package(agent="stabilize")   # a skill on its own
        skill_action = runtime.execute(readings(*STATES[0]))
    for action in actions:
        assert isinstance(action, np.ndarray) and action.dtype == np.float32 and action.shape == (1,)
        assert not action.flags.writeable  # a view of the runtime's buffer
    assert actions[1][0] == -2.0
    np.testing.assert_array_equal(skill_action, actions[0])


def test_flat_readings_and_the_orchestration_object_are_accepted(facade):
    orchestration = tarvik.Orchestration.load(str(PENDULUM))
    assert orchestration.implementation_names == ["phase_controller", "energy_pump", "stabilize_teacher"]
    node = orchestration.get_node_by_name("swing_up")
    with facade() as runtime:
        runtime.load_orchestration(orchestration)
        runtime.package(orchestration, node)
        flat = np.array([math.cos(3.0), math.sin(3.0), -1.0])
        assert runtime.execute(flat)[0] == -2.0


@pytest.mark.parametrize("call, kind, message", [
    (lambda rt: rt.execute({}), RuntimeError, "No agent processor available. Call package() first."),
    (lambda rt: rt.reset(), RuntimeError, "No agent processor available. Call package() first."),
    (lambda rt: rt.package(), ValueError, "No orchestration provided and no orchestration loaded"),
    (lambda rt: rt.load_orchestration("/no/such.json"), FileNotFoundError,
     "orchestration file not found: /no/such.json"),
    (lambda rt: rt.load_orchestration(42), TypeError,
     "load_orchestration() needs an orchestration or a path to an orchestration file, got int"),
    (lambda rt: (rt.load_orchestration(PENDULUM), rt.package(agent="nope")), KeyError,
     f"no node named 'nope' in orchestration 'pendulum' ({PENDULUM})"),
])
def test_errors_keep_their_kind_and_message(facade, call, kind, message):
    with facade() as runtime:
        with pytest.raises(kind) as raised:
            call(runtime)
    assert raised.value.args[0] == message


def test_a_configuration_that_is_not_a_mapping_is_a_type_error(facade):
    with pytest.raises(TypeError, match="^config must be a mapping or None, got list$"):
        facade(config=[1])


@pytest.mark.parametrize("kind", ["ValueError", "TypeError", "KeyError", "IndexError", "RuntimeError",
                                  "FileNotFoundError", "NotImplementedError", "AttributeError", "OverflowError",
                                  "ImportError"])
def test_every_error_kind_becomes_the_python_builtin_with_its_cause(kind):
    with pytest.raises(getattr(builtins, kind)) as raised:
        _tarvik.raise_error(kind, "it went wrong")
    assert type(raised.value).__name__ == kind and raised.value.args == ("it went wrong",)
    with pytest.raises(RuntimeError) as wrapped:
        _tarvik.raise_error("RuntimeError", "factory failed", cause=kind)
    cause = wrapped.value.__cause__
    assert type(cause).__name__ == kind and cause.args == ("cause: factory failed",)


class Manager:
    """A network manager written in Python; stop_all may be a coroutine."""

    def __init__(self, asynchronous):
        self.asynchronous, self.calls = asynchronous, []

    def stop_all(self):
        self.calls.append("stop_all")
        if not self.asynchronous:
            return "not awaited"

        async def stopping():
            await asyncio.sleep(0)
            self.calls.append("stopped")
        return stopping()

    def stop_watchdogs(self):
        self.calls.append("stop_watchdogs")


@pytest.mark.parametrize("asynchronous, calls", [
    (False, ["stop_all", "stop_watchdogs"]),
    (True, ["stop_all", "stopped", "stop_watchdogs"]),
])
def test_close_awaits_an_awaitable_stop_all_before_stopping_watchdogs(facade, asynchronous, calls):
    manager = Manager(asynchronous)
    with facade(network_mgr=manager):
        pass
    assert manager.calls == calls


def test_a_network_manager_is_shared_between_runtimes():
    first = tarvik.SyncRunvane()
    second = tarvik.SyncRunvane(network_mgr=first.network_mgr)
    assert repr(second.network_mgr) == repr(first.network_mgr)
    with pytest.raises(TypeError, match="network_mgr must be None or a network manager"):
        tarvik.SyncRunvane(network_mgr=object())
