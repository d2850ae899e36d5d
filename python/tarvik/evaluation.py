"""Running an orchestration in a Python simulator, episode after episode.

``evaluate(runtime, env, episodes=5, seed=0, max_steps=None)`` drives a packaged
SyncRunvane in any environment with ``reset(seed=...) -> (obs, info)`` and
``step(action) -> (obs, reward, terminated, truncated, info)``, the way
tarvik-run drives the built-in simulators: episode i starts from seed
``seed + i``; each step passes ``info["action_mask"]`` (when there is one) and
the previous action; the processor tree is reset after every episode. It
reports, per episode, the return, the length, how it ended and how often each
agent acted (every level of the tree counts: an orchestrator counts each step
it handed on, and the chosen child counts it again), and over the run the
spread of returns, throughput and the latency of execute() (p50, p99, max, in
microseconds). ``evaluate_async`` does the same with a Runvane, awaiting each
step.

A step that fails is re-raised as RuntimeError "episode <n> (seed <s>), step
<k>, execute: <message>" (or "simulator step"), with the failure as its cause;
KeyboardInterrupt and cancellation pass through unchanged.
"""

import time
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import Dict, List, Optional

import numpy as np


@dataclass
class EpisodeResult:
    index: int                 # from 0
    seed: int
    episode_return: float
    length: int
    end: str                   # "terminated", "truncated" or "step_limit"
    acted: Dict[str, int] = field(default_factory=dict)


@dataclass
class Spread:
    mean: float
    min: float
    max: float


@dataclass
class Latency:
    p50: float
    p99: float
    max: float


@dataclass
class RunSummary:
    episodes: int
    returns: Spread
    mean_length: float
    total_steps: int
    wall_seconds: float        # the episode loop, resets included
    steps_per_second: float
    execute_us: Latency        # around each execute() call
    acted: Dict[str, int]      # summed over the episodes


@dataclass
class EvaluationReport:
    episodes: List[EpisodeResult]
    summary: RunSummary

    def __str__(self):
        s = self.summary
        lines = [f"episode {e.index + 1}  seed {e.seed}  return {e.episode_return:.2f}  length {e.length} "
                 f"({e.end})  acted: {_acted_text(e.acted)}" for e in self.episodes]
        lines += [
            f"Summary of {s.episodes} episode{'' if s.episodes == 1 else 's'}",
            f"  return      mean {s.returns.mean:.2f}  min {s.returns.min:.2f}  max {s.returns.max:.2f}",
            f"  length      mean {s.mean_length:.1f} steps",
            f"  steps       {s.total_steps} in {s.wall_seconds:.3f} s, {s.steps_per_second:.0f} steps/s",
            f"  execute     p50 {s.execute_us.p50:.1f} us  p99 {s.execute_us.p99:.1f} us  max {s.execute_us.max:.1f} us",
            f"  acted       {_acted_text(s.acted)}",
        ]
        return "\n".join(lines)


def _acted_text(acted):
    return ", ".join(f"{agent} {steps}" for agent, steps in acted.items())


class _Episodes:
    """The episode loop both drivers share. Iterating yields what the runtime
    must do next: (obs, sim_action_mask, previous_action) for a step, whose
    action goes back through answer(), or None for the end-of-episode reset."""

    def __init__(self, runtime, env, episodes, seed, max_steps):
        if episodes < 1:
            raise ValueError(f"episodes must be at least 1, got {episodes}")
        if max_steps is not None and max_steps < 1:
            raise ValueError(f"max_steps must be None or at least 1, got {max_steps}")
        self.core, self.env = runtime._runtime, env
        self.count, self.seed, self.max_steps = episodes, seed, max_steps
        self.results, self.latencies = [], []
        self.episode, self.action = None, None
        self.core.count_acting()
        self.started = time.perf_counter()

    def __iter__(self):
        for index in range(self.count):
            self.core.clear_acted()
            self.episode = episode = EpisodeResult(index, self.seed + index, 0.0, 0, "step_limit")
            obs, info = self.env.reset(seed=episode.seed)
            self.action, done = None, False
            while not done:
                yield obs, _mask(info), self.action
                try:
                    obs, reward, terminated, truncated, info = self.env.step(self.action)
                except Exception as error:
                    raise self._failed("simulator step", error) from error
                episode.episode_return += float(reward)
                episode.length += 1
                episode.end = "terminated" if terminated else "truncated" if truncated else "step_limit"
                done = terminated or truncated or (self.max_steps is not None and episode.length >= self.max_steps)
            episode.acted = dict(self.core.acted())
            self.results.append(episode)
            yield None

    @contextmanager
    def executing(self):
        """Times one execute() and names the step in its failure."""
        started = time.perf_counter_ns()
        try:
            yield
        except Exception as error:
            raise self._failed("execute", error) from error
        self.latencies.append((time.perf_counter_ns() - started) / 1000.0)

    def answer(self, action):
        self.action = action

    def _failed(self, what, error):
        e = self.episode
        return RuntimeError(f"episode {e.index + 1} (seed {e.seed}), step {e.length + 1}, {what}: {error}")

    def report(self):
        wall = time.perf_counter() - self.started
        returns = [e.episode_return for e in self.results]
        total = sum(e.length for e in self.results)
        acted = {}
        for e in self.results:
            for agent, steps in e.acted.items():
                acted[agent] = acted.get(agent, 0) + steps
        lat = np.asarray(self.latencies)
        summary = RunSummary(
            episodes=len(self.results),
            returns=Spread(float(np.mean(returns)), float(min(returns)), float(max(returns))),
            mean_length=total / len(self.results),
            total_steps=total,
            wall_seconds=wall,
            steps_per_second=total / wall if wall > 0 else 0.0,
            execute_us=Latency(float(np.percentile(lat, 50)), float(np.percentile(lat, 99)), float(lat.max())),
            acted=acted)
        return EvaluationReport(self.results, summary)


def _mask(info):
    return info.get("action_mask") if isinstance(info, dict) else None


def evaluate(runtime, env, episodes=5, seed=0, max_steps: Optional[int] = None):
    """Runs a packaged SyncRunvane in ``env``; see the module's description."""
    run = _Episodes(runtime, env, episodes, seed, max_steps)
    for request in run:
        if request is None:
            runtime.reset()
            continue
        obs, mask, previous = request
        with run.executing():
            run.answer(runtime.execute(obs, sim_action_mask=mask, previous_action=previous))
    return run.report()


async def evaluate_async(runtime, env, episodes=5, seed=0, max_steps: Optional[int] = None):
    """The same as evaluate, for a packaged Runvane."""
    run = _Episodes(runtime, env, episodes, seed, max_steps)
    for request in run:
        if request is None:
            await runtime.reset()
            continue
        obs, mask, previous = request
        with run.executing():
            run.answer(await runtime.execute(obs, sim_action_mask=mask, previous_action=previous))
    return run.report()
