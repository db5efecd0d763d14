## W2: exhaustive K-nearest-neighbour search, next to plain Octave: sums of
## coordinate differences over blocks of queries, then a full sort of each
## row.  The baseline runs on a subset of the queries and is scaled to the
## full count; its indices on that subset are checked against the kernel.
## Run by bench/run_bench.m (make bench), which supplies the measured term
## rates; run alone, it falls back on __benchfloor__ or a nominal rate.
1;

function [idx, D] = nearscan_plain (X, Y, K, metric, p)
  N = rows (X);
  M = rows (Y);
  idx = zeros (M, K);
  D = zeros (M, K, class (X));
  blk = max (1, floor (4e6 / N));
  for q0 = 1:blk:M
    q = q0:min (M, q0 + blk - 1);
    acc = zeros (numel (q), N, class (X));
    for c = 1:columns (X)
      diff = X(:,c).' - Y(q,c);
      switch (metric)
        case "euclidean"
          acc += diff .* diff;
        case "cityblock"
          acc += abs (diff);
        case "minkowski"
          acc += abs (diff) .^ p;
      endswitch
    endfor
    [s, o] = sort (acc, 2);
    idx(q,:) = o(:,1:K);
    D(q,:) = s(:,1:K);
  endfor
  switch (metric)
    case "euclidean"
      D = sqrt (D);
    case "minkowski"
      D = D .^ (1 / p);
  endswitch
endfunction

function [med, lo] = nearscan_row (label, X, Y, K, metric, p, runs, nsub)
  [med, lo] = time_runs (@() __nearscan__ (X, Y, K, metric, p), runs);
  sub = Y(1:nsub,:);
  base = time_runs (@() nearscan_plain (X, sub, K, metric, p), 3);
  base *= rows (Y) / nsub;
  if (! isequal (__nearscan__ (X, sub, K, metric, p),
                 nearscan_plain (X, sub, K, metric, p)))
    printf ("note: %s: the baseline's order differs on the subset\n", label);
  endif
  printf ("%-34s %10.4f %10.4f %12.4f %8.1f\n", label, med, lo, base, base / med);
endfunction

randn ("state", 1);
X = randn (100000, 32);
Y = randn (2000, 32);
Xc = randn (20000, 32);
Yc = randn (500, 32);

[~, ed] = nearscan_row ("W2 nearscan euclid double", X, Y, 10, "euclidean", [], 5, 40);
[~, es] = nearscan_row ("W2 nearscan euclid single", single (X), single (Y), 10,
                        "euclidean", [], 5, 40);
nearscan_row ("W2 nearscan cityblock 2e4/500", Xc, Yc, 10, "cityblock", [], 7, 50);
## Octave evaluates x .^ 3 as x .* x .* x rather than with pow, so this
## baseline is cheaper than the kernel's pow and may differ in a last bit.
[mk, ~] = nearscan_row ("W2 nearscan minkowski3 2e4/200", Xc, Yc(1:200,:), 10,
                        "minkowski", 3, 3, 20);

## The same search in scikit-learn (brute force, minkowski p = 3, one
## thread), run in the same session; the baseline column is its time.
peer = "";
if (exist ("/usr/bin/python3", "file"))
  script = fullfile (fileparts (mfilename ("fullpath")), "peer_knnsearch.py");
  [st, peer] = system (["/usr/bin/python3 " script " 3 minkowski3 2>/dev/null"]);
endif
tok = regexp (peer, 'peer minkowski3 (\S+) (\S+)', "tokens", "once");
if (numel (tok) == 2)
  [mmed, mlo] = time_runs (@() __nearscan__ (Xc, Yc(1:200,:), 10, "minkowski", 3), 3);
  sk = str2double (tok{1});
  printf ("%-34s %10.4f %10.4f %12.4f %8.1f\n", "W2 minkowski3 vs scikit-learn",
          mmed, mlo, sk, sk / mmed);
else
  printf ("W2 minkowski3 vs scikit-learn: no python3 with sklearn here\n");
endif

## Against the cityblock scan of the same 200 queries, the same work
## without pow: the products bound every pair, pow runs only for the pairs
## that may enter the K best.
cb = time_runs (@() __nearscan__ (Xc, Yc(1:200,:), 10, "cityblock", []), 5);
printf ("W2 minkowski3: %.4f s, %.1fx the cityblock scan of the same queries (%.4f s)\n",
        mk, mk / cb, cb);

## Arithmetic floor: every term is one subtraction, one product and one sum,
## each rounded on its own, in 512-bit vectors.  The term rates come from
## __benchfloor__ (a register-resident loop shaped like this scan); without
## it, a nominal one term per lane per cycle at an assumed 3.0 GHz.
if (! exist ("dterm_rate", "var"))
  if (exist ("__benchfloor__") == 3)
    [~, dterm_rate, sterm_rate] = __benchfloor__ (0);
  else
    dterm_rate = 0;
  endif
endif
how = "measured";
if (dterm_rate <= 0)
  dterm_rate = 8 * 3.0e9;
  sterm_rate = 16 * 3.0e9;
  how = "nominal";
endif
terms = 100000 * 2000 * 32;
printf ("floor: W2 euclid double: %.3g terms x 3 ops at %.3g terms/s (%s) = %.4f s; kernel min at %.0f%%\n",
        terms, dterm_rate, how, terms / dterm_rate, 100 * terms / dterm_rate / ed);
printf ("floor: W2 euclid single: %.3g terms x 3 ops at %.3g terms/s (%s) = %.4f s; kernel min at %.0f%%\n",
        terms, sterm_rate, how, terms / sterm_rate, 100 * terms / sterm_rate / es);
clear X Y Xc Yc;
