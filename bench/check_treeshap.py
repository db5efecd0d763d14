#!/usr/bin/python3
"""Checks treeshap against XGBoost itself, outside make check.

For XGBoost models trained on real data (the shipped iris model, and models
trained here on scikit-learn's bundled diabetes, breast cancer and wine
data), it checks that

  * pred equals XGBoost's own margin prediction to single-precision
    rounding, on the data and on points placed on either side of every
    split condition in single precision, and equals in double the sum of
    the leaves XGBoost itself picks (pred_leaf), so the routing is exact;
  * phi equals brute-force Shapley values over all 2^p coalitions, the
    game values summed in double from the leaves XGBoost picks for every
    hybrid point, to 1e-10 relative to the largest value.

Run from the repository root after make:
    /usr/bin/python3 bench/check_treeshap.py
    /usr/bin/python3 bench/check_treeshap.py --write-iris   # rewrites data/iris_xgb.json
"""
import csv
import json
import math
import os
import subprocess
import sys
import tempfile

import numpy as np
import xgboost as xgb
from sklearn.datasets import load_breast_cancer, load_diabetes, load_wine

ROOT = os.getcwd()
IRIS_MODEL = os.path.join(ROOT, "data", "iris_xgb.json")


def iris():
    with open(os.path.join(ROOT, "data", "iris.csv")) as f:
        rows = list(csv.reader(f))
    names = sorted(set(r[4] for r in rows[1:]))
    X = np.array([[float(v) for v in r[:4]] for r in rows[1:]])
    y = np.array([names.index(r[4]) for r in rows[1:]])
    return X, y, rows[0][:4]


def write_iris():
    X, y, cols = iris()
    d = xgb.DMatrix(X, label=y, feature_names=cols)
    params = {"objective": "multi:softprob", "num_class": 3, "max_depth": 3,
              "eta": 0.3, "seed": 0}
    xgb.train(params, d, 10).save_model(IRIS_MODEL)
    print("wrote", IRIS_MODEL)


def cases():
    """(label, booster, X) for every model checked."""
    X, _, cols = iris()
    b = xgb.Booster()
    b.load_model(IRIS_MODEL)
    yield "iris, shipped model (multi:softprob, 3 classes, 30 trees)", b, X

    d = load_diabetes()
    X = d.data
    b = xgb.train({"objective": "reg:squarederror", "max_depth": 4, "eta": 0.3,
                   "seed": 1}, xgb.DMatrix(X, label=d.target), 30)
    yield "diabetes (reg:squarederror, p = 10, 30 trees of depth 4)", b, X

    d = load_breast_cancer()
    X = d.data[:, :10]
    b = xgb.train({"objective": "binary:logistic", "max_depth": 4, "eta": 0.3,
                   "base_score": 0.3, "seed": 2}, xgb.DMatrix(X, label=d.target), 20)
    yield "breast cancer, first 10 features (binary:logistic, base_score 0.3, 20 trees)", b, X

    d = load_wine()
    X = d.data[:, :10]
    b = xgb.train({"objective": "multi:softmax", "num_class": 3, "max_depth": 3,
                   "eta": 0.3, "num_parallel_tree": 2, "subsample": 0.8,
                   "colsample_bynode": 0.8, "seed": 3}, xgb.DMatrix(X, label=d.target), 8)
    yield "wine, first 10 features (multi:softmax, num_parallel_tree 2, 48 trees)", b, X


def leaf_tables(model):
    """Per tree: leaf values as float32 widened to double, and the output."""
    m = model["learner"]["gradient_booster"]["model"]
    vals = [np.array(t["split_conditions"], dtype=np.float32).astype(np.float64)
            for t in m["trees"]]
    return vals, np.array(m["tree_info"], dtype=int)


def leaf_sums(booster, vals, info, nout, X, absolute=False):
    """Ensemble answer in double from the leaves XGBoost picks (or the sum
    of their magnitudes)."""
    leaves = booster.predict(xgb.DMatrix(X, feature_names=booster.feature_names),
                             pred_leaf=True).astype(int)
    leaves = leaves.reshape(X.shape[0], -1)
    F = np.zeros((X.shape[0], nout))
    for t in range(len(vals)):
        v = vals[t][leaves[:, t]]
        F[:, info[t]] += np.abs(v) if absolute else v
    return F


def edge_points(model, X, rng, limit=400):
    """Points on either side of split conditions in single precision: the
    condition itself, and doubles just inside and outside the interval of
    values that round to it."""
    pts = []
    flips = []
    for t in model["learner"]["gradient_booster"]["model"]["trees"]:
        for j, c, l in zip(t["split_indices"], t["split_conditions"], t["left_children"]):
            if l == -1:
                continue
            c32 = np.float32(c)
            below = np.nextafter(c32, np.float32(-np.inf))
            gap = float(c32) - float(below)
            for x in (float(c32), float(c), float(c32) - 0.49 * gap,
                      float(c32) - 0.51 * gap, float(below)):
                flips.append((x < float(c)) != (np.float32(x) < c32))
                row = X[rng.integers(X.shape[0])].copy()
                row[j] = x
                pts.append(row)
    pts = np.array(pts)
    flips = np.array(flips)
    if len(pts) > limit:
        keep = rng.choice(len(pts), limit, replace=False)
        pts, flips = pts[keep], flips[keep]
    return pts, int(flips.sum())


def brute_force(booster, vals, info, nout, Xb, z):
    """Interventional Shapley values of query z over all coalitions."""
    p = Xb.shape[1]
    nc = 1 << p
    masks = ((np.arange(nc)[:, None] >> np.arange(p)) & 1).astype(bool)
    H = np.repeat(Xb[None, :, :], nc, axis=0)
    H = np.where(masks[:, None, :], z[None, None, :], H).reshape(-1, p)
    v = leaf_sums(booster, vals, info, nout, H).reshape(nc, Xb.shape[0], nout).mean(axis=1)
    size = masks.sum(axis=1)
    w = np.array([math.factorial(s) * math.factorial(p - s - 1) / math.factorial(p)
                  for s in range(p)])
    phi = np.zeros((p, nout))
    for j in range(p):
        without = np.nonzero(~masks[:, j])[0]
        phi[j] = (w[size[without]][:, None] * (v[without | (1 << j)] - v[without])).sum(axis=0)
    return phi


def run_octave(model_file, Xb, Q, tmp):
    for name, M in (("Xb", Xb), ("Q", Q)):
        np.savetxt(os.path.join(tmp, name + ".txt"), M, fmt="%.17g")
    script = os.path.join(tmp, "run.m")
    with open(script, "w") as f:
        f.write(f"""
addpath ("{ROOT}/build", "{ROOT}/treeshare");
Xb = load ("{tmp}/Xb.txt"); Q = load ("{tmp}/Q.txt");
[phi, base, pred] = treeshap ("{model_file}", Xb, Q);
fid = fopen ("{tmp}/out.txt", "w");
fprintf (fid, "%.17g\\n", size (phi, 3), base, pred, phi);
fclose (fid);
""")
    subprocess.run(["octave-cli", "--norc", "--quiet", script], check=True, cwd=ROOT)
    out = np.loadtxt(os.path.join(tmp, "out.txt"))
    nout = int(out[0])
    nq, p = Q.shape
    base = out[1:1 + nout]
    pred = out[1 + nout:1 + nout + nq * nout].reshape(nout, nq).T
    phi = out[1 + nout + nq * nout:].reshape(nout, p, nq).transpose(2, 1, 0)
    return phi, base, pred


def check(label, booster, X, tmp, rng):
    model_file = os.path.join(tmp, "model.json")
    booster.save_model(model_file)
    with open(model_file) as f:
        model = json.load(f)
    vals, info = leaf_tables(model)
    lmp = model["learner"]["learner_model_param"]
    nout = max(1, int(lmp["num_class"]))
    perm = rng.permutation(X.shape[0])
    Xb = X[perm[:40]]
    Qbf = X[perm[40:48]]
    edges, flips = edge_points(model, X, rng)
    Q = np.vstack([Qbf, X, edges])

    phi, base, pred = run_octave(model_file, Xb, Q, tmp)
    margin = booster.predict(xgb.DMatrix(Q, feature_names=booster.feature_names), output_margin=True).reshape(Q.shape[0], -1)
    offset = pred - leaf_sums(booster, vals, info, nout, Q)
    routing = np.abs(offset - offset[0]).max()
    dm = np.abs(pred - margin)
    # XGBoost sums base_score and the leaves in single precision: its
    # rounding is measured against the magnitude of what it sums.
    terms = np.abs(offset[0]) + leaf_sums(booster, vals, info, nout, Q, absolute=True)
    ulp = np.finfo(np.float32).eps * terms
    additivity = np.abs(phi.sum(axis=1) + base - pred).max()

    worst = 0.0
    worst_abs = 0.0
    for q in range(Qbf.shape[0]):
        bf = brute_force(booster, vals, info, nout, Xb, Qbf[q])
        scale = np.abs(bf).max(axis=0)
        d = np.abs(phi[q] - bf)
        worst_abs = max(worst_abs, d.max())
        worst = max(worst, (d / np.where(scale > 0, scale, 1)).max())

    print(f"\n{label}")
    print(f"  {Q.shape[0]} query rows ({X.shape[0]} data rows, {len(edges)} at split conditions, "
          f"{flips} of them routed apart by double and single comparisons), "
          f"{Xb.shape[0]} background rows, {nout} output(s)")
    print(f"  pred - XGBoost margin: largest {dm.max():.3g}, at most {(dm / ulp).max():.2f} x "
          f"single eps x (|base_score| + sum of |leaf values|)")
    print(f"  pred - (base_score + leaves XGBoost picks, in double): spread {routing:.3g} "
          f"(offset {offset[0, 0]:.9g})")
    print(f"  phi - brute force over {1 << X.shape[1]} coalitions ({Qbf.shape[0]} queries): "
          f"largest {worst_abs:.3g}, relative {worst:.3g}")
    print(f"  additivity: largest |sum(phi) + base - pred| = {additivity:.3g}")
    ok = routing < 1e-9 and worst < 1e-10 and (dm / ulp).max() <= len(vals)
    print("  ok" if ok else "  FAILED")
    return ok


def main():
    if "--write-iris" in sys.argv:
        write_iris()
        return 0
    print(f"XGBoost {xgb.__version__}")
    rng = np.random.default_rng(16)
    ok = True
    with tempfile.TemporaryDirectory() as tmp:
        for label, booster, X in cases():
            ok &= check(label, booster, X, tmp, rng)
    print("\nall checks passed" if ok else "\nSOME CHECKS FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
