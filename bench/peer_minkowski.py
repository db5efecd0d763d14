"""Peer timing for bench_nearscan.m: scikit-learn's NearestNeighbors, brute
force, metric minkowski with p = 3, one thread, on the W2 minkowski shape
(20000 x 32 reference points, 200 queries, K = 10), drawn here with the same
distribution as the Octave side.  Prints one line:
    peer minkowski3 <median s> <min s>
Arguments: the number of timed runs (default 3)."""
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
    X = rng.standard_normal((20000, 32))
    Y = rng.standard_normal((200, 32))
    nn = NearestNeighbors(n_neighbors=10, algorithm="brute", metric="minkowski",
                          p=3, n_jobs=1).fit(X)
    med, lo = timed(lambda: nn.kneighbors(Y), runs)
    print("peer minkowski3 %.6f %.6f" % (med, lo), flush=True)


if __name__ == "__main__":
    main()
