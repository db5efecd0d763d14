"""Peer timings for bench_knnsearch.m: scikit-learn's NearestNeighbors with
brute-force search on the W2 shapes (100000 x 32 reference points, 2000
queries, K = 10), one thread.  Prints one line per metric:
    peer <metric> <median s> <min s>
Arguments: the number of timed runs (default 3).  (Its correlation metric
goes through a generic pairwise routine and takes minutes, so it is left out.)"""
import os
import sys

for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[var] = "1"

import time
import numpy as np
from sklearn.neighbors import NearestNeighbors


def timed(f, runs):
    f()
    t = []
    for _ in range(runs):
        t0 = time.perf_counter()
        f()
        t.append(time.perf_counter() - t0)
    return float(np.median(t)), min(t)


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    rng = np.random.default_rng(1)
    X = rng.standard_normal((100000, 32))
    Y = rng.standard_normal((2000, 32))
    for metric in ("euclidean", "cosine"):
        nn = NearestNeighbors(n_neighbors=10, algorithm="brute", metric=metric,
                              n_jobs=1).fit(X)
        med, lo = timed(lambda: nn.kneighbors(Y), runs)
        print("peer %s %.6f %.6f" % (metric, med, lo), flush=True)


if __name__ == "__main__":
    main()
