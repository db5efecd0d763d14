## knnsearch: the public nearest-neighbour search.
##
## First rows: W2 (100000 x 32 against 2000 x 32, K = 10) through
## knnsearch; baseline = one direct __nearscan__ call on the same data, so
## the ratio shows the cost of checking, blocking and shaping (1.0 is free,
## 0.95 is the 5% allowance).  Then cosine and correlation on the W2 shapes;
## baseline = knnsearch euclidean (ratio 0.5 is "twice as slow").
## Then one row per metric on 20000 x 32 against 200 x 32, K = 10;
## baseline = plain Octave as a user would write it without the package:
## a distance matrix per block of queries (the expanded product through
## BLAS where the metric has one, coordinate loops otherwise), then a full
## sort of each row; timed on 50 queries and scaled to 200.
## Last: scikit-learn's NearestNeighbors (brute force, one thread) on the
## W2 shapes as a peer, when python3 with sklearn is there.
1;

function [idx, D] = knn_plain (X, Y, K, metric, arg)
  idx = zeros (rows (Y), K);
  D = zeros (rows (Y), K);
  blk = max (1, floor (4e6 / rows (X)));
  for q0 = 1:blk:rows (Y)
    q = q0:min (rows (Y), q0 + blk - 1);
    Dq = knn_plain_dist (X, Y(q,:), metric, arg);
    [s, o] = sort (Dq, 2);
    idx(q,:) = o(:,1:K);
    D(q,:) = s(:,1:K);
  endfor
endfunction

function Dq = knn_plain_dist (X, Y, metric, arg)
  switch (metric)
    case "euclidean"
      Dq = sqrt (max (sum (Y.^2, 2) + sum (X.^2, 2).' - 2 * Y * X.', 0));
    case "seuclidean"
      Dq = knn_plain_dist (X ./ arg, Y ./ arg, "euclidean", []);
    case "mahalanobis"
      R = chol (arg);
      Dq = knn_plain_dist (X / R, Y / R, "euclidean", []);
    case {"cosine", "correlation", "spearman"}
      if (strcmp (metric, "spearman"))
        [~, o] = sort (X, 2);  [~, X] = sort (o, 2);
        [~, o] = sort (Y, 2);  [~, Y] = sort (o, 2);
      endif
      if (! strcmp (metric, "cosine"))
        X -= mean (X, 2);
        Y -= mean (Y, 2);
      endif
      Dq = 1 - (Y ./ sqrt (sum (Y.^2, 2))) * (X ./ sqrt (sum (X.^2, 2))).';
    case "function handle"
      Dq = zeros (rows (Y), rows (X));
      for i = 1:rows (Y)
        Dq(i,:) = arg (Y(i,:), X);
      endfor
    otherwise
      Dq = zeros (rows (Y), rows (X));
      nz = Dq;
      for c = 1:columns (X)
        diff = abs (X(:,c).' - Y(:,c));
        switch (metric)
          case "cityblock"
            Dq += diff;
          case "chebychev"
            Dq = max (Dq, diff);
          case "minkowski"
            Dq += diff .^ arg;
          case {"hamming", "jaccard"}
            Dq += diff != 0;
            nz += X(:,c).' != 0 | Y(:,c) != 0;
        endswitch
      endfor
      switch (metric)
        case "minkowski"
          Dq = Dq .^ (1 / arg);
        case "hamming"
          Dq /= columns (X);
        case "jaccard"
          Dq ./= max (nz, 1);
      endswitch
  endswitch
endfunction

function knn_row (label, med, lo, base)
  printf ("%-34s %10.4f %10.4f %12.4f %8.1f\n", label, med, lo, base, base / med);
endfunction

randn ("state", 11);
knn_X = randn (100000, 32);
knn_Y = randn (2000, 32);

## W2 through knnsearch against the kernel called once, both precisions.
for knn_cls = {"double", "single"}
  knn_Xc = cast (knn_X, knn_cls{1});
  knn_Yc = cast (knn_Y, knn_cls{1});
  knn_base = time_runs (@() __nearscan__ (knn_Xc, knn_Yc, 10, "euclidean", []), 5);
  [knn_med, knn_lo] = time_runs (@() knnsearch (knn_Xc, knn_Yc, "K", 10), 5);
  knn_row (sprintf ("W2 knnsearch euclid %s", knn_cls{1}), knn_med, knn_lo, knn_base);
  if (strcmp (knn_cls{1}, "double"))
    knn_euclid = knn_med;
  endif
endfor
[knn_i1, knn_d1] = knnsearch (knn_X, knn_Y, "K", 10);
[knn_i2, knn_d2] = __nearscan__ (knn_X, knn_Y, 10, "euclidean", []);
printf ("W2 knnsearch and __nearscan__ give the same bits: %d\n",
        isequal (knn_i1, knn_i2) && isequal (knn_d1, knn_d2));
clear knn_Xc knn_Yc knn_i1 knn_d1 knn_i2 knn_d2;

## Cosine and correlation on the W2 shapes next to euclidean.
for knn_m = {"cosine", "correlation"}
  [knn_med, knn_lo] = time_runs (@() knnsearch (knn_X, knn_Y, "K", 10, "Distance", knn_m{1}), 3);
  knn_row (sprintf ("W2 knnsearch %s", knn_m{1}), knn_med, knn_lo, knn_euclid);
endfor

## One row per metric beside plain Octave.
knn_Xm = randn (20000, 32);
knn_Ym = randn (200, 32);
knn_Xi = floor (3 * rand (20000, 32));
knn_Yi = floor (3 * rand (200, 32));
knn_f = @(zi, ZJ) sqrt (sum ((ZJ - zi).^2, 2));
knn_cases = {"euclidean",   [],               {};
             "seuclidean",  std(knn_Xm),      {};
             "cityblock",   [],               {};
             "chebychev",   [],               {};
             "minkowski",   3,                {"P", 3};
             "mahalanobis", cov(knn_Xm),      {};
             "cosine",      [],               {};
             "correlation", [],               {};
             "spearman",    [],               {};
             "hamming",     [],               {};
             "jaccard",     [],               {};
             "function handle", knn_f,        {}};
for knn_c = 1:rows (knn_cases)
  knn_name = knn_cases{knn_c,1};
  knn_A = knn_Xm;  knn_B = knn_Ym;
  if (any (strcmp (knn_name, {"hamming", "jaccard"})))
    knn_A = knn_Xi;  knn_B = knn_Yi;
  endif
  if (strcmp (knn_name, "function handle"))
    knn_args = {"Distance", knn_f};
  else
    knn_args = [{"Distance", knn_name}, knn_cases{knn_c,3}];
  endif
  [knn_med, knn_lo] = time_runs (@() knnsearch (knn_A, knn_B, "K", 10, knn_args{:}), 3);
  knn_base = time_runs (@() knn_plain (knn_A, knn_B(1:50,:), 10, knn_name, knn_cases{knn_c,2}), 2);
  knn_row (sprintf ("knnsearch %s 2e4/200", knn_name), knn_med, knn_lo, 4 * knn_base);
endfor
clear knn_Xm knn_Ym knn_Xi knn_Yi knn_A knn_B;

## Peer: scikit-learn, brute force, one thread, same shapes (its own data).
knn_py = "/usr/bin/python3";
if (! exist (knn_py, "file"))
  knn_py = "python3";
endif
knn_peer = fullfile (fileparts (mfilename ("fullpath")), "peer_knnsearch.py");
[knn_st, knn_out] = system (sprintf ("%s %s 2 2>/dev/null", knn_py, knn_peer));
knn_peer = regexp (knn_out, 'peer (\w+) ([\d.]+) ([\d.]+)', "tokens");
if (knn_st != 0 || isempty (knn_peer))
  printf ("peer scikit-learn: not available (python3 with sklearn missing)\n");
else
  ## Baseline = the peer's median; ratio above 1 means knnsearch is faster.
  for knn_k = 1:numel (knn_peer)
    knn_m = knn_peer{knn_k}{1};
    [knn_med, knn_lo] = time_runs (@() knnsearch (knn_X, knn_Y, "K", 10, "Distance", knn_m), 2);
    knn_row (sprintf ("W2 %s vs sklearn brute", knn_m), knn_med, knn_lo,
             str2double (knn_peer{knn_k}{2}));
  endfor
endif
clear -regexp ^knn_;
