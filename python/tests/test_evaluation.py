"""Evaluation in Python simulators, against what tarvik-run reports for the
same orchestration, simulator and seeds."""

import asyncio
import json
import os
import subprocess

import pytest

import tarvik
from conftest import EXAMPLES, PENDULUM


def tarvik_run(*args):
    exe = os.environ.get("TARVIK_RUN_EXE")
    if not exe or not os.path.exists(exe):
        pytest.skip("tarvik-run is not built")
    return json.loads(subprocess.run([exe, *args, "--json"], check=True, capture_output=True, text=True).stdout)


@pytest.mark.parametrize("orchestration, sim, max_steps", [
    (PENDULUM, "pendulum", None),
    (EXAMPLES / "cartpole" / "orchestration.json", "cartpole", 60),
])
def test_episodes_match_the_command_line_host(orchestration, sim, max_steps):
    args = [str(orchestration), "--episodes", "3", "--seed", "4"] + (["--max-steps", str(max_steps)] if max_steps else [])
    expected = tarvik_run(*args)
    with tarvik.SyncRunvane() as runtime:
        runtime.load_orchestration(orchestration)
        runtime.package()
        report = tarvik.evaluate(runtime, tarvik.sims.make(sim), episodes=3, seed=4, max_steps=max_steps)
    for mine, theirs in zip(report.episodes, expected["episodes"], strict=True):
        assert (mine.seed, mine.length, mine.end, mine.acted) == \
            (theirs["seed"], theirs["length"], theirs["end"], theirs["acted"])
        assert mine.episode_return == pytest.approx(theirs["return"], rel=1e-12)
    summary = report.summary
    assert summary.acted == expected["summary"]["acted"] and summary.total_steps == expected["summary"]["total_steps"]
    assert 0 < summary.execute_us.p50 <= summary.execute_us.p99 <= summary.execute_us.max
    assert "Summary of 3 episodes" in str(report)


def test_the_asyncio_loop_gives_the_same_episodes():
    async def main():
        async with tarvik.Runvane() as runtime:
            await runtime.load_orchestration(PENDULUM)
            await runtime.package()
            return await tarvik.evaluate_async(runtime, tarvik.sims.Pendulum(), episodes=2, seed=1, max_steps=50)

    with tarvik.SyncRunvane() as runtime:
        runtime.load_orchestration(PENDULUM)
        runtime.package()
        expected = tarvik.evaluate(runtime, tarvik.sims.Pendulum(), episodes=2, seed=1, max_steps=50)
    report = asyncio.run(main())
    assert [(e.episode_return, e.length, e.end) for e in report.episodes] == \
        [(e.episode_return, e.length, e.end) for e in expected.episodes] == \
        [(e.episode_return, 50, "step_limit") for e in expected.episodes]


def test_a_failing_simulator_step_names_the_episode_and_step():
    class Broken:
        def reset(self, seed=None):
            return {"cos_theta": 1.0, "sin_theta": 0.0, "theta_dot": 0.0}, {}

        def step(self, action):
            raise ValueError("no such torque")

    with tarvik.SyncRunvane() as runtime:
        runtime.load_orchestration(PENDULUM)
        runtime.package()
        with pytest.raises(RuntimeError, match=r"^episode 1 \(seed 7\), step 1, simulator step: no such torque$") as raised:
            tarvik.evaluate(runtime, Broken(), episodes=1, seed=7)
    assert isinstance(raised.value.__cause__, ValueError)
