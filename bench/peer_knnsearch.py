"""Peer timings for the neighbour-search benches: scikit-learn's
NearestNeighbors with brute-force search, K = 10, one thread, on data drawn
here with the same distribution as the Octave side.  Prints one line per
search:
    peer <name> <median s> <min s>
Arguments: the number of timed runs (default 3), then the workload:
  w2          (default) euclidean and cosine, 100000 x 32 reference points,
              2000 queries (its correlation goes through a generic pairwise
              routine and takes minutes, so it is left out);
  minkowski3  minkowski with p = 3, 20000 x 32 reference points, 200 queries,
              printed as "minkowski3"."""
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
    workload = sys.argv[2] if len(sys.argv) > 2 else "w2"
    rng = np.random.default_rng(1)
    if workload == "minkowski3":
        X = rng.standard_normal((20000, 32))
        Y = rng.standard_normal((200, 32))
        searches = [("minkowski3", {"metric": "minkowski", "p": 3})]
    else:
        X = rng.standard_normal((100000, 32))
        Y = rng.standard_normal((2000, 32))
        searches = [(m, {"metric": m}) for m in ("euclidean", "cosine")]
    for name, how in searches:
        nn = NearestNeighbors(n_neighbors=10, algorithm="brute", n_jobs=1, **how).fit(X)
        med, lo = timed(lambda: nn.kneighbors(Y), runs)
        print("peer %s %.6f %.6f" % (name, med, lo), flush=True)


if __name__ == "__main__":
    main()
