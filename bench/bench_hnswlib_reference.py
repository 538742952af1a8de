"""hnswlib (M = 16, ef 16/64/256) on the data sets of bench_mirot_index, as the outside
reference for its recall@10 and queries per second.

    MIROT_BENCH_DUMP=/tmp/mirot-data build/bench/bench_mirot_index
    python3 bench/bench_hnswlib_reference.py /tmp/mirot-data

Needs `pip install hnswlib` (not a dependency of the package). Rows of the "stream" data
sets are added in batches of 10, as they arrive; "uniform" ones in one call. Prints one
line per data set and ef: build seconds, recall@10 against the exact neighbours the C++
benchmark wrote, queries per second over all threads, bytes of the saved index, and the
growth of resident memory while building.
"""

import os
import re
import sys
import tempfile
import time

import numpy as np

import hnswlib

K = 10
M = 16
EF_CONSTRUCTION = 200
BATCH = 10


def resident_mb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    return 0.0


def load(stem, d):
    rows = np.fromfile(stem + "_rows.f64", dtype=np.float64).reshape(-1, d).astype(np.float32)
    queries = np.fromfile(stem + "_queries.f64", dtype=np.float64).reshape(-1, d).astype(np.float32)
    exact = np.fromfile(stem + "_exact.i64", dtype=np.int64).reshape(-1, K)
    return rows, queries, exact


def run(stem, workload, n, d, threads):
    rows, queries, exact = load(stem, d)
    before = resident_mb()
    start = time.perf_counter()
    index = hnswlib.Index(space="l2", dim=d)
    index.init_index(max_elements=n, M=M, ef_construction=EF_CONSTRUCTION, random_seed=1)
    if workload == "stream":
        for i in range(0, n, BATCH):
            index.add_items(rows[i:i + BATCH], np.arange(i, min(i + BATCH, n)), num_threads=1)
    else:
        index.add_items(rows, np.arange(n), num_threads=threads)
    build_s = time.perf_counter() - start
    grown = resident_mb() - before
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "index.bin")
        index.save_index(path)
        disk_mb = os.path.getsize(path) / 1e6
    for ef in (16, 64, 256):
        index.set_ef(ef)
        index.knn_query(queries[:10], k=K, num_threads=threads)  # warm
        start = time.perf_counter()
        reps = 5
        for _ in range(reps):
            labels, _ = index.knn_query(queries, k=K, num_threads=threads)
        qps = reps * len(queries) / (time.perf_counter() - start)
        hits = sum(len(set(labels[q].tolist()) & set(exact[q].tolist())) for q in range(len(queries)))
        recall = hits / (len(queries) * K)
        print(f"hnswlib/{workload}/n:{n}/d:{d}/ef:{ef:<3}  build_s={build_s:8.2f}  recall@10={recall:.4f}  "
              f"q/s={qps:10.0f}  disk_MB={disk_mb:7.1f}  rss_growth_MB={grown:7.1f}")


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    folder = sys.argv[1]
    threads = int(os.environ.get("RAYON_NUM_THREADS", os.cpu_count() or 1))
    pattern = re.compile(r"^(uniform|stream)_(\d+)_(\d+)_rows\.f64$")
    found = sorted((m.group(1), int(m.group(2)), int(m.group(3)))
                   for m in map(pattern.match, os.listdir(folder)) if m)
    for workload, n, d in sorted(found, key=lambda t: (t[1], t[0] != "uniform", t[2])):
        run(os.path.join(folder, f"{workload}_{n}_{d}"), workload, n, d, threads)


if __name__ == "__main__":
    main()
