"""Teachers, controllers and perceptors written in Python, and their registry.

A class is registered under the name an orchestration file uses
(``register_teacher("name", Class)`` or the ``@teacher("name")`` decorator).
Every orchestration a tarvik runtime loads gets the registered classes whose
names its file uses; a file may also name the modules that register them
(``"imports": {"python": ["my_pkg.teachers"]}``), which are imported when the
orchestration initialises, from the file's folder first.

The base classes below document the operations and their defaults.
Subclassing them is optional: any class with methods of these names works,
and an operation a class leaves out (or inherits from these bases) costs no
call into Python. Each method may be plain or ``async def``.
"""

import importlib
import sys
import threading
import traceback
from typing import Any, Callable, NamedTuple


def _default(method):
    method.__tarvik_default__ = True
    return method


class Teacher:
    """Shapes what one agent sees and does."""

    @_default
    def filtered_sensor_space(self):
        """Names of the sensors the agent sees, in observation order; None or
        an empty list: all of the orchestration's sensors."""
        return None

    @_default
    def transform_sensors(self, obs, extra=None):
        """The processed observation (a dict) from the converted sensors."""
        return obs

    @_default
    def compute_action_mask(self, obs, previous_action):
        """A mask over the agent's actions (1 allows), or None."""
        return None

    @_default
    def transform_action(self, obs, action):
        """The action handed to the simulator (or a tuple whose element 1 is it)."""
        return action

    @_default
    def compute_reward(self, obs, action, sim_reward):
        return sim_reward

    @_default
    def compute_success_criteria(self, obs, action):
        return False

    @_default
    def compute_termination(self, obs, action):
        return False

    @_default
    def reset(self):
        """Called at the end of every episode."""


class Controller:
    """An agent whose decision is programmed; must define compute_action."""

    @_default
    def filtered_sensor_space(self):
        return None

    def compute_action(self, obs, previous_action):
        """The raw action (for an orchestrator: the chosen child's position)."""
        raise NotImplementedError(f"{type(self).__qualname__} must define compute_action(obs, previous_action)")

    @_default
    def reset(self):
        pass


class Perceptor:
    """Derives extra sensor values from the others."""

    @_default
    def compute_sensors(self, sensors):
        """A dict of derived sensor name -> value, given the sensors so far."""
        return {}

    @_default
    def reset(self):
        pass


class Registration(NamedTuple):
    name: str
    kind: str
    factory: Callable[[], Any]
    version: str
    origin: str
    module: str


_lock = threading.Lock()
_registrations = {}


def _describe(factory):
    module = getattr(factory, "__module__", None) or "__main__"
    qualname = getattr(factory, "__qualname__", None) or type(factory).__qualname__
    return module, qualname


def _register(kind, name, factory, version):
    if not isinstance(name, str) or not name:
        raise ValueError(f"a {kind} needs a non-empty name, got {name!r}")
    if not callable(factory):
        raise TypeError(f"{kind} '{name}' must be a class or a callable that makes instances, got {factory!r}")
    if not isinstance(version, str):
        raise TypeError(f"the version of {kind} '{name}' must be text, got {version!r}")
    if kind == "controller" and isinstance(factory, type):
        method = getattr(factory, "compute_action", None)
        if method is None or method is Controller.compute_action:
            raise TypeError(f"{factory.__qualname__} cannot be a controller: it defines no "
                            "compute_action(obs, previous_action)")
    module, qualname = _describe(factory)
    origin = f"python class {module}.{qualname}"
    with _lock:
        old = _registrations.get(name)
        # The same definition again (a re-run notebook cell, a reloaded
        # module) replaces the old one; anything else is a clash.
        if old is not None and (old.kind, old.module, _describe(old.factory)[1]) != (kind, module, qualname):
            raise ValueError(f"implementation '{name}' is registered twice: by {old.origin} and by {origin}")
        _registrations[name] = Registration(name, kind, factory, version, origin, module)
    return factory


def register_teacher(name, cls, version="1.0.0"):
    """Registers a teacher class (or factory) under ``name``; returns it."""
    return _register("teacher", name, cls, version)


def register_controller(name, cls, version="1.0.0"):
    """Registers a controller class (or factory) under ``name``; returns it."""
    return _register("controller", name, cls, version)


def register_perceptor(name, cls, version="1.0.0"):
    """Registers a perceptor class (or factory) under ``name``; returns it."""
    return _register("perceptor", name, cls, version)


def teacher(name, version="1.0.0"):
    """Class decorator: ``@tarvik.teacher("name")``."""
    return lambda cls: register_teacher(name, cls, version)


def controller(name, version="1.0.0"):
    """Class decorator: ``@tarvik.controller("name")``."""
    return lambda cls: register_controller(name, cls, version)


def perceptor(name, version="1.0.0"):
    """Class decorator: ``@tarvik.perceptor("name")``."""
    return lambda cls: register_perceptor(name, cls, version)


def unregister(name):
    """Removes a registration (KeyError when there is none). Orchestrations
    that already hold the class keep it."""
    with _lock:
        del _registrations[name]


def registered():
    """The registrations, by name."""
    with _lock:
        return dict(_registrations)


def _snapshot():
    with _lock:
        return [tuple(r) for r in _registrations.values()]


def _import_module(name, folder):
    """Imports a module an orchestration file names, from the file's folder
    first."""
    if name in sys.modules:
        return
    sys.path.insert(0, folder)
    try:
        importlib.import_module(name)
    finally:
        try:
            sys.path.remove(folder)
        except ValueError:
            pass


def _import_for_host(name):
    """Imports a module an implementation host serves; returns the names of
    the registrations it brought: those its import made, and those of the
    module or its submodules made earlier."""
    with _lock:
        before = dict(_registrations)
    importlib.import_module(name)
    with _lock:
        return [r.name for r in _registrations.values()
                if before.get(r.name) is not r or r.module == name or r.module.startswith(name + ".")]


def _import_failure_text(exc, name):
    """What went wrong importing module ``name`` for a host: the exception,
    then the frames of the code that raised it (none of the import
    machinery's, and none at all when ``name`` itself was not found)."""
    message = str(exc)
    text = f"{type(exc).__qualname__}: {message}" if message else type(exc).__qualname__
    if isinstance(exc, ModuleNotFoundError) and exc.name and (name == exc.name or name.startswith(exc.name + ".")):
        return text
    machinery = (importlib.__file__, __file__)
    frames = [frame for frame in traceback.extract_tb(exc.__traceback__)
              if not frame.filename.startswith("<frozen importlib") and frame.filename not in machinery]
    if frames:
        text += "\nTraceback (most recent call last):\n" + "".join(traceback.format_list(frames)).rstrip("\n")
    return text
