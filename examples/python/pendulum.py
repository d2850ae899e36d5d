"""Swings a pendulum up and holds it there, from Python.

The orchestration is the pendulum example's (a rule-based phase controller
over an energy-pump controller and a model-driven stabilising skill), with
the skill's teacher written in Python (stabilize_teacher.py). It runs in the
built-in pendulum simulator and prints each episode's return and a summary:

    PYTHONPATH=build/python /usr/bin/python3 examples/python/pendulum.py --episodes 5
"""

import argparse
import pathlib

import tarvik

HERE = pathlib.Path(__file__).resolve().parent


def main():
    parser = argparse.ArgumentParser(description="Runs the pendulum orchestration from Python.")
    parser.add_argument("--episodes", type=int, default=5)
    parser.add_argument("--seed", type=int, default=0, help="seed of the first episode; episode i uses seed + i")
    args = parser.parse_args()

    with tarvik.SyncRunvane() as runtime:
        runtime.load_orchestration(HERE / "orchestration.json")
        runtime.package()
        report = tarvik.evaluate(runtime, tarvik.sims.Pendulum(), episodes=args.episodes, seed=args.seed)
    print(report)


if __name__ == "__main__":
    main()
