## Times __forestshare__ on 100 random regression trees of depth up to 8 on
## 10 predictors, with 100 background rows and 200 query points.  The
## baseline is the same plug-in built with its plain reference loops
## (build/plain), timed on the first 10 query points and scaled to 200;
## without that build the baseline column is NaN.
1;

function trees = bench_trees (ntrees, M, depth)
  trees = cell (1, ntrees);
  for t = 1:ntrees
    ch = zeros (1, 2); cv = 0; cp = 0; dep = 0;
    n = 1; i = 1;
    while (i <= n)
      if (dep(i) < depth && rand () < 0.9)
        cv(i) = randi (M);
        cp(i) = randn ();
        ch(i,:) = [n+1, n+2];
        ch(n+1:n+2,:) = 0; cv(n+1:n+2) = 0; cp(n+1:n+2) = 0;
        dep(n+1:n+2) = dep(i) + 1;
        n += 2;
      endif
      i += 1;
    endwhile
    trees{t} = struct ("Children", ch, "CutVar", cv(:), "CutPoint", cp(:),
                       "Leaf", randn (n, 1) / ntrees);
  endfor
endfunction

rand ("seed", 42);
randn ("seed", 42);
M = 10;
trees = bench_trees (100, M, 8);
X = randn (100, M);
Q = randn (200, M);
nleaves = sum (cellfun (@(T) sum (T.CutVar == 0), trees));

[med, mn] = time_runs (@() __forestshare__ (trees, X, Q), 7);

base = NaN;
fastdir = fileparts (which ("__forestshare__"));
plaindir = fullfile (fastdir, "plain");
if (exist (fullfile (plaindir, "__forestshare__.oct"), "file"))
  rmpath (fastdir);
  addpath (plaindir);
  clear -f __forestshare__;
  unwind_protect
    base = 20 * time_runs (@() __forestshare__ (trees, X, Q(1:10,:)), 3);
  unwind_protect_cleanup
    rmpath (plaindir);
    addpath (fastdir);
    clear -f __forestshare__;
  end_unwind_protect
endif

printf ("%-34s %10.4f %10.4f %12.4f %8.1f\n",
        "forestshare 100x<=8 M10 X100 Q200", med, mn, base, base / med);
printf ("per query point: %.3f ms (%d leaves, %d background rows)\n",
        1000 * med / rows (Q), nleaves, rows (X));
