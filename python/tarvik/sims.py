"""The built-in simulators as Python environments.

``make("cartpole")`` and ``make("pendulum")`` (or ``CartPole()``,
``Pendulum()``) return objects with ``reset(seed=None) -> (obs, info)`` and
``step(action) -> (obs, reward, terminated, truncated, info)``. Observations
are dicts of named floats; ``info["action_mask"]`` is present when the
simulator restricts its actions. The same seed gives the same episode.
"""

from ._tarvik import Simulator, simulator_names


def make(name):
    """A new simulator by name (ValueError listing the names for any other)."""
    return Simulator(name)


def CartPole():
    return Simulator("cartpole")


def Pendulum():
    return Simulator("pendulum")


__all__ = ["Simulator", "make", "simulator_names", "CartPole", "Pendulum"]
