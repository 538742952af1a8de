"""A BoTorch GP fit in a process that has imported qel.qelcore, next to the same fit in one that
has not: importing the extension must not change how other libraries in the process run.

Needs torch and botorch (benchmark-only dependencies), and the extension on the path, e.g.
    PYTHONPATH=build/py/python python3 bench/bench_gp_fit.py [--points 1000] [--repeats 3]
Each fit runs in its own fresh process; wall time and CPU time / wall time are printed.
"""

import argparse
import os
import statistics
import subprocess
import sys

CHILD = r"""
import sys, time, warnings
warnings.simplefilter("ignore")
points, dim, seed, with_qel = map(int, sys.argv[1:5])
if with_qel:
    import qel.qelcore
import torch
from botorch.fit import fit_gpytorch_mll
from botorch.models import SingleTaskGP
from gpytorch.kernels import MaternKernel, ScaleKernel
from gpytorch.mlls import ExactMarginalLogLikelihood

torch.manual_seed(seed)
X = torch.rand(points, dim)
Y = torch.rand(points, 1)
model = SingleTaskGP(X, Y, covar_module=ScaleKernel(MaternKernel(nu=2.5, ard_num_dims=dim)))
mll = ExactMarginalLogLikelihood(model.likelihood, model)
wall0, cpu0 = time.perf_counter(), time.process_time()
fit_gpytorch_mll(mll)
wall, cpu = time.perf_counter() - wall0, time.process_time() - cpu0
print(f"{wall:.6f} {cpu:.6f} {torch.get_num_threads()}")
"""


def fit(points: int, dim: int, seed: int, with_qel: bool) -> tuple[float, float, int]:
    args = [sys.executable, "-c", CHILD, str(points), str(dim), str(seed), str(int(with_qel))]
    out = subprocess.run(args, capture_output=True, text=True, check=True)
    wall, cpu, threads = out.stdout.split()
    return float(wall), float(cpu), int(threads)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=1000)
    parser.add_argument("--dim", type=int, default=20)
    parser.add_argument("--repeats", type=int, default=3, help="fits per setting, alternating (median reported)")
    opts = parser.parse_args()

    runs: dict[bool, list[tuple[float, float, int]]] = {False: [], True: []}
    for r in range(opts.repeats):
        for with_qel in (False, True):
            runs[with_qel].append(fit(opts.points, opts.dim, r, with_qel))
    print(f"SingleTaskGP fit, {opts.points} points, d = {opts.dim}; {os.cpu_count()} processors; "
          f"median of {opts.repeats} fits, each in its own process")
    medians = {}
    for with_qel in (False, True):
        walls = [w for w, _, _ in runs[with_qel]]
        ratios = [c / w for w, c, _ in runs[with_qel]]
        medians[with_qel] = statistics.median(walls)
        label = "after import qel.qelcore" if with_qel else "without qel"
        print(f"  {label:<26} wall {medians[with_qel]:7.3f} s   CPU/wall {statistics.median(ratios):5.2f}   "
              f"torch threads {runs[with_qel][0][2]}   (walls: {', '.join(f'{w:.2f}' for w in walls)})")
    ratio = medians[True] / medians[False]
    print(f"  with qel / without = {ratio:.2f}")
    return 0 if ratio <= 1.10 else 1


if __name__ == "__main__":
    sys.exit(main())
