"""What a Python host pays on top of the C++ step.

For the tiny and medium orchestrations of the C++ benchmark (an orchestrator
model over identical skill models, each skill with a teacher that fixes its
action mask), in one process and on one runtime:

  cpp          Runvane::execute awaited in a C++ coroutine (no Python per step)
  sync         tarvik.SyncRunvane.execute
  asyncio      await tarvik.Runvane.execute inside a running asyncio loop
  py_teacher1  sync, with the teacher written in Python (1 call per step)
  py_teacher3  sync, with a Python teacher that also passes sensors and
               actions through itself (3 calls per step)

The rows run interleaved, so that the load of a shared machine falls on all
of them alike: sync and cpp step by step on one runtime, asyncio step by step
with a C++ step taken inside the running loop, and the teacher rows in blocks
of 50 steps with sync (each runtime has its own copy of the models, which
must be in the caches). Each row is the median over repetitions of the
per-step p50 (in us), the Python rows without the cost of reading the clock;
each overhead is the median over repetitions of that repetition's difference
(for the teacher rows: to sync, per Python call).

    PYTHONPATH=build-bench/python /usr/bin/python3 python/bench/python_bench.py \\
        --models-tool build-bench/bin/tarvik-python-bench-models [--steps N] [--repetitions R] [--json FILE]
"""

import argparse
import asyncio
import gc
import json
import pathlib
import statistics
import subprocess
import tempfile
import time

import numpy as np

import tarvik

SIZES = {"tiny": dict(n_in=4, n_out=2, sensor_width=2), "medium": dict(n_in=200, n_out=16, sensor_width=20)}
GOAL_SYNC_US, GOAL_CALL_US = 3.0, 2.0


def orchestration(folder, size, teacher):
    """The C++ benchmark's scenario as a file: Box sensors (every fourth
    scaled, every fourth standardised), an orchestrator over n_out skills."""
    sensors = []
    for i in range(size["n_in"] // size["sensor_width"]):
        sensor = {"name": f"s{i}", "space": {"type": "Box", "low": -5.0, "high": 5.0, "shape": [size["sensor_width"]]}}
        if i % 4 == 0:
            sensor["normalization"] = {"type": "scale"}
        if i % 4 == 2:
            sensor["normalization"] = {"type": "standard", "mean": 0.5, "std": 2.0}
        sensors.append(sensor)
    skills = [f"skill{i}" for i in range(size["n_out"])]
    agents = [{"name": "top", "kind": "orchestrator", "children": skills, "checkpoint": "ckpt"}]
    agents += [{"name": s, "kind": "skill", "teacher": teacher, "checkpoint": "ckpt",
                "action_space": {"type": "Discrete", "n": size["n_out"]}} for s in skills]
    doc = {"id": f"bench-{folder.name}", "plugins": ["libtarvik_python_bench.so"], "sensors": sensors,
           "agents": agents, "top_agent": "top"}
    path = folder / f"{teacher}.json"
    path.write_text(json.dumps(doc))
    return path


def readings(size):
    return {f"s{i}": np.array([-4.0 + 0.37 * ((i + j) % 20) for j in range(size["sensor_width"])])
            for i in range(size["n_in"] // size["sensor_width"])}


def python_teachers(n_out):
    mask = np.ones(n_out, dtype=np.int8)
    mask[-1] = 0

    class MaskingTeacher:
        def compute_action_mask(self, obs, previous_action):
            return mask

    class PassingTeacher(MaskingTeacher):
        def transform_sensors(self, obs, extra=None):
            return obs

        def transform_action(self, obs, action):
            return action

    tarvik.register_teacher(f"py_bench_teacher1_{n_out}", MaskingTeacher)
    tarvik.register_teacher(f"py_bench_teacher3_{n_out}", PassingTeacher)


def clock_cost_ns(samples=20000):
    times = []
    for _ in range(samples):
        started = time.perf_counter_ns()
        times.append(time.perf_counter_ns() - started)
    return statistics.median(times)


def p50_us(samples_ns, clock_ns=0.0):
    return (statistics.median(samples_ns) - clock_ns) / 1000.0


def packaged(path, asynchronous=False):
    if asynchronous:
        runtime = tarvik.Runvane()
        loop = asyncio.new_event_loop()
        loop.run_until_complete(runtime.load_orchestration(path))
        loop.run_until_complete(runtime.package())
        return runtime, loop
    runtime = tarvik.SyncRunvane()
    runtime.load_orchestration(path)
    runtime.package()
    return runtime, None


def interleaved(steps, rows, block):
    """Blocks of `block` steps of each row in turn, so that the load of a
    shared machine falls on all rows alike. `rows` maps a name to a function
    giving one step's ns."""
    samples = {name: [] for name in rows}
    for _ in range(steps // block):
        for name, step in rows.items():
            samples[name].extend(step() for _ in range(block))
    return samples


async def interleaved_async(steps, runtime, obs):
    """Inside a running loop: a C++ step, then an awaited one, in turn."""
    cpp, awaited, clock = [], [], time.perf_counter_ns
    for _ in range(steps):
        cpp.append(runtime._runtime.time_cpp_execute(obs, 1)[0])
        started = clock()
        await runtime.execute(obs)
        awaited.append(clock() - started)
    return {"cpp_in_loop": cpp, "asyncio": awaited}


def timed(runtime, obs):
    execute, clock = runtime.execute, time.perf_counter_ns

    def step():
        started = clock()
        execute(obs)
        return clock() - started
    return step


def measure(folder, label, steps, repetitions, clock_ns):
    size = SIZES[label]
    python_teachers(size["n_out"])
    n = size["n_out"]
    cpp_teacher = orchestration(folder, size, f"bench_teacher_{n}")
    sync, _ = packaged(cpp_teacher)
    asyncio_runtime, loop = packaged(cpp_teacher, asynchronous=True)
    teacher1, _ = packaged(orchestration(folder, size, f"py_bench_teacher1_{n}"))
    teacher3, _ = packaged(orchestration(folder, size, f"py_bench_teacher3_{n}"))
    obs = readings(size)
    assert teacher1.execute(obs) == teacher3.execute(obs) == sync.execute(obs)

    cpp = sync._runtime.time_cpp_execute
    same_runtime = {"cpp": lambda: cpp(obs, 1)[0], "sync": timed(sync, obs)}
    # Other runtimes hold other copies of the models: blocks long enough to
    # have them in the caches, short enough to share the machine's moods.
    teachers = {"base": timed(sync, obs), "py_teacher1": timed(teacher1, obs), "py_teacher3": timed(teacher3, obs)}
    per_repetition = []
    for _ in range(repetitions):
        gc.collect()
        samples = interleaved(steps, same_runtime, 1)
        samples.update(interleaved(steps, teachers, 50))
        samples.update(loop.run_until_complete(interleaved_async(steps, asyncio_runtime, obs)))
        p50 = {name: p50_us(values, 0.0 if name.startswith("cpp") else clock_ns) for name, values in samples.items()}
        p50.update(sync_over_cpp=p50["sync"] - p50["cpp"], asyncio_over_cpp=p50["asyncio"] - p50["cpp_in_loop"],
                   per_python_call_1=p50["py_teacher1"] - p50["base"],
                   per_python_call_3=(p50["py_teacher3"] - p50["base"]) / 3)
        per_repetition.append(p50)
    loop.close()
    # Medians of each row and of each repetition's differences.
    return {name: statistics.median(r[name] for r in per_repetition) for name in per_repetition[0]}


def main():
    parser = argparse.ArgumentParser(description="Python rows of the benchmarks.")
    parser.add_argument("--models-tool", required=True, help="the tarvik-python-bench-models program")
    parser.add_argument("--steps", type=int, default=3000, help="steps per repetition and row")
    parser.add_argument("--repetitions", type=int, default=9)
    parser.add_argument("--json", help="also write the results to this file")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="tarvik-python-bench-") as tmp:
        subprocess.run([args.models_tool, tmp], check=True)
        clock_ns = clock_cost_ns()
        results = {label: measure(pathlib.Path(tmp) / label, label, args.steps, args.repetitions, clock_ns)
                   for label in SIZES}

    print(f"Python rows (p50 per step in us; median of {args.repetitions} repetitions of {args.steps} steps; "
          f"clock read {clock_ns:.0f} ns, taken out)")
    print("| size | C++ execute | sync | sync - C++ | asyncio | asyncio - C++ | Python teacher, 1 call | per call "
          "| 3 calls | per call |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for label, r in results.items():
        print(f"| {label} | {r['cpp']:.2f} | {r['sync']:.2f} | {r['sync_over_cpp']:+.2f} | {r['asyncio']:.2f} | "
              f"{r['asyncio_over_cpp']:+.2f} | {r['py_teacher1']:.2f} | {r['per_python_call_1']:+.2f} | "
              f"{r['py_teacher3']:.2f} | {r['per_python_call_3']:+.2f} |")
    worst_sync = max(r["sync_over_cpp"] for r in results.values())
    worst_call = max(max(r["per_python_call_1"], r["per_python_call_3"]) for r in results.values())
    print(f"Goal: a synchronous Python step adds at most {GOAL_SYNC_US} us: "
          f"{'met' if worst_sync <= GOAL_SYNC_US else 'MISSED'} (worst {worst_sync:+.2f} us)")
    print(f"Goal: a Python teacher adds at most {GOAL_CALL_US} us per call: "
          f"{'met' if worst_call <= GOAL_CALL_US else 'MISSED'} (worst {worst_call:+.2f} us)")
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(results, indent=2))


if __name__ == "__main__":
    main()
