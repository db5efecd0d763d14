## Times __levelgap__ in its one-set form on 3000 x 20 level codes (2 to 12
## levels per column, skewed frequencies) under each of the sixteen
## measures, next to a vectorised plain Octave computation of sm.
1;

function D = sm_plain (X, w)
  ## Row i against every later row, one vectorised comparison per column,
  ## the weights summed in column order: the kernel's bits.
  n = rows (X);
  D = zeros (1, n * (n - 1) / 2);
  c = 0;
  neg = -1 / sum (w);
  for i = 1:n-1
    S = zeros (n - i, 1);
    for k = 1:columns (X)
      S += w(k) * (X(i+1:n,k) == X(i,k));
    endfor
    D(c+1:c+n-i) = 1 + S * neg;
    c += n - i;
  endfor
endfunction

rand ("seed", 20240611);
n = 3000;
p = 20;
X = zeros (n, p);
for j = 1:p
  L = 2 + mod (3 * j, 11);             # 2 to 12 levels
  X(:,j) = ceil (L * rand (n, 1) .^ 2);  # low codes common
endfor
w = ones (1, p);
names = {"sm", "eskin", "anderberg", "burnaby", "gambaryan", "goodall1", ...
         "goodall2", "goodall3", "goodall4", "iof", "lin", "lin1", "of", ...
         "smirnov", "ve", "vm"};

assert (__levelgap__ (X, [], [], "sm", w), sm_plain (X, w));
[bmed, ~] = time_runs (@() sm_plain (X, w), 3);
P = n * (n - 1) / 2;
printf ("%-34s %10s %10s %12s %8s\n", "one-set 3000 x 20", "median", "min", "plain sm", "ratio");
for m = 1:numel (names)
  [kmed, kmin] = time_runs (@() __levelgap__ (X, [], [], names{m}, w), 7);
  printf ("%-34s %10.4f %10.4f %12.4f %8.1f\n", ["levelgap " names{m}], kmed, kmin, bmed, bmed / kmed);
endfor
## Weights that are not whole numbers keep sm in doubles, the lanes the
## other measures sum in.
[kmed, kmin] = time_runs (@() __levelgap__ (X, [], [], "sm", w / 2), 7);
printf ("%-34s %10.4f %10.4f %12.4f %8.1f\n", "levelgap sm, weights 1/2 (doubles)", kmed, kmin, bmed, bmed / kmed);
if (exist ("__benchfloor__") == 3)
  ## The floor writes the result too: on a fresh result the page mapping
  ## and the writes cost as much as the compares, and no kernel avoids them.
  [both, cmp, res] = __benchfloor__ (int32 (X));
  smed = time_runs (@() __levelgap__ (X, [], [], "sm", w), 5);
  printf ("floor: a C loop of vector compares over the same pairs and columns, writing each pair's count as a double into a fresh %d-entry result: %.4f s; sm at %.1fx\n",
          P, both, smed / both);
  printf ("       its parts alone: the compares %.4f s (sm at %.1fx), the fresh result written %.4f s\n",
          cmp, smed / cmp, res);
endif
[zmed, ~] = time_runs (@() zeros (1, P), 5);
printf ("floor: %d pairs x %d variables = %.1f million compares; the %d-entry result alone (zeros (1, P)) takes %.4f s to allocate and fill\n",
        P, p, P * p / 1e6, P, zmed);
