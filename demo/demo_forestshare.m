## A small bagged ensemble of regression trees predicts petal width from
## sepal length, sepal width and petal length; __forestshare__ explains a
## few predictions, and each explanation is checked to add up to the
## prediction minus the mean prediction over all flowers.
1;

function T = grow_tree (X, y, depth, scale)
  ## Least-squares tree grown breadth-first; leaves answer mean (y) * SCALE.
  ch = [0 0]; cv = 0; cp = 0; val = mean (y) * scale;
  rowsof = {1:rows(X)}; dep = 0;
  i = 1;
  while (i <= numel (rowsof))
    r = rowsof{i};
    best = Inf;
    if (dep(i) < depth && numel (r) >= 6)
      for j = 1:columns (X)
        v = unique (X(r,j));
        for c = ((v(1:end-1) + v(2:end)) / 2)'
          lo = y(r(X(r,j) < c));
          hi = y(r(X(r,j) >= c));
          sse = sumsq (lo - mean (lo)) + sumsq (hi - mean (hi));
          if (sse < best)
            best = sse; bj = j; bc = c;
          endif
        endfor
      endfor
    endif
    if (isfinite (best))
      n = numel (rowsof);
      cv(i) = bj; cp(i) = bc; ch(i,:) = [n+1, n+2];
      lo = r(X(r,bj) < bc); hi = r(X(r,bj) >= bc);
      rowsof(n+1:n+2) = {lo, hi};
      dep(n+1:n+2) = dep(i) + 1;
      ch(n+1:n+2,:) = 0; cv(n+1:n+2) = 0; cp(n+1:n+2) = 0;
      val(n+1:n+2) = [mean(y(lo)), mean(y(hi))] * scale;
    endif
    i += 1;
  endwhile
  T = struct ("Children", ch, "CutVar", cv(:), "CutPoint", cp(:), "Leaf", val(:));
endfunction

function f = predict (trees, P)
  f = zeros (rows (P), 1);
  for t = 1:numel (trees)
    T = trees{t};
    for p = 1:rows (P)
      n = 1;
      while (T.CutVar(n) != 0)
        n = T.Children(n, 1 + (P(p,T.CutVar(n)) >= T.CutPoint(n)));
      endwhile
      f(p) += T.Leaf(n);
    endfor
  endfor
endfunction

X = iris_X(:,1:3);
y = iris_X(:,4);
names = {"sepal length", "sepal width", "petal length"};
rand ("seed", 1);
ntrees = 8;
trees = cell (1, ntrees);
for t = 1:ntrees
  boot = randi (rows (X), rows (X), 1);
  trees{t} = grow_tree (X(boot,:), y(boot), 3, 1 / ntrees);
endfor

fit = predict (trees, X);
printf ("%d bagged trees of depth 3, petal width fitted with RMS error %.3f cm\n",
        ntrees, sqrt (mean ((fit - y) .^ 2)));
show = [1 51 78 101 150];
phi = __forestshare__ (trees, X, X(show,:));
phi = reshape (phi, 3, numel (show));
printf ("flower  species     predicted  %14s %14s %14s   sum - (pred - mean)\n", names{:});
for k = 1:numel (show)
  f = show(k);
  printf ("%5d   %-10s  %6.3f     %+14.4f %+14.4f %+14.4f   %.1e\n", f,
          iris_names{iris_species(f)}, fit(f), phi(:,k),
          sum (phi(:,k)) - (fit(f) - mean (fit)));
endfor
printf ("mean prediction over all flowers %.3f cm; petal length carries %.0f%% of the attribution\n",
        mean (fit), 100 * sum (abs (phi(3,:))) / sum (abs (phi(:))));
