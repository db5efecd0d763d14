## -*- texinfo -*-
## @deftypefn  {} {@var{idx} =} knnsearch (@var{X}, @var{Y})
## @deftypefnx {} {[@var{idx}, @var{D}] =} knnsearch (@var{X}, @var{Y}, @var{name}, @var{value}, @dots{})
## Find the exact K nearest rows of @var{X} to each row of @var{Y}.
##
## @var{X} (mx by p) holds the reference points and @var{Y} (my by p) the
## query points, one per row.  Row q of @var{idx} holds the row numbers in
## @var{X} of the K points nearest to @code{@var{Y}(q,:)} by increasing
## distance, and the same row of @var{D} their distances.  Every search is
## exhaustive and exact: equal distances come in order of their row numbers
## and NaN distances come last, as a stable full sort of each query's
## distances would give them.
##
## The work is done in single precision when @var{X} or @var{Y} is single
## (@var{D} is then single; @var{idx} is always double), else in double.
## Integer and logical inputs are read as double, sparse ones as full.  An empty @var{Y} gives
## empty results with K columns.
##
## Options, given as name-value pairs; names are case-insensitive and any
## unambiguous prefix will do (@code{"dist"}, @code{"k"}):
##
## @table @asis
## @item @qcode{"K"}
## Number of neighbours, a positive whole number (default 1).  Above the
## number of rows of @var{X}, all of them are returned.
##
## @item @qcode{"Distance"}
## The metric (default @qcode{"euclidean"}), one of:
##
## @table @asis
## @item @qcode{"euclidean"}
## @itemx @qcode{"cityblock"}
## @itemx @qcode{"chebychev"} (also @qcode{"chebyshev"})
## @itemx @qcode{"minkowski"}
## Coordinate differences summed (or, for chebychev, maximised) in column
## order.  @qcode{"fasteuclidean"} is taken as @qcode{"euclidean"} and
## @qcode{"fastseuclidean"} as @qcode{"seuclidean"}: both are exact.
##
## @item @qcode{"seuclidean"}
## Euclidean distance between @code{@var{X} ./ @var{s}} and
## @code{@var{Y} ./ @var{s}}, with @var{s} the @qcode{"Scale"}.
##
## @item @qcode{"mahalanobis"}
## Euclidean distance between the whitened points @code{@var{X} / @var{R}}
## and @code{@var{Y} / @var{R}}, where @var{R} is the upper triangular
## Cholesky factor of the covariance @var{C}, @code{transpose (@var{R}) *
## @var{R} = @var{C}}.  The factor and the triangular solves are computed
## column by column in a fixed order.
##
## @item @qcode{"cosine"}
## One minus the cosine of the angle between the rows.  Each row is scaled
## to unit length @var{u}, and the distance is computed as
## @code{sum ((@var{u} - @var{v}).^2) / 2} with the terms added in column
## order: equal to @code{1 - cos} in exact arithmetic, reproducible to the
## bit, and more accurate than @code{1 - dot (@var{u}, @var{v})} for
## near neighbours.  A row of zeros has NaN distances.
##
## @item @qcode{"correlation"}
## The cosine distance between the rows after the mean of each row has
## been subtracted from it.  A constant row has NaN distances.
##
## @item @qcode{"spearman"}
## The correlation distance between the ranks of the rows' values (tied
## values share the mean of their ranks).  A row holding NaN has NaN
## distances.
##
## @item @qcode{"hamming"}
## The share of coordinates that differ.
##
## @item @qcode{"jaccard"}
## The share of differing coordinates among those where at least one of the
## two rows is nonzero; two rows of zeros are at distance 0.
##
## @item a function handle
## @code{@var{d} = @var{f} (@var{zi}, @var{ZJ})} returns the distances of
## the row @var{zi} to each row of @var{ZJ} as a column.
## @end table
##
## For hamming and jaccard, a NaN coordinate in either row makes the
## distance NaN; for the other named metrics NaN propagates through the
## arithmetic.
##
## @item @qcode{"P"}
## The minkowski exponent, positive and finite (default 2).
##
## @item @qcode{"Scale"}
## The seuclidean scales, one positive value per column (default: the
## standard deviation of each column of @var{X}, NaN left out).
##
## @item @qcode{"Cov"}
## The mahalanobis covariance, a symmetric positive definite p by p matrix
## (default: the covariance of the rows of @var{X} that hold no NaN).
##
## @item @qcode{"IncludeTies"}
## With true, @var{idx} and @var{D} are my by 1 cell arrays whose row q
## holds every point at a distance no greater than the K-th smallest, in
## the same order (default false).  When the K-th distance is NaN, row q
## holds K points.
##
## @item @qcode{"SortIndices"}
## Accepted for compatibility; the results are always sorted.
##
## @item @qcode{"NSMethod"}
## @qcode{"exhaustive"} (default) or @qcode{"kdtree"}; both give the same
## exact answer.
##
## @item @qcode{"BucketSize"}
## Accepted with @qcode{"kdtree"} and checked; it has no effect.
##
## @item @qcode{"Verbose"}
## With true, print the progress of long searches (default false).
## @end table
##
## The search runs in blocks of queries, so that Ctrl-C stops it within
## about a second and no block holds more than 8 MiB of distances.  The
## results never depend on the blocks.
##
## Example: the two nearest iris flowers to a new measurement.
##
## @example
## @group
## X = [5.1 3.5 1.4 0.2; 4.9 3.0 1.4 0.2; 7.0 3.2 4.7 1.4; 6.3 3.3 6.0 2.5];
## [idx, D] = knnsearch (X, [6.5 3.2 5.0 1.8], "K", 2)
##   @result{} idx = 3   4
##   @result{} D = 0.7071   1.2410
## @end group
## @end example
##
## @seealso{sort}
## @end deftypefn

function [idx, D] = knnsearch (X, Y, varargin)

  if (nargin < 2)
    print_usage ();
  endif

  [X, Y] = check_points (X, Y);
  opt = parse_options (varargin, columns (X));
  if (isa (X, "single") || isa (Y, "single"))
    X = single (X);
    Y = single (Y);
  endif
  K = min (opt.K, rows (X));

  [S, X, Y] = prepare_metric (opt, X, Y);
  if (opt.IncludeTies)
    [idx, D] = search_with_ties (S, X, Y, K, opt.Verbose);
  else
    [idx, D] = search_blocks (S, X, Y, K, opt.Verbose);
  endif

endfunction

## Both point sets: real 2-D numeric (or logical) matrices with equal
## column counts; integer and logical classes become double.
function [X, Y] = check_points (X, Y)
  X = one_point_set (X, "X");
  Y = one_point_set (Y, "Y");
  if (rows (X) == 0)
    error ("knnsearch: X must have at least one row.");
  endif
  if (rows (Y) == 0 && columns (Y) == 0)
    Y = zeros (0, columns (X), class (Y));
  endif
  if (columns (X) != columns (Y))
    error ("knnsearch: X and Y must have the same number of columns.");
  endif
  if (columns (X) == 0)
    error ("knnsearch: X and Y must have at least one column.");
  endif
endfunction

function A = one_point_set (A, name)
  if (! (isnumeric (A) || islogical (A)))
    error ("knnsearch: %s must be a numeric or logical matrix.", name);
  elseif (iscomplex (A))
    error ("knnsearch: %s must be real, not complex.", name);
  elseif (ndims (A) != 2)
    error ("knnsearch: %s must be a two-dimensional matrix.", name);
  endif
  if (issparse (A))
    A = full (A);
  endif
  if (! isa (A, "float"))
    A = double (A);
  endif
endfunction

## Name-value pairs: case-insensitive names, unambiguous prefixes, the
## last of repeated names wins; then the options that belong to one
## metric or one method are checked against it.
function opt = parse_options (args, p)
  names = {"K", "Distance", "P", "Scale", "Cov", "IncludeTies", ...
           "SortIndices", "NSMethod", "BucketSize", "Verbose"};
  opt = struct ("K", 1, "Distance", "euclidean", "P", 2, "Scale", [], ...
                "Cov", [], "IncludeTies", false, "SortIndices", true, ...
                "NSMethod", "exhaustive", "BucketSize", 50, "Verbose", false);
  given = struct ();
  for a = 1:2:numel (args)
    if (! (ischar (args{a}) && rows (args{a}) <= 1))
      error ("knnsearch: expected an option name in argument %d; write the name before its value, as in 'K', 3.",
             a + 2);
    endif
    name = __matchname__ ("knnsearch", args{a}, names, "option");
    if (a == numel (args))
      error ("knnsearch: option '%s' needs a value.", name);
    endif
    opt.(name) = check_option (name, args{a+1}, p);
    given.(name) = true;
  endfor

  metric = opt.Distance;
  if (! ischar (metric))
    metric = "function handle";
  endif
  belongs = {"P", "minkowski"; "Scale", "seuclidean"; "Cov", "mahalanobis"};
  for b = 1:rows (belongs)
    if (isfield (given, belongs{b,1}) && ! strcmp (metric, belongs{b,2}))
      error ("knnsearch: option '%s' applies only to the %s distance.",
             belongs{b,1}, belongs{b,2});
    endif
  endfor
  if (isfield (given, "BucketSize") && ! strcmp (opt.NSMethod, "kdtree"))
    error ("knnsearch: option 'BucketSize' applies only to NSMethod 'kdtree'.");
  endif
endfunction

function v = check_option (name, v, p)
  switch (name)
    case {"K", "BucketSize"}
      if (! (isnumeric (v) && isscalar (v) && isreal (v) && isfinite (v)
             && v >= 1 && v == fix (v)))
        error ("knnsearch: %s must be a positive whole number.", name);
      endif
      v = double (v);
    case "Distance"
      if (ischar (v) && rows (v) <= 1)
        v = __matchname__ ("knnsearch", v, {"euclidean", "seuclidean", "cityblock", ...
                            "chebychev", "chebyshev", "minkowski", ...
                            "mahalanobis", "cosine", "correlation", ...
                            "spearman", "hamming", "jaccard", ...
                            "fasteuclidean", "fastseuclidean"}, "distance");
        v = regexprep (v, '^fast', '');
        v = strrep (v, "chebyshev", "chebychev");
      elseif (! is_function_handle (v))
        error ("knnsearch: Distance must be a metric name or a function handle.");
      endif
    case "P"
      if (! (isnumeric (v) && isscalar (v) && isreal (v) && isfinite (v)
             && v > 0))
        error ("knnsearch: P must be a positive finite scalar.");
      endif
      v = double (v);
    case "Scale"
      if (! (isnumeric (v) && isreal (v) && isvector (v) && numel (v) == p
             && all (isfinite (v)) && all (v > 0)))
        error ("knnsearch: Scale must hold one positive finite value per column.");
      endif
      v = double (v(:).');
    case "Cov"
      if (! (isnumeric (v) && isreal (v) && ismatrix (v) && isequal (size (v), [p p])
             && all (isfinite (v(:)))))
        error ("knnsearch: Cov must be a finite real %d-by-%d matrix.", p, p);
      endif
      v = double (full (v));
      if (any (abs (v - v.')(:) > 8 * p * eps * max (abs (v(:)))))
        error ("knnsearch: Cov must be symmetric.");
      endif
    case {"IncludeTies", "SortIndices", "Verbose"}
      if (! ((islogical (v) || isnumeric (v)) && isscalar (v) && isreal (v)
             && (v == 0 || v == 1)))
        error ("knnsearch: %s must be true or false.", name);
      endif
      v = logical (v);
    case "NSMethod"
      if (! (ischar (v) && rows (v) <= 1))
        error ("knnsearch: NSMethod must be 'exhaustive' or 'kdtree'.");
      endif
      v = __matchname__ ("knnsearch", v, {"exhaustive", "kdtree"}, "NSMethod");
  endswitch
endfunction

## The search plan S for the metric, with X and Y transformed where the
## metric reduces to another one on new coordinates.  S.kind is "kernel"
## (the exhaustive scan without a distance matrix) or "block" (blocks of
## distances, then row selection).
function [S, X, Y] = prepare_metric (opt, X, Y)
  S = struct ("kind", "kernel", "metric", "euclidean", "param", [],
              "halfsq", false, "cost", 1, "dist", []);
  metric = opt.Distance;
  if (is_function_handle (metric))
    S.kind = "block";
    S.dist = @(Xc, Yb) handle_block (metric, Xc, Yb);
    return;
  endif
  cls = class (X);
  switch (metric)
    case {"euclidean", "cityblock", "chebychev"}
      S.metric = metric;
    case "minkowski"
      S.metric = metric;
      S.param = opt.P;
      S.cost = 60;   # one pow per coordinate term
    case "seuclidean"
      s = opt.Scale;
      if (isempty (s))
        s = column_scales (X);
      endif
      X = cast (double (X) ./ s, cls);
      Y = cast (double (Y) ./ s, cls);
    case "mahalanobis"
      C = opt.Cov;
      if (isempty (C))
        C = covariance (X);
      endif
      R = cholesky_upper (C, isempty (opt.Cov));
      X = cast (right_solve_upper (double (X), R), cls);
      Y = cast (right_solve_upper (double (Y), R), cls);
    case {"cosine", "correlation", "spearman"}
      X = unit_rows (X, metric);
      Y = unit_rows (Y, metric);
      S.halfsq = true;
    case "hamming"
      S.kind = "block";
      S.dist = @hamming_block;
    case "jaccard"
      S.kind = "block";
      S.dist = @jaccard_block;
  endswitch
endfunction

## Default seuclidean scales: each column's standard deviation over its
## non-NaN values, mean and squares summed in row order.
function s = column_scales (X)
  p = columns (X);
  s = zeros (1, p);
  for c = 1:p
    v = double (X(! isnan (X(:,c)), c));
    n = numel (v);
    if (n > 1)
      d = v - sum (v) / n;
      s(c) = sqrt (sum (d .* d) / (n - 1));
    endif
  endfor
  bad = find (! (s > 0 & isfinite (s)), 1);
  if (! isempty (bad))
    error ("knnsearch: column %d of X has no positive finite spread, so it has no default scale; give 'Scale'.",
           bad);
  endif
endfunction

## Default mahalanobis covariance of the rows of X without NaN.  Sums
## run over fixed blocks of rows, in row order within a block and block
## after block, so every entry is reproducible and C exactly symmetric.
function C = covariance (X)
  X = double (X(! any (isnan (X), 2), :));
  [n, p] = size (X);
  if (n <= p)
    error ("knnsearch: X has %d rows without NaN, too few for a %d-column covariance; give 'Cov'.",
           n, p);
  endif
  mu = sum (X, 1) / n;
  C = zeros (p);
  for r = row_blocks (n, p)
    Xb = X(r{1},:) - mu;
    for c = 1:p
      C(:,c) += sum (Xb .* Xb(:,c), 1).';
    endfor
  endfor
  C /= n - 1;
endfunction

## Blocks of about 64k values of a matrix with P columns, as a cell row
## of index ranges; fixed by the shape alone.
function blocks = row_blocks (n, p)
  B = max (1, floor (65536 / p));
  blocks = arrayfun (@(r0) r0:min (n, r0 + B - 1), 1:B:n, "uniformoutput", false);
endfunction

## Upper Cholesky factor, R' * R = C, row by row with the updates in a
## fixed order; uses the upper triangle of C.
function R = cholesky_upper (C, from_data)
  p = rows (C);
  R = zeros (p);
  for j = 1:p
    v = C(j, j:p);
    for k = 1:j-1
      v -= R(k,j) * R(k, j:p);
    endfor
    if (! (v(1) > 0 && isfinite (v(1))))
      if (from_data)
        error ("knnsearch: the covariance of X is not positive definite; give 'Cov'.");
      endif
      error ("knnsearch: Cov must be positive definite.");
    endif
    R(j,j) = sqrt (v(1));
    R(j, j+1:p) = v(2:end) / R(j,j);
  endfor
endfunction

## Z = A / R for upper triangular R, column by column in a fixed order.
function Z = right_solve_upper (A, R)
  Z = A;
  for j = 1:columns (A)
    acc = A(:,j);
    for k = 1:j-1
      acc -= Z(:,k) * R(k,j);
    endfor
    Z(:,j) = acc / R(j,j);
  endfor
endfunction

## Rows made ready for the cosine form: ranked (spearman), less their
## mean (correlation, spearman), divided by their length.  Each row is
## scaled by its largest magnitude first, so the squares neither overflow
## nor underflow; rows of zeros and rows with Inf or NaN become NaN.
## Small blocks of rows keep the temporaries small.
function U = unit_rows (A, metric)
  U = zeros (size (A), class (A));
  for r = row_blocks (rows (A), columns (A))
    a = A(r{1},:);
    if (strcmp (metric, "spearman"))
      a = row_ranks (a);
    endif
    if (! strcmp (metric, "cosine"))
      a -= sum (a, 2) / columns (a);
    endif
    a ./= max (abs (a), [], 2);
    a ./= sqrt (sum (a .* a, 2));
    a(any (isnan (a), 2), :) = NaN;
    U(r{1},:) = a;
  endfor
endfunction

## Ranks of each row's values, tied values sharing the mean of their
## ranks; a row with NaN becomes all NaN.
function R = row_ranks (A)
  [m, n] = size (A);
  [s, o] = sort (A, 2);
  pos = repmat (1:n, m, 1);
  starts = [true(m, 1), s(:,2:n) != s(:,1:n-1)];
  ends = [starts(:,2:n), true(m, 1)];
  first = cummax (pos .* starts, 2);
  last = pos;
  last(! ends) = Inf;
  last = fliplr (cummin (fliplr (last), 2));
  R = zeros (m, n, class (A));
  R(sub2ind ([m n], repmat ((1:m).', 1, n), o)) = (first + last) / 2;
  R(any (isnan (A), 2), :) = NaN;
endfunction

function d = hamming_block (Xc, Yb)
  d = differing (Xc, Yb) / columns (Xc);
  d(any (isnan (Yb), 2) | any (isnan (Xc), 2).') = NaN;
endfunction

function d = jaccard_block (Xc, Yb)
  ne = nz = zeros (rows (Yb), rows (Xc), class (Xc));
  for c = 1:columns (Xc)
    diff = Yb(:,c) != Xc(:,c).';
    ne += diff;
    ## Where the two agree, the pair counts when the query's value is nonzero.
    nz += diff | (Yb(:,c) != 0);
  endfor
  d = ne ./ nz;
  d(nz == 0) = 0;
  d(any (isnan (Yb), 2) | any (isnan (Xc), 2).') = NaN;
endfunction

## Count of differing coordinates, query by reference (exact integers).
function n = differing (Xc, Yb)
  n = zeros (rows (Yb), rows (Xc), class (Xc));
  for c = 1:columns (Xc)
    n += Yb(:,c) != Xc(:,c).';
  endfor
endfunction

## Distances from the user's function, one call per query.
function d = handle_block (f, Xc, Yb)
  nc = rows (Xc);
  d = zeros (rows (Yb), nc, class (Xc));
  for q = 1:rows (Yb)
    v = f (Yb(q,:), Xc);
    if (! ((isnumeric (v) || islogical (v)) && isreal (v) && numel (v) == nc))
      error ("knnsearch: the distance function must return a real column with one value per row of its second argument.");
    endif
    d(q,:) = cast (v(:).', class (d));
  endfor
endfunction

## K nearest for every query, in blocks of queries.  Kernel blocks are
## sized from measured time (about a third of a second each, so Ctrl-C acts
## quickly while few blocks keep the kernel's per-call copy of X rare);
## distance blocks from the memory budget.
function [idx, D] = search_blocks (S, X, Y, K, verbose)
  my = rows (Y);
  idx = zeros (my, K);
  D = zeros (my, K, class (X));
  q0 = 1;
  nq = first_block (S, X, my);
  while (q0 <= my)
    q = q0:min (my, q0 + nq - 1);
    t0 = tic ();
    [idx(q,:), D(q,:)] = one_block (S, X, Y(q,:), K);
    if (strcmp (S.kind, "kernel"))
      nq = next_block (toc (t0), numel (q), my);
    endif
    q0 = q(end) + 1;
    report (verbose, q(end), my);
  endwhile
endfunction

## With ties: search K2 = 2 K neighbours, and again with K2 doubled for
## the queries whose K2-th distance still equals their K-th, in batches
## small enough for the budget however far K2 grows.
function [idx, D] = search_with_ties (S, X, Y, K, verbose)
  my = rows (Y);
  mx = rows (X);
  idx = cell (my, 1);
  D = cell (my, 1);
  nq = first_block (S, X, my);
  for q0 = 1:nq:my
    todo = (q0:min (my, q0 + nq - 1)).';
    k2 = min (mx, 2 * K);
    step = numel (todo);
    while (! isempty (todo))
      more = [];
      for b0 = 1:step:numel (todo)
        q = todo(b0:min (end, b0 + step - 1));
        [ib, db] = one_block (S, X, Y(q,:), k2);
        want = last_tie (db, K);
        again = want == k2 & k2 < mx;
        for r = find (! again).'
          idx{q(r)} = ib(r, 1:want(r));
          D{q(r)} = db(r, 1:want(r));
        endfor
        more = [more; q(again)];
      endfor
      todo = more;
      k2 = min (mx, 2 * k2);
      step = max (1, floor (budget (X) / k2));
    endwhile
    report (verbose, min (my, q0 + nq - 1), my);
  endfor
endfunction

## How many leading entries of each sorted row are no greater than the
## row's K-th (the K-th and its equals; just K when it is NaN).
function n = last_tie (d, K)
  n = K + sum (d(:, K+1:end) == d(:,K), 2);
endfunction

## A first block of queries: for the kernel, a third of a second's worth
## at an assumed term rate (a modest one for 512-bit vectors), else as many
## queries as fit the budget.
function nq = first_block (S, X, my)
  per_query = rows (X) * columns (X) * S.cost;
  if (strcmp (S.kind, "kernel"))
    rate = 2e10 * (1 + isa (X, "single"));
    nq = floor (0.35 * rate / per_query);
  else
    nq = floor (budget (X) / rows (X));
  endif
  nq = min (max (nq, 1), max (my, 1));
endfunction

## Next kernel block from the measured time of the last one, aiming at
## a third of a second and growing at most fourfold per step.
function nq = next_block (secs, done, my)
  want = floor (done * 0.35 / max (secs, 1e-6));
  nq = min ([max(want, 1), 4 * done, max(my, 1)]);
endfunction

## Distances per block: 8 MiB of them, small enough for the allocator to
## reuse block after block (well inside the 64 MiB bound).
function n = budget (X)
  n = 2^23 / sizeof (zeros (1, 1, class (X)));
endfunction

function [idx, D] = one_block (S, X, Yb, K)
  if (strcmp (S.kind, "kernel"))
    [idx, D] = __nearscan__ (X, Yb, K, S.metric, S.param);
    if (S.halfsq)
      D = half_square (X, Yb, idx);
    endif
  else
    [idx, D] = select_block (S, X, Yb, K);
  endif
endfunction

## Half the squared distance between the unit rows, summed in column order
## exactly as the scan ordered them, so the order and the values agree.
function D = half_square (X, Yb, idx)
  acc = zeros (size (idx), class (X));
  for c = 1:columns (X)
    diff = reshape (X(idx,c), size (idx)) - Yb(:,c);
    acc += diff .* diff;
  endfor
  D = acc / 2;
endfunction

## Distances of a block of queries against reference chunks that fit the
## budget, K smallest per chunk, then the K smallest of those.  Chunks
## are kept in row order, so equal distances still come by row number.
function [idx, D] = select_block (S, X, Yb, K)
  mx = rows (X);
  nc = min (mx, max (1, floor (budget (X) / rows (Yb))));
  if (nc == mx)
    [idx, D] = __rowsmallest__ (S.dist (X, Yb), K);
    return;
  endif
  ic = [];
  dc = [];
  for c0 = 1:nc:mx
    c = c0:min (mx, c0 + nc - 1);
    [i, d] = __rowsmallest__ (S.dist (X(c,:), Yb), min (K, numel (c)));
    ic = [ic, i + (c0 - 1)];
    dc = [dc, d];
  endfor
  [o, D] = __rowsmallest__ (dc, K);
  idx = ic(sub2ind (size (ic), repmat ((1:rows (o)).', 1, K), o));
endfunction

function report (verbose, done, my)
  if (verbose)
    printf ("knnsearch: %d of %d queries done\n", done, my);
    fflush (stdout);
  endif
endfunction

## Plain reference: every distance by its textbook formula, then a stable
## ascending sort of each row (NaN last), cut after K.
%!function [idx, D, full] = ref_knn (X, Y, K, metric, arg)
%!  full = zeros (rows (Y), rows (X));
%!  for i = 1:rows (Y)
%!    for j = 1:rows (X)
%!      a = Y(i,:);  b = X(j,:);
%!      hasnan = any (isnan ([a b]));
%!      switch (metric)
%!        case "euclidean",   d = sqrt (sum ((b - a).^2));
%!        case "seuclidean",  d = sqrt (sum (((b - a) ./ arg).^2));
%!        case "cityblock",   d = sum (abs (b - a));
%!        case "chebychev",   d = max (abs (b - a));
%!        case "minkowski",   d = sum (abs (b - a).^arg)^(1 / arg);
%!        case "mahalanobis", d = sqrt ((b - a) / arg * (b - a)');
%!        case "cosine",      d = 1 - a * b' / (norm (a) * norm (b));
%!        case "correlation"
%!          a -= mean (a);  b -= mean (b);
%!          d = 1 - a * b' / (norm (a) * norm (b));
%!        case "spearman"
%!          a = tied_ranks (a) - (numel (a) + 1) / 2;
%!          b = tied_ranks (b) - (numel (b) + 1) / 2;
%!          d = 1 - a * b' / (norm (a) * norm (b));
%!        case "hamming",     d = mean (a != b);
%!        case "jaccard"
%!          nz = a != 0 | b != 0;
%!          d = sum (a != b) / max (sum (nz), 1);
%!      endswitch
%!      if (hasnan)
%!        d = NaN;
%!      endif
%!      full(i,j) = d;
%!    endfor
%!  endfor
%!  [D, idx] = sort (full, 2);
%!  idx = idx(:,1:K);
%!  D = D(:,1:K);
%!endfunction
%!function r = tied_ranks (a)
%!  r = zeros (size (a));
%!  s = sort (a);
%!  for v = unique (a)
%!    r(a == v) = mean (find (s == v));
%!  endfor
%!endfunction

## Metrics with exact values (integer data, many ties, NaN rows): the very
## same indices and bits as the reference, in double and in single.
%!test
%! rand ("seed", 3);
%! X = floor (4 * rand (40, 3));  Y = floor (4 * rand (9, 3));
%! X(5,2) = NaN;  Y(4,1) = NaN;  X(7,:) = 0;  Y(2,:) = 0;
%! for m = {"euclidean", "cityblock", "chebychev", "hamming", "jaccard"}
%!   [ir, Dr] = ref_knn (X, Y, 40, m{1});
%!   [idx, D] = knnsearch (X, Y, "K", 6, "Distance", m{1});
%!   assert (idx, ir(:,1:6));
%!   assert (D, Dr(:,1:6));
%!   [idx, D] = knnsearch (X, Y, "K", 50, "Distance", m{1});
%!   assert (idx, ir);
%!   assert (D, Dr);
%!   [idx, D] = knnsearch (single (X), Y, "K", 6, "Distance", m{1});
%!   assert (class (D), "single");
%!   assert (idx, ir(:,1:6));
%!   assert (D, single (Dr(:,1:6)));
%! endfor
%! [ir, Dr] = ref_knn (X, Y, 5, "minkowski", 1.5);
%! [idx, D] = knnsearch (X, Y, "K", 5, "Distance", "minkowski", "P", 1.5);
%! assert ({idx, D}, {ir, Dr});

## Metrics on transformed coordinates, against the textbook formulas on
## continuous data; spearman's equal rank patterns may tie either way, so
## its rows are checked by value.
%!test
%! randn ("state", 5);
%! X = randn (60, 4) .* [1 3 0.5 2];  Y = randn (7, 4) .* [1 3 0.5 2];
%! X(3,:) = 0;  X(9,:) = 2;  Y(5,2) = NaN;
%! s = [0.5 2 1 4];  C = [2 0.3 0 0; 0.3 1 0.2 0; 0 0.2 3 0.1; 0 0 0.1 1];
%! Xn = X(! any (isnan (X), 2),:);
%! cases = {"seuclidean", s, {"Scale", s}; "seuclidean", std(X), {};
%!          "mahalanobis", C, {"Cov", C}; "mahalanobis", cov(Xn), {};
%!          "cosine", [], {}; "correlation", [], {}; "spearman", [], {}};
%! for c = 1:rows (cases)
%!   [ir, Dr, full] = ref_knn (X, Y, 5, cases{c,1}, cases{c,2});
%!   [idx, D] = knnsearch (X, Y, "K", 5, "Distance", cases{c,1}, cases{c,3}{:});
%!   assert (D, Dr, 1e-12);
%!   assert (full(sub2ind (size (full), repmat ((1:7)', 1, 5), idx)), D, 1e-12);
%!   if (! strcmp (cases{c,1}, "spearman"))
%!     assert (idx(! isnan (D)), ir(! isnan (D)));
%!   endif
%!   assert (all (isnan (D(5,:))));
%! endfor
%! ## A function handle sees each query row against the reference rows.
%! f = @(zi, ZJ) sum (abs (ZJ - zi), 2);
%! assert (knnsearch (X, Y, "K", 5, "Distance", f), knnsearch (X, Y, "K", 5, "Distance", "cityblock"));

## IncludeTies: every point as near as the K-th, in full-sort order, also
## when the ties outnumber the first guess; a NaN K-th keeps K points.
%!test
%! X = [1; 2; 0; 3; -1; 1];
%! [idx, D] = knnsearch (X, [1; 0.5], "K", 3, "IncludeTies", true);
%! assert (idx, {[1 6 2 3]; [1 3 6]});
%! assert (D, {[0 0 1 1]; [0.5 0.5 0.5]});
%! [idx, D] = knnsearch (X, [1; 0.5], "K", 1, "IncludeTies", true, "Distance", "hamming");
%! assert (idx, {[1 6]; (1:6)});
%! [idx, D] = knnsearch ([ones(70, 1); 0], [1; 0], "K", 3, "IncludeTies", 1);
%! assert (idx, {1:70; [71 1:70]});
%! [idx, D] = knnsearch ([NaN; NaN; 1], 0, "K", 2, "IncludeTies", true);
%! assert ({idx, D}, {{[3 1]}, {[1 NaN]}});
%! [idx, D] = knnsearch (X, zeros (0, 1), "IncludeTies", true);
%! assert (size (idx), [0 1]);

## Shapes and classes, option names and values, and the W2 route giving
## the kernel's bits.
%!test
%! X = [0 0; 1 1; 2 0; 5 5];
%! [idx, D] = knnsearch (X, zeros (0, 2), "K", 3);
%! assert (size (idx), [0 3]);  assert (size (D), [0 3]);
%! [idx, D] = knnsearch (X, single ([1 0]), "k", 9);
%! assert (idx, [1 2 3 4]);  assert (class (D), "single");
%! assert (knnsearch (int8 (X), logical ([1 0])), 1);
%! assert (knnsearch (sparse (X), [4 4]), 4);
%! assert (knnsearch (X, [1 0], 'dist', 'cityblock', 'k', 2), [1 2]);
%! [i1, d1] = knnsearch (X, [1 0], "DISTANCE", "chebyshev", "K", 2, ...
%!                       "SortIndices", false, "NSMethod", "kd", "BucketSize", 10);
%! assert ({i1, d1}, {[1 2], [1 1]});
%! assert (knnsearch (X, [1 0], "dist", "Mink", "P", 1), knnsearch (X, [1 0], "dist", "cityb"));
%! randn ("state", 2);
%! X = randn (500, 6);  Y = randn (300, 6);
%! [i1, d1] = knnsearch (X, Y, "K", 4, "Distance", "minkowski", "P", 3);
%! [i2, d2] = __nearscan__ (X, Y, 4, "minkowski", 3);
%! assert ({i1, d1}, {i2, d2});

%!error <Invalid call> knnsearch (1)
%!error <X must be a numeric or logical matrix> knnsearch ("ab", 1)
%!error <Y must be a numeric or logical matrix> knnsearch (1, {1})
%!error <X must be real, not complex> knnsearch (1i, 1)
%!error <Y must be a two-dimensional matrix> knnsearch (1, ones (1, 1, 2))
%!error <X must have at least one row> knnsearch (zeros (0, 2), [1 2])
%!error <same number of columns> knnsearch (ones (3, 2), ones (1, 3))
%!error <at least one column> knnsearch (ones (3, 0), ones (1, 0))
%!error <expected an option name in argument 3; .* 'K', 3> knnsearch (1, 1, 3)
%!error <option 'K' needs a value> knnsearch (1, 1, "K")
%!error <unknown option 'foo'; valid names are K, Distance> knnsearch (1, 1, "foo", 1)
%!error <ambiguous option 's'> knnsearch (1, 1, "s", 1)
%!error <K must be a positive whole number> knnsearch (1, 1, "K", 0)
%!error <K must be a positive whole number> knnsearch (1, 1, "K", 1.5)
%!error <K must be a positive whole number> knnsearch (1, 1, "K", Inf)
%!error <BucketSize must be a positive whole number> knnsearch (1, 1, "NSMethod", "kdtree", "BucketSize", -1)
%!error <unknown distance 'eucl '> knnsearch (1, 1, "Distance", "eucl ")
%!error <ambiguous distance 'c'> knnsearch (1, 1, "Distance", "c")
%!error <Distance must be a metric name or a function handle> knnsearch (1, 1, "Distance", 2)
%!error <P must be a positive finite scalar> knnsearch (1, 1, "Distance", "minkowski", "P", Inf)
%!error <P must be a positive finite scalar> knnsearch (1, 1, "Distance", "minkowski", "P", 0)
%!error <option 'P' applies only to the minkowski distance> knnsearch (1, 1, "P", 3)
%!error <option 'Scale' applies only to the seuclidean> knnsearch (1, 1, "Scale", 3)
%!error <option 'Cov' applies only to the mahalanobis> knnsearch (1, 1, "Cov", 3)
%!error <BucketSize' applies only to NSMethod 'kdtree'> knnsearch (1, 1, "BucketSize", 3)
%!error <Scale must hold one positive finite value per column> knnsearch ([1 2], [1 2], "Distance", "seuclidean", "Scale", [1 0])
%!error <Scale must hold one positive finite value per column> knnsearch ([1 2], [1 2], "Distance", "seuclidean", "Scale", 1)
%!error <column 2 of X has no positive finite spread> knnsearch ([1 2; 3 2], [1 2], "Distance", "seuclidean")
%!error <Cov must be a finite real 2-by-2 matrix> knnsearch ([1 2], [1 2], "Distance", "mahalanobis", "Cov", eye (3))
%!error <Cov must be a finite real 2-by-2 matrix> knnsearch ([1 2], [1 2], "Distance", "mahalanobis", "Cov", [1 NaN; NaN 1])
%!error <Cov must be symmetric> knnsearch ([1 2], [1 2], "Distance", "mahalanobis", "Cov", [1 0.5; 0 1])
%!error <Cov must be positive definite> knnsearch ([1 2], [1 2], "Distance", "mahalanobis", "Cov", [1 2; 2 1])
%!error <too few for a 2-column covariance> knnsearch ([1 2; 3 4], [1 2], "Distance", "mahalanobis")
%!error <covariance of X is not positive definite> knnsearch ([1 2; 2 4; 3 6; 4 8], [1 2], "Distance", "mahalanobis")
%!error <IncludeTies must be true or false> knnsearch (1, 1, "IncludeTies", 2)
%!error <NSMethod must be 'exhaustive' or 'kdtree'> knnsearch (1, 1, "NSMethod", 1)
%!error <unknown NSMethod 'ball'> knnsearch (1, 1, "NSMethod", "ball")
%!error <distance function must return a real column> knnsearch ([1; 2], 1, "Distance", @(a, B) [1 2 3])

%!demo
%! ## The three nearest reference points of two queries, by two metrics.
%! X = [0 0; 1 0; 0 1; 1 1; 2 2];
%! Y = [0.2 0.1; 1.6 1.9];
%! [idx, D] = knnsearch (X, Y, "K", 3)
%! [idx, D] = knnsearch (X, Y, "K", 3, "Distance", "cityblock")

%!demo
%! ## Ties: every point as near as the second nearest.
%! X = [1; 2; 0; 3; -1; 1];
%! [idx, D] = knnsearch (X, 0.5, "K", 2, "IncludeTies", true);
%! idx{1}, D{1}
