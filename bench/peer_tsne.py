"""scikit-learn's t-SNE on the same data as bench_tsne.m, for comparison.

Usage: peer_tsne.py X.csv LABELS.csv OURS.csv PEER.csv SCORE

Runs TSNE (barnes_hut, pca start, learning rate auto, perplexity 30, 1000
iterations) on X, times it, writes its map to PEER.csv and prints
  peer <seconds> <kl>
then, for both maps (peer's and OURS.csv), the 10-nearest-neighbour
accuracy of the labels in the map and, when SCORE is 1, trustworthiness
with 5 neighbours:
  score peer <accuracy> <trustworthiness or nan>
  score ours <accuracy> <trustworthiness or nan>
Run it with one thread (OMP_NUM_THREADS=1 and friends).
"""

import sys
import time

import numpy as np
from sklearn.manifold import TSNE, trustworthiness
from sklearn.neighbors import NearestNeighbors


def knn_accuracy(Y, labels, k=10):
    # Leave-one-out vote of the k nearest other points; ties go to the
    # smallest label.
    nn = NearestNeighbors(n_neighbors=k + 1).fit(Y)
    _, idx = nn.kneighbors(Y)
    hits = 0
    for i in range(Y.shape[0]):
        nb = [j for j in idx[i] if j != i][:k]
        votes = np.bincount(labels[nb].astype(int))
        hits += int(np.argmax(votes) == labels[i])
    return hits / Y.shape[0]


def main():
    xfile, lfile, ours, peer, score = sys.argv[1:6]
    X = np.loadtxt(xfile, delimiter=",", ndmin=2)
    labels = np.loadtxt(lfile, delimiter=",").astype(int)
    t0 = time.perf_counter()
    tsne = TSNE(n_components=2, perplexity=30.0, early_exaggeration=12.0,
                learning_rate="auto", n_iter=1000, init="pca",
                method="barnes_hut", angle=0.5, random_state=0)
    Y = tsne.fit_transform(X)
    t = time.perf_counter() - t0
    np.savetxt(peer, Y, delimiter=",", fmt="%.17g")
    print("peer %.4f %.6f" % (t, tsne.kl_divergence_), flush=True)
    for name, M in (("peer", Y), ("ours", np.loadtxt(ours, delimiter=",", ndmin=2))):
        acc = knn_accuracy(M, labels)
        tw = trustworthiness(X, M, n_neighbors=5) if score == "1" else float("nan")
        print("score %s %.4f %.4f" % (name, acc, tw), flush=True)


if __name__ == "__main__":
    main()
