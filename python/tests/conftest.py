"""Shared helpers of the Python package's tests."""

import asyncio
import json
import math
import pathlib

import pytest

import tarvik

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
PENDULUM = EXAMPLES / "pendulum" / "orchestration.json"
PENDULUM_MODELS = EXAMPLES / "pendulum" / "models"


def readings(theta, theta_dot):
    """Pendulum readings for an angle from upright and an angular speed."""
    return {"cos_theta": math.cos(theta), "sin_theta": math.sin(theta), "theta_dot": theta_dot}


def write_json(folder, doc, name="orchestration.json"):
    path = pathlib.Path(folder) / name
    path.write_text(json.dumps(doc))
    return str(path)


class DrivenRunvane:
    """tarvik.Runvane with each coroutine run to completion on one private
    loop, so that a test can drive both facades the same way."""

    def __init__(self, *args, **kwargs):
        self.loop = asyncio.new_event_loop()
        self.runtime = tarvik.Runvane(*args, **kwargs)

    def __getattr__(self, name):
        attribute = getattr(self.runtime, name)
        if asyncio.iscoroutinefunction(attribute):
            return lambda *a, **k: self.loop.run_until_complete(attribute(*a, **k))
        return attribute

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()
        self.loop.close()


@pytest.fixture(params=["sync", "asyncio"])
def facade(request):
    """Makes a runtime of either facade."""
    return tarvik.SyncRunvane if request.param == "sync" else DrivenRunvane
