"""tarvik: the inference runtime for agent orchestrations, from Python.

    import tarvik

    with tarvik.SyncRunvane() as runtime:
        runtime.load_orchestration("orchestration.json")
        runtime.package()
        action = runtime.execute({"cos_theta": 1.0, "sin_theta": 0.0, "theta_dot": 0.0})

``Runvane`` offers the same operations as coroutines for asyncio hosts.
Teachers, controllers and perceptors may be Python classes registered with
``register_teacher``/``@teacher`` (and the controller and perceptor
equivalents). ``evaluate`` runs an orchestration in a simulator with the
reset()/step() interface; ``tarvik.sims`` holds the built-in ones.

Errors keep their kind and message: the runtime's ValueError, TypeError,
KeyError, ... are raised as the Python built-ins of the same name.
"""

from . import _registry, _tarvik, sims
from ._facade import Runvane, SyncRunvane
from ._registry import (Controller, Perceptor, Teacher, controller, perceptor, register_controller,
                        register_perceptor, register_teacher, registered, teacher, unregister)
from ._tarvik import Orchestration
from .evaluation import EvaluationReport, evaluate, evaluate_async

_tarvik.install_python_registry(_registry._snapshot, _registry._import_module)

__all__ = [
    "Runvane", "SyncRunvane", "Orchestration",
    "Teacher", "Controller", "Perceptor",
    "register_teacher", "register_controller", "register_perceptor",
    "teacher", "controller", "perceptor", "unregister", "registered",
    "evaluate", "evaluate_async", "EvaluationReport", "sims",
]
