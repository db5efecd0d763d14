## __nearscan__ on the iris measurements: leave-one-out nearest-neighbour
## classification of the species under each metric, with one and with five
## neighbours.  Expects iris_X (150x4) and iris_species (150x1) loaded.

n = rows (iris_X);
self = (1:n).';
printf ("__nearscan__: leave-one-out species accuracy on iris (%d flowers)\n", n);
metrics = {"euclidean", [];  "cityblock", [];  "chebychev", [];
           "minkowski", 3;   "minkowski", 0.5};
for m = 1:rows (metrics)
  [idx, D] = __nearscan__ (iris_X, iris_X, 6, metrics{m,1}, metrics{m,2});
  ## Each flower finds itself (or an identical twin earlier in the table)
  ## at distance 0; drop the flower itself and keep the next five.
  nb = zeros (n, 5);
  for i = 1:n
    row = idx(i, idx(i,:) != i);
    nb(i,:) = row(1:5);
  endfor
  acc1 = mean (iris_species(nb(:,1)) == iris_species);
  acc5 = mean (mode (iris_species(nb), 2) == iris_species);
  name = metrics{m,1};
  if (! isempty (metrics{m,2}))
    name = sprintf ("%s p=%g", name, metrics{m,2});
  endif
  printf ("  %-15s 1-NN %5.1f%%   5-NN vote %5.1f%%\n", name, 100 * acc1, 100 * acc5);
endfor

## Identical measurements: the nearest other flower is at distance zero.
[idx, D] = __nearscan__ (iris_X, iris_X, 2, "euclidean", []);
twins = find (D(:,2) == 0 & idx(:,2) > self);
printf ("  exact twins (distance 0): %s\n",
        strjoin (arrayfun (@(t) sprintf ("rows %d and %d", t, idx(t,2)), twins,
                           "uniformoutput", false)', "; "));

## Single precision runs the whole search in single: distances that differ
## only beyond single precision tie there and fall back to row order, so
## the lists of some flowers come out in another order.
[idx1, D1] = __nearscan__ (single (iris_X), iris_X, 6, "euclidean", []);
[idx2, D2] = __nearscan__ (iris_X, iris_X, 6, "euclidean", []);
same = all (idx1 == idx2, 2);
sameset = all (sort (idx1(:,1:5), 2) == sort (idx2(:,1:5), 2), 2);
printf ("  single precision (D is %s): same 6 neighbours in the same order for %d flowers, same first 5 as a set for %d; largest distance change %.2g\n",
        class (D1), sum (same), sum (sameset), max (abs (double (D1(:)) - D2(:))));
