"""The main job: short optimisation runs on standard test functions.

Each variant ("TuRBO-QEL", "TuRBO-ZERO", "LHD-only") maximises Hartmann-6 and Ackley-10
over a few seeds; MORBO maximises a two-objective problem. Progress is printed as it goes,
then a table of the best value per variant, and a convergence plot (median over seeds, the
band from the worst to the best seed, the known optimum as a dashed line) is written when
matplotlib is installed (`make demo` installs it).
"""

from __future__ import annotations

import argparse
import gc
import os
import tempfile
import time

import numpy as np

import qel.qelcore as q

# --- test functions (maximised) -------------------------------------------------------

_H6_ALPHA = np.array([1.0, 1.2, 3.0, 3.2])
_H6_A = np.array(
    [
        [10, 3, 17, 3.5, 1.7, 8],
        [0.05, 10, 17, 0.1, 8, 14],
        [3, 3.5, 1.7, 10, 17, 8],
        [17, 8, 0.05, 10, 0.1, 14],
    ]
)
_H6_P = 1e-4 * np.array(
    [
        [1312, 1696, 5569, 124, 8283, 5886],
        [2329, 4135, 8307, 3736, 1004, 9991],
        [2348, 1451, 3522, 2883, 3047, 6650],
        [4047, 8828, 8732, 5743, 1091, 381],
    ]
)


def hartmann6(x: np.ndarray) -> np.ndarray:
    """Negated Hartmann-6 on [0, 1]^6; the maximum is 3.32237."""
    inner = ((x[:, None, :] - _H6_P[None]) ** 2 * _H6_A[None]).sum(axis=2)
    return (_H6_ALPHA[None] * np.exp(-inner)).sum(axis=1)


def ackley(x: np.ndarray) -> np.ndarray:
    """Negated Ackley; the maximum is 0 at the origin."""
    d = x.shape[1]
    a = -20.0 * np.exp(-0.2 * np.sqrt((x**2).sum(axis=1) / d))
    b = -np.exp(np.cos(2 * np.pi * x).sum(axis=1) / d)
    return -(a + b + 20.0 + np.e)


def two_objectives(x: np.ndarray) -> np.ndarray:
    """A smooth two-objective problem on [0, 1]^d (both maximised, conflicting)."""
    f1 = -((x - 0.2) ** 2).sum(axis=1)
    f2 = -((x - 0.8) ** 2).sum(axis=1)
    return np.stack([f1, f2], axis=1)


# name: (function, bounds, known maximum)
PROBLEMS = {
    "hartmann6": (hartmann6, np.array([[0.0, 1.0]] * 6), 3.32237),
    "ackley10": (ackley, np.array([[-5.0, 10.0]] * 10), 0.0),
}

# --- runs ---------------------------------------------------------------------------------


def make_optimizer(variant: str, bounds: np.ndarray, seed: int, overrides: dict | None = None):
    if variant == "TuRBO-QEL":
        return q.optimizer.create_optimizer_qel(bounds, k=10, num_init=20, seed=seed, config_overrides=overrides)
    if variant == "TuRBO-ZERO":
        return q.optimizer.create_optimizer_zero(bounds, num_init=20, seed=seed, config_overrides=overrides)
    return q.optimizer.create_optimizer_lhd(bounds, num_init=20, seed=seed, config_overrides=overrides)


def run(variant: str, fn, bounds: np.ndarray, budget: int, batch: int, seed: int,
        overrides: dict | None = None) -> np.ndarray:
    """Best value found after each batch."""
    opt = make_optimizer(variant, bounds, seed, overrides)
    lower, upper = bounds[:, 0], bounds[:, 1]
    best = -np.inf
    trace = []
    for step in range(budget // batch):
        x_unit = opt.ask(batch, seed * 100_003 + step)
        y = fn(lower + x_unit * (upper - lower))
        opt.tell(x_unit, y[:, None], seed * 7_919 + step)
        best = max(best, float(y.max()))
        trace.append(best)
    return np.array(trace)


def run_morbo(budget: int, batch: int, seed: int) -> float:
    """Dominated hypervolume reached by MORBO on the two-objective problem."""
    d = 4
    bounds = np.array([[0.0, 1.0]] * d)
    opt = make_optimizer("TuRBO-QEL", bounds, seed, {"trust_region": "morbo", "num_metrics": 2})
    ys = []
    for step in range(budget // batch):
        x_unit = opt.ask(batch, seed * 31 + step)
        y = two_objectives(x_unit)
        opt.tell(x_unit, y, seed * 37 + step)
        ys.append(y)
    y_all = np.concatenate(ys)
    return q.hypervolume.hypervolume_2d_max(y_all, np.array([-2.0, -2.0]))


def run_on_disk(budget: int, batch: int) -> None:
    """TuRBO-QEL on Hartmann-6 with the surrogate's rows in a work directory on disk."""
    fn, bounds, _ = PROBLEMS["hartmann6"]
    with tempfile.TemporaryDirectory(prefix="qel-demo-") as tmp:
        work_dir = os.path.join(tmp, "hartmann6")
        overrides = {"qel_storage": "disk", "index_driver": "MIROT_DISK", "work_dir": work_dir}
        t0 = time.perf_counter()
        trace = run("TuRBO-QEL", fn, bounds, budget, batch, 0, overrides)
        gc.collect()  # the optimizer is gone: its model has written its index
        size = sum(os.path.getsize(os.path.join(d, f)) for d, _, files in os.walk(work_dir) for f in files)
        print(
            f"\nhartmann6  TuRBO-QEL on disk (qel_storage 'disk', index_driver 'MIROT_DISK') seed 0: "
            f"best {trace[-1]:+.5f} ({time.perf_counter() - t0:.2f}s); work directory {size / 1024:.1f} KiB"
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--budget", type=int, default=200)
    parser.add_argument("--batch", type=int, default=10)
    parser.add_argument("--seeds", type=int, default=5)
    parser.add_argument("--plot", default="convergence.png")
    args = parser.parse_args()

    variants = ["TuRBO-QEL", "TuRBO-ZERO", "LHD-only"]
    traces: dict[str, dict[str, list[np.ndarray]]] = {p: {v: [] for v in variants} for p in PROBLEMS}
    start = time.perf_counter()
    for problem, (fn, bounds, _) in PROBLEMS.items():
        for variant in variants:
            for seed in range(args.seeds):
                t0 = time.perf_counter()
                trace = run(variant, fn, bounds, args.budget, args.batch, seed)
                traces[problem][variant].append(trace)
                print(
                    f"{problem:10s} {variant:11s} seed {seed}: best {trace[-1]:+.5f} "
                    f"({time.perf_counter() - t0:.2f}s)",
                    flush=True,
                )

    print()
    print(f"{'problem':10s} | " + " | ".join(f"{v:>18s}" for v in variants))
    print("-" * (13 + 21 * len(variants)))
    for problem in PROBLEMS:
        cells = []
        for variant in variants:
            finals = np.array([t[-1] for t in traces[problem][variant]])
            cells.append(f"{np.median(finals):+9.4f} (median)")
        print(f"{problem:10s} | " + " | ".join(f"{c:>18s}" for c in cells))

    run_on_disk(args.budget, args.batch)

    hv = [run_morbo(args.budget, args.batch, seed) for seed in range(min(args.seeds, 3))]
    print(f"\nMORBO two-objective hypervolume (ref -2, -2): median {np.median(hv):.4f}")
    print(f"total time {time.perf_counter() - start:.1f}s")

    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no convergence plot")
        return
    fig, axes = plt.subplots(1, len(PROBLEMS), figsize=(6 * len(PROBLEMS), 4))
    for ax, (problem, (_, _, optimum)) in zip(np.atleast_1d(axes), PROBLEMS.items()):
        for variant in variants:
            t = np.array(traces[problem][variant])
            evals = args.batch * (np.arange(t.shape[1]) + 1)
            (line,) = ax.plot(evals, np.median(t, axis=0), label=f"{variant} (median)")
            ax.fill_between(evals, t.min(axis=0), t.max(axis=0), color=line.get_color(), alpha=0.2, linewidth=0)
        ax.axhline(optimum, color="black", linestyle="--", linewidth=1, label=f"optimum {optimum:g}")
        ax.set_title(f"{problem} ({args.seeds} seeds; band: worst to best seed)")
        ax.set_xlabel("evaluations")
        ax.set_ylabel("best value found")
        ax.legend()
    fig.tight_layout()
    fig.savefig(args.plot)
    print(f"convergence plot written to {os.path.abspath(args.plot)}")


if __name__ == "__main__":
    main()
