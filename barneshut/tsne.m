## -*- texinfo -*-
## @deftypefn  {} {@var{Y} =} tsne (@var{X})
## @deftypefnx {} {[@var{Y}, @var{loss}] =} tsne (@var{X}, @var{name}, @var{value}, @dots{})
## Map the rows of @var{X} to a few dimensions by t-distributed stochastic
## neighbour embedding (t-SNE).
##
## @var{X} is n by p real data, one point per row.  @var{Y} is n by
## NumDimensions: rows of @var{X} that are near each other get rows of
## @var{Y} that are near each other.  @var{loss} is the Kullback-Leibler
## divergence of the map's neighbour probabilities from the data's at the
## returned @var{Y} (with the Barnes-Hut normaliser for
## @qcode{"barneshut"}).  Rows of @var{X} holding NaN take no part: they
## get rows of NaN in @var{Y}, so the rows stay aligned.
##
## Each point's neighbour probabilities are Gaussian in the squared
## distance to its K = min (n - 1, floor (3 * Perplexity)) exact nearest
## neighbours (all other points for @qcode{"exact"}), found by
## @code{knnsearch}; each point's Gaussian is narrowed or widened by
## bisection until its perplexity matches within 1e-5 in entropy.  The
## map is then found by gradient descent with momentum and per-coordinate
## gains; the attraction is summed over the neighbour pairs in a fixed
## order and the repulsion by the Barnes-Hut method.
##
## The defaults are the current best practice rather than older ones: a
## start from principal components (option @qcode{"InitialY"} to give
## another), an automatic learning rate (@qcode{"LearnRate"}) and an
## exaggeration of 12 (@qcode{"Exaggeration"}) for the first 250
## iterations, with momentum 0.5 during those and 0.8 after, when the steps
## and gains also start afresh.
##
## Options, given as name-value pairs; names are case-insensitive and any
## unambiguous prefix will do:
##
## @table @asis
## @item @qcode{"Algorithm"}
## @qcode{"barneshut"} (default) or @qcode{"exact"}: all pairs of points,
## for small n.
##
## @item @qcode{"Distance"}
## Any metric name @code{knnsearch} takes, or a function handle as it
## takes (default @qcode{"euclidean"}).
##
## @item @qcode{"NumDimensions"}
## Columns of @var{Y}: 1 to 3 for @qcode{"barneshut"}, any positive whole
## number for @qcode{"exact"} (default 2).
##
## @item @qcode{"NumPCAComponents"}
## 0 (default) or a positive whole number: @var{X} is first projected on
## its leading principal components.
##
## @item @qcode{"Perplexity"}
## The effective number of neighbours, positive and below n (default 30).
##
## @item @qcode{"Exaggeration"}
## Factor on the attraction for the first 250 iterations, at least 1
## (default 12).
##
## @item @qcode{"LearnRate"}
## Positive, or @qcode{"auto"} (default): max (n / Exaggeration / 4, 50).
##
## @item @qcode{"Theta"}
## Barnes-Hut opening criterion, non-negative (default 0.5); 0 gives the
## exact repulsion.  @qcode{"barneshut"} only.
##
## @item @qcode{"Standardize"}
## With true, centre each column and divide it by its standard deviation
## first (default false).
##
## @item @qcode{"InitialY"}
## The n by NumDimensions start.  By default the leading principal
## components of the data, scaled so that the first has standard
## deviation 1e-4.
##
## @item @qcode{"Options"}
## A structure with any of the fields @code{MaxIter} (iterations, default
## 1000), @code{TolFun} (stop when the gradient norm falls below it,
## default 1e-10; only once the exaggeration is over and the map spans
## more than one unit, since a collapsed map has a vanishing gradient) and
## @code{OutputFcn}; other fields are ignored.
## @code{OutputFcn} is a function handle (or cell array of them) called as
## @code{@var{stop} = @var{f} (@var{optimValues}, @var{state})} before the
## first iteration (@var{state} @qcode{"init"}), every NumPrint
## iterations (@qcode{"iter"}) and at the end (@qcode{"done"}), with the
## fields @code{iteration}, @code{fval} (the loss), @code{grad},
## @code{Y} and @code{exaggeration}; returning true stops the descent.
##
## @item @qcode{"NumPrint"}
## How often progress is reported, in iterations (default 20).
##
## @item @qcode{"Verbose"}
## 0 (default), 1: a line every NumPrint iterations with the iteration, the
## loss, the gradient norm and the time so far, or 2: also a summary of the
## perplexity calibration.
## @end table
##
## No random numbers are drawn.  With the default start the same call gives
## the same @var{Y} to the bit, whatever the build of the package's kernels:
## every sum is formed in a fixed order, and the principal components are
## found by elementwise arithmetic rather than by BLAS or LAPACK, whose
## bits depend on the processor and the threads (between machines, only the
## C library's @code{exp} and @code{log} could still differ).  Identical
## rows of @var{X} start at the same point; the repulsion takes such a group
## as one body, so large groups of duplicates cost no more than one point.
## Ctrl-C stops a run between iterations.
##
## Example: a map of three clusters.
##
## @example
## @group
## X = [randn(100, 10); randn(100, 10) + 4; randn(100, 10) - 4];
## [Y, loss] = tsne (X, "Perplexity", 20);
## scatter (Y(:,1), Y(:,2), 8, repelem ((1:3)', 100));
## @end group
## @end example
##
## @seealso{knnsearch}
## @end deftypefn

function [Y, loss] = tsne (X, varargin)

  if (nargin < 1)
    print_usage ();
  endif

  X = check_data (X);
  keep = ! any (isnan (X), 2);
  n = nnz (keep);
  opt = parse_options (varargin, rows (X), n);
  X = X(keep,:);
  if (opt.Standardize)
    X = standardize (X);
  endif
  if (opt.NumPCAComponents > 0)
    X = pca_scores (X, min (opt.NumPCAComponents, columns (X)));
  endif

  t0 = tic ();
  P = affinities (X, opt, t0);
  if (isempty (opt.InitialY))
    Y0 = pca_start (X, opt.NumDimensions);
  else
    Y0 = opt.InitialY(keep,:);
    if (! all (isfinite (Y0(:))))
      error ("tsne: InitialY must be finite in the rows where X has no NaN.");
    endif
  endif
  [Yk, loss] = descend (P, Y0, opt, t0);

  Y = NaN (numel (keep), opt.NumDimensions);
  Y(keep,:) = Yk;

endfunction

## Real two-dimensional numeric data; integer, logical and single become
## double, sparse becomes full.  Infinities are refused: no distance or
## principal component could be formed with them.
function X = check_data (X)
  if (! (isnumeric (X) || islogical (X)) || iscomplex (X) || ndims (X) != 2
      || isempty (X))
    error ("tsne: X must be a non-empty real numeric matrix.");
  endif
  X = double (full (X));
  if (any (isinf (X(:))))
    error ("tsne: X must not hold infinite values.");
  endif
endfunction

## Name-value pairs: case-insensitive names, unambiguous prefixes, the last
## of repeated names wins; then the checks that tie options together.
function opt = parse_options (args, nall, n)
  names = {"Algorithm", "Distance", "NumDimensions", "NumPCAComponents", ...
           "Perplexity", "Exaggeration", "LearnRate", "Theta", ...
           "Standardize", "InitialY", "Options", "NumPrint", "Verbose"};
  opt = struct ("Algorithm", "barneshut", "Distance", "euclidean",
                "NumDimensions", 2, "NumPCAComponents", 0, "Perplexity", 30,
                "Exaggeration", 12, "LearnRate", "auto", "Theta", 0.5,
                "Standardize", false, "InitialY", [], "Options", struct (),
                "NumPrint", 20, "Verbose", 0);
  given = struct ();
  for a = 1:2:numel (args)
    if (! (ischar (args{a}) && rows (args{a}) <= 1))
      error ("tsne: expected an option name in argument %d; write the name before its value, as in 'Perplexity', 20.",
             a + 1);
    endif
    name = __matchname__ ("tsne", args{a}, names, "option");
    if (a == numel (args))
      error ("tsne: option '%s' needs a value.", name);
    endif
    opt.(name) = check_option (name, args{a+1});
    given.(name) = true;
  endfor

  if (n < 2)
    error ("tsne: X must have at least two rows without NaN.");
  endif
  if (opt.Perplexity >= n)
    error ("tsne: Perplexity must be below the number of rows without NaN (%d).", n);
  endif
  exact = strcmp (opt.Algorithm, "exact");
  if (exact && isfield (given, "Theta"))
    error ("tsne: option 'Theta' applies only to the barneshut algorithm.");
  endif
  if (! isempty (opt.InitialY))
    if (rows (opt.InitialY) != nall)
      error ("tsne: InitialY must have one row per row of X.");
    endif
    if (isfield (given, "NumDimensions")
        && columns (opt.InitialY) != opt.NumDimensions)
      error ("tsne: InitialY must have NumDimensions columns.");
    endif
    opt.NumDimensions = columns (opt.InitialY);
  endif
  if (! exact && opt.NumDimensions > 3)
    error ("tsne: NumDimensions must be 1, 2 or 3 for the barneshut algorithm.");
  endif
  if (exact)
    opt.Theta = 0;
  endif

  o = opt.Options;
  opt.MaxIter = field_or (o, "MaxIter", 1000);
  opt.TolFun = field_or (o, "TolFun", 1e-10);
  opt.OutputFcn = field_or (o, "OutputFcn", {});
  if (! (isnumeric (opt.MaxIter) && isscalar (opt.MaxIter)
         && isreal (opt.MaxIter) && opt.MaxIter >= 0
         && opt.MaxIter == fix (opt.MaxIter)))
    error ("tsne: Options.MaxIter must be a non-negative whole number.");
  endif
  if (! (isnumeric (opt.TolFun) && isscalar (opt.TolFun)
         && isreal (opt.TolFun) && opt.TolFun >= 0))
    error ("tsne: Options.TolFun must be a non-negative scalar.");
  endif
  if (is_function_handle (opt.OutputFcn))
    opt.OutputFcn = {opt.OutputFcn};
  endif
  if (! (iscell (opt.OutputFcn)
         && all (cellfun (@is_function_handle, opt.OutputFcn))))
    error ("tsne: Options.OutputFcn must be a function handle or a cell array of them.");
  endif

  if (strcmp (opt.LearnRate, "auto"))
    opt.LearnRate = max (n / opt.Exaggeration / 4, 50);
  endif
endfunction

## An empty or missing field takes its default, as statset leaves them.
function v = field_or (s, name, default)
  v = default;
  if (isfield (s, name) && ! isempty (s.(name)))
    v = s.(name);
  endif
endfunction

function tf = is_whole (v, lo)
  tf = (isnumeric (v) && isscalar (v) && isreal (v) && v >= lo
        && v == fix (v) && isfinite (v));
endfunction

function tf = is_positive (v)
  tf = (isnumeric (v) && isscalar (v) && isreal (v) && v > 0
        && isfinite (v));
endfunction

function v = check_option (name, v)
  switch (name)
    case "Algorithm"
      if (! (ischar (v) && rows (v) <= 1))
        error ("tsne: Algorithm must be 'barneshut' or 'exact'.");
      endif
      v = __matchname__ ("tsne", v, {"barneshut", "exact"}, "Algorithm");
    case "Distance"
      if (ischar (v) && rows (v) <= 1)
        v = __matchname__ ("tsne", v, {"euclidean", "seuclidean", "cityblock", ...
                            "chebychev", "chebyshev", "minkowski", ...
                            "mahalanobis", "cosine", "correlation", ...
                            "spearman", "hamming", "jaccard"}, "distance");
      elseif (! is_function_handle (v))
        error ("tsne: Distance must be a metric name or a function handle.");
      endif
    case "NumDimensions"
      if (! is_whole (v, 1))
        error ("tsne: NumDimensions must be a positive whole number.");
      endif
    case {"NumPCAComponents"}
      if (! is_whole (v, 0))
        error ("tsne: NumPCAComponents must be 0 or a positive whole number.");
      endif
    case "NumPrint"
      if (! is_whole (v, 1))
        error ("tsne: NumPrint must be a positive whole number.");
      endif
    case "Perplexity"
      if (! is_positive (v))
        error ("tsne: Perplexity must be a positive finite scalar.");
      endif
    case "Exaggeration"
      if (! (is_positive (v) && v >= 1))
        error ("tsne: Exaggeration must be a finite scalar of at least 1.");
      endif
    case "LearnRate"
      if (ischar (v) && strcmpi (v, "auto"))
        v = "auto";
      elseif (! is_positive (v))
        error ("tsne: LearnRate must be a positive finite scalar or 'auto'.");
      endif
    case "Theta"
      if (! (isnumeric (v) && isscalar (v) && isreal (v) && v >= 0
             && isfinite (v)))
        error ("tsne: Theta must be a non-negative finite scalar.");
      endif
    case "Standardize"
      if (! ((islogical (v) || isnumeric (v)) && isscalar (v) && isreal (v)
             && (v == 0 || v == 1)))
        error ("tsne: Standardize must be true or false.");
      endif
      v = logical (v);
    case "InitialY"
      if (! (isnumeric (v) && isreal (v) && ismatrix (v) && ! isempty (v)))
        error ("tsne: InitialY must be a real matrix.");
      endif
      v = double (full (v));
    case "Options"
      if (! (isstruct (v) && isscalar (v)))
        error ("tsne: Options must be a scalar structure.");
      endif
    case "Verbose"
      if (! (isnumeric (v) || islogical (v)) || ! isscalar (v)
          || ! any (v == [0 1 2]))
        error ("tsne: Verbose must be 0, 1 or 2.");
      endif
      v = double (v);
  endswitch
  if (isnumeric (v) && ! strcmp (name, "InitialY"))
    v = double (v);
  endif
endfunction

## Column means and standard deviations by plain sums in row order; a
## constant column is only centred.
function X = standardize (X)
  n = rows (X);
  X = X - sum (X, 1) / n;
  s = sqrt (sum (X .* X, 1) / (n - 1));
  s(s == 0) = 1;
  X = X ./ s;
endfunction

## The principal axes of the centred data XC: the leading K eigenvectors of
## its scatter matrix, by orthogonal iteration.  Only elementwise products
## and sums are used, whose order is fixed, so the axes do not depend on
## the BLAS or its threads; the sign of each axis makes its largest entry
## positive.
function V = principal_axes (Xc, k)
  [n, p] = size (Xc);
  C = zeros (p);
  block = max (1, floor (2^22 / p));
  for r = 1:block:n
    B = Xc(r:min (r + block - 1, n),:);
    for a = 1:p
      C(a:p,a) += sum (B(:,a:p) .* B(:,a), 1)';
    endfor
  endfor
  C = tril (C) + tril (C, -1)';

  ## Start from the columns of C with the largest variances.
  [~, order] = sort (diag (C), "descend");
  V = orthonormal (C(:,order(1:k)));
  for it = 1:1000
    W = zeros (p, k);
    for c = 1:k
      W(:,c) = sum (C .* V(:,c)', 2);
    endfor
    Vn = orthonormal (W);
    moved = 1 - abs (sum (Vn .* V, 1));
    V = Vn;
    if (all (moved < 1e-15))
      break;
    endif
  endfor
  for c = 1:k
    [~, m] = max (abs (V(:,c)));
    if (V(m,c) < 0)
      V(:,c) = -V(:,c);
    endif
  endfor
endfunction

## Modified Gram-Schmidt; a column that vanishes is replaced by the first
## unit vector that is not yet in the span.
function V = orthonormal (W)
  [p, k] = size (W);
  V = zeros (p, k);
  for c = 1:k
    v = W(:,c);
    for pass = 1:2
      for b = 1:c-1
        v -= sum (V(:,b) .* v) * V(:,b);
      endfor
    endfor
    len = sqrt (sum (v .* v));
    e = 0;
    while (! (len > 1e-12 * max (1, sqrt (sum (W(:,c) .* W(:,c))))) && e < p)
      e += 1;
      v = zeros (p, 1);
      v(e) = 1;
      for b = 1:c-1
        v -= sum (V(:,b) .* v) * V(:,b);
      endfor
      len = sqrt (sum (v .* v));
    endwhile
    V(:,c) = v / len;
  endfor
endfunction

## The coordinates of the rows of X on its K leading principal axes.
function S = pca_scores (X, k)
  n = rows (X);
  Xc = X - sum (X, 1) / n;
  V = principal_axes (Xc, k);
  S = zeros (n, k);
  for c = 1:k
    S(:,c) = sum (Xc .* V(:,c)', 2);
  endfor
endfunction

## The default start: the leading principal components, scaled so that
## the first has standard deviation 1e-4; components beyond the rank of
## the data are zero, as is every coordinate when all rows coincide.
function Y = pca_start (X, nd)
  k = min (nd, columns (X));
  Y = zeros (rows (X), nd);
  Y(:,1:k) = pca_scores (X, k);
  s = sqrt (sum (Y(:,1) .* Y(:,1)) / rows (Y));
  if (s > 0)
    Y = Y / s * 1e-4;
  endif
endfunction

## The joint probabilities P, sparse and symmetric, from each row's K
## nearest neighbours (all other rows for the exact algorithm).
function P = affinities (X, opt, t0)
  n = rows (X);
  if (strcmp (opt.Algorithm, "exact"))
    K = n - 1;
  else
    K = min (n - 1, floor (3 * opt.Perplexity));
  endif
  [nb, D] = neighbours (X, K, opt.Distance);
  if (! all (isfinite (D(:)) & D(:) >= 0))
    error ("tsne: the distances between rows must be finite and non-negative.");
  endif
  [W, beta, steps, err] = calibrate (D .* D, opt.Perplexity);
  if (opt.Verbose >= 2)
    printf ("tsne: %d points, %d neighbours each; perplexity %g reached in at most %d bisection steps (largest entropy error %.2g), mean sigma %.4g, %.1f s\n",
            n, K, opt.Perplexity, steps, err, mean (sqrt (1 ./ (2 * beta))),
            toc (t0));
  endif
  P = sparse (repmat ((1:n)', 1, K), nb, W, n, n);
  P = (P + P') / (2 * n);
endfunction

## Each row's K nearest other rows and their distances.  A row is not
## always first in its own list (duplicate rows tie at distance 0, and ties
## go to the smaller row number), so its own index is removed wherever it
## stands, or the last neighbour when it is not in the list.
function [nb, D] = neighbours (X, K, dist)
  n = rows (X);
  [idx, D] = knnsearch (X, X, "K", K + 1, "Distance", dist);
  D = double (D);
  drop = idx == (1:n)';
  drop(! any (drop, 2), end) = true;
  idx = idx.';
  D = D.';
  nb = reshape (idx(! drop.'), K, n).';
  D = reshape (D(! drop.'), K, n).';
endfunction

## Conditional probabilities of each row's neighbours (D2: squared
## distances, nearest first): a Gaussian whose precision BETA is bisected,
## all rows at once, until the entropy is within 1e-5 of log (PERP).  The
## distances are taken relative to each row's nearest, which leaves the
## probabilities unchanged and keeps the exponentials from underflowing.
function [W, beta, steps, err] = calibrate (D2, perp)
  [n, K] = size (D2);
  D2 = D2 - D2(:,1);
  target = log (perp);
  beta = ones (n, 1);
  lo = -Inf (n, 1);
  hi = Inf (n, 1);
  W = zeros (n, K);
  H = zeros (n, 1);
  todo = (1:n)';
  steps = 0;
  while (! isempty (todo) && steps < 200)
    steps += 1;
    E = exp (-D2(todo,:) .* beta(todo));
    s = sum (E, 2);
    h = log (s) + beta(todo) .* sum (D2(todo,:) .* E, 2) ./ s;
    W(todo,:) = E ./ s;
    H(todo) = h;
    done = abs (h - target) <= 1e-5;
    up = h > target & ! done;
    down = h < target & ! done;
    lo(todo(up)) = beta(todo(up));
    hi(todo(down)) = beta(todo(down));
    b = beta(todo);
    widen = isinf (hi(todo));
    narrow = isinf (lo(todo));
    b(up & widen) *= 2;
    b(up & ! widen) = (b(up & ! widen) + hi(todo(up & ! widen))) / 2;
    b(down & narrow) /= 2;
    b(down & ! narrow) = (b(down & ! narrow) + lo(todo(down & ! narrow))) / 2;
    beta(todo) = b;
    todo = todo(! done);
  endwhile
  err = max (abs (H - target));
endfunction

## The repulsive forces and their normaliser: the Barnes-Hut kernel in 1 to
## 3 dimensions, exact pair sums in blocks of rows beyond.
function [F, Z] = repulsion (Y, theta)
  if (columns (Y) <= 3)
    [F, Z] = __cellrepulse__ (Y, theta);
    return;
  endif
  [n, d] = size (Y);
  F = zeros (n, d);
  Z = 0;
  for a = 1:256:n
    r = a:min (a + 255, n);
    d2 = zeros (numel (r), n);
    for j = 1:d
      t = Y(r,j) - Y(:,j)';
      d2 += t .* t;
    endfor
    q = 1 ./ (1 + d2);
    q(sub2ind (size (q), 1:numel (r), r)) = 0;
    Z += sum (sum (q, 2));
    w = q .* q;
    for j = 1:d
      F(r,j) = sum (w .* (Y(r,j) - Y(:,j)'), 2);
    endfor
  endfor
endfunction

## Kullback-Leibler divergence of Q from P at Y, given the normaliser Z;
## PAIRS holds the stored entries of P and their sum of P log P.
function kl = divergence (pairs, Y, Z)
  t = Y(pairs.i,:) - Y(pairs.j,:);
  d2 = sum (t .* t, 2);
  kl = pairs.plogp + sum (pairs.v .* log1p (d2)) + pairs.sum * log (Z);
endfunction

## Gradient descent with momentum and per-coordinate gains; the
## attraction is exaggerated and the momentum low for the first 250
## iterations, after which the descent starts afresh from where it is.
function [Y, loss] = descend (P, Y, opt, t0)
  [i, j, v] = find (P);
  pairs = struct ("i", i, "j", j, "v", v, "sum", sum (v),
                  "plogp", sum (v .* log (v)));
  clear i j v;
  report = opt.Verbose > 0 || ! isempty (opt.OutputFcn);
  update = zeros (size (Y));
  gains = ones (size (Y));
  grad = zeros (size (Y));
  lr = opt.LearnRate;
  it = 0;
  if (call_output (opt, "init", 0, NaN, grad, Y, opt.Exaggeration))
    [~, Z] = repulsion (Y, opt.Theta);
    loss = divergence (pairs, Y, Z);
    return;
  endif
  for it = 1:opt.MaxIter
    if (it <= 250)
      exag = opt.Exaggeration;
      momentum = 0.5;
    else
      exag = 1;
      momentum = 0.8;
    endif
    if (it == 251)
      ## The steps and gains of the exaggerated phase would carry its
      ## oscillation into the next: both start afresh.
      update(:) = 0;
      gains(:) = 1;
    endif
    [F, Z] = repulsion (Y, opt.Theta);
    grad = 4 * (exag * __pairattract__ (Y, P) - F / Z);
    gnorm = sqrt (sum (grad(:) .* grad(:)));
    if (report && (mod (it, opt.NumPrint) == 0 || it == opt.MaxIter))
      kl = divergence (pairs, Y, Z);
      if (opt.Verbose > 0)
        printf ("tsne: iteration %d, loss %.6g, gradient norm %.3g, %.1f s\n",
                it, kl, gnorm, toc (t0));
      endif
      if (call_output (opt, "iter", it, kl, grad, Y, exag))
        break;
      endif
    endif
    ## While the map is much smaller than the kernel's unit width (as the
    ## exaggeration may leave it), its gradient shrinks with it and says
    ## nothing of convergence: the tolerance only ends the descent once the
    ## exaggeration is over and the map spans more than one unit.
    if (gnorm < opt.TolFun && exag == 1 && max (max (Y) - min (Y)) > 1)
      break;
    endif
    gains = max (merge (update .* grad < 0, gains + 0.2, gains * 0.8), 0.01);
    update = momentum * update - lr * (gains .* grad);
    Y += update;
  endfor
  [~, Z] = repulsion (Y, opt.Theta);
  loss = divergence (pairs, Y, Z);
  call_output (opt, "done", it, loss, grad, Y, 1);
endfunction

## Calls every output function; true when any asks to stop.
function stop = call_output (opt, state, it, kl, grad, Y, exag)
  stop = false;
  if (isempty (opt.OutputFcn))
    return;
  endif
  vals = struct ("iteration", it, "fval", kl, "grad", grad, "Y", Y,
                 "exaggeration", exag);
  for f = opt.OutputFcn(:)'
    stop = logical (f{1} (vals, state)) || stop;
  endfor
endfunction

%!shared X, lab
%! ## three clusters in 6-D from a fixed formula; rows 62, 88 and 89 equal
%! i = (1:90)';
%! lab = 1 + (i > 30) + (i > 60);
%! X = mod (i * (1:6) * 7919 + i.^2 * 31, 101) / 50 + [5 * (lab == 1:3), zeros(90, 3)];
%! X([88 89],:) = X([62 62],:);

## The share of points whose nearest other point in the map Y is of their
## own cluster.
%!function r = kept (Y, lab)
%!  d2 = zeros (rows (Y));
%!  for j = 1:columns (Y)
%!    d2 += (Y(:,j) - Y(:,j)') .^ 2;
%!  endfor
%!  d2(1:rows (Y)+1:end) = Inf;
%!  [~, nb] = min (d2, [], 2);
%!  r = mean (lab(nb) == lab);
%!endfunction

%!function stop = say (v, state)
%!  printf ("%s%s %d;", repmat (" ", 1, ! strcmp (state, "init")), state, v.iteration);
%!  stop = false;
%!endfunction

%!test
%! ## Reproducible to the bit: the same call twice, and stored bits that
%! ## every build of the kernels must give.  Identical rows stay together.
%! opts = {"Perplexity", 10, "Options", struct("MaxIter", 300)};
%! [Y, loss] = tsne (X, opts{:});
%! [Y2, loss2] = tsne (X, opts{:});
%! assert (isequal (Y, Y2) && isequal (loss, loss2));
%! assert (isequal (Y(62,:), Y(88,:), Y(89,:)));
%! assert (kept (Y, lab), 1);
%! assert (loss > 0 && loss < 0.5);
%! bits = cellstr (num2hex ([sum(Y(:)); Y(1,1); Y(90,2); loss]));
%! assert (bits, {"c026ff50393bcd34"; "c025c624817cf614"; "c0107cea17373f5b"; "3fd64dee064bc7d0"});

%!test
%! ## exact equals barneshut at Theta 0 when every pair is a neighbour pair;
%! ## the exact algorithm in 4-D, and barneshut in 1-D and 3-D
%! opts = {"Perplexity", 30, "Options", struct("MaxIter", 60)};
%! [Ye, le] = tsne (X, "Algorithm", "exact", opts{:});
%! [Yb, lb] = tsne (X, "Theta", 0, opts{:});
%! assert (isequal (Ye, Yb) && isequal (le, lb));
%! opts = {"Perplexity", 10, "Options", struct("MaxIter", 300)};
%! Y4 = tsne (X, "Algorithm", "exact", "NumDimensions", 4, opts{:});
%! Y1 = tsne (X, "NumDimensions", 1, opts{:});
%! Y3 = tsne (X, "NumDimensions", 3, opts{:});
%! assert ([size(Y4); size(Y1); size(Y3)], [90 4; 90 1; 90 3]);
%! assert ([kept(Y4, lab), kept(Y1, lab), kept(Y3, lab)] >= 0.95);

%!test
%! ## the calibration reaches the perplexity; progress lines
%! out = evalc ('tsne (X, "Perplexity", 10, "Verbose", 2, "NumPrint", 4, "Options", struct ("MaxIter", 10));');
%! err = str2double (regexp (out, 'largest entropy error ([^)]+)\)', "tokens", "once"));
%! assert (err <= 1e-5);
%! assert (numel (regexp (out, 'iteration \d+, loss [\d.]+, gradient norm', "match")), 3);
%! assert (evalc ('tsne (X, "Options", struct ("MaxIter", 5));'), "");

%!test
%! ## NaN rows take no part and stay aligned; a given start; OutputFcn
%! ## stops before the step of the iteration it was called in
%! Xn = X;
%! Xn([5 40],2) = NaN;
%! ok = true (90, 1);
%! ok([5 40]) = false;
%! opts = {"Perplexity", 10, "Options", struct("MaxIter", 30)};
%! Yn = tsne (Xn, opts{:});
%! assert (all (isnan (Yn([5 40],:))(:)) && ! any (isnan (Yn(ok,:))(:)));
%! assert (isequal (Yn(ok,:), tsne (X(ok,:), opts{:})));
%! Y0 = [(1:90)', mod((1:90)', 7)] / 10;
%! Y0(5,:) = NaN;
%! Ye = Y0;
%! Ye(40,:) = NaN;
%! assert (isequaln (tsne (Xn, "InitialY", Y0, "Options", struct ("MaxIter", 0)), Ye));
%! assert (isequaln (tsne (Xn, "InitialY", Y0, "Exaggeration", 1, "Options", struct ("TolFun", 1e9)), Ye));
%! assert (! isequal (tsne (Xn, "InitialY", Y0, "Options", struct ("TolFun", 1e9, "MaxIter", 3)), Ye));
%! o = struct ("MaxIter", 100, "OutputFcn", {{@say, @(v, s) v.iteration >= 20}});
%! out = evalc ('Ys = tsne (X, "Perplexity", 10, "NumPrint", 10, "Options", o);');
%! assert (out, "init 0; iter 10; iter 20; done 20;");
%! Y19 = tsne (X, "Perplexity", 10, "Options", struct ("MaxIter", 19));
%! assert (isequal (Ys, Y19));

%!test
%! ## large groups of identical rows; every remaining option
%! Xd = [X; repmat(X(1,:), 400, 1)];
%! Yd = tsne (Xd, "Perplexity", 10, "Options", struct ("MaxIter", 0));
%! assert (all (Yd(91:end,:) == Yd(1,:))(:));
%! Yd = tsne (Xd, "Perplexity", 10, "Options", struct ("MaxIter", 50));
%! assert (all (isfinite (Yd(:))));
%! Xs = (X - mean (X)) ./ std (X);
%! opts = {"Perplexity", 10, "Options", struct("MaxIter", 100)};
%! assert (tsne (X, "Standardize", true, opts{:}), tsne (Xs, opts{:}), 1e-8);
%! assert (kept (tsne (X, "NumPCAComponents", 3, opts{:}), lab) >= 0.95);
%! assert (kept (tsne (X, "Distance", "cityblock", opts{:}), lab) >= 0.95);
%! f = @(zi, ZJ) sqrt (sum ((ZJ - zi) .^ 2, 2));
%! assert (kept (tsne (X, "Dist", f, opts{:}), lab) >= 0.95);
%! Y = tsne (X, opts{:});
%! assert (! isequal (tsne (X, "LearnRate", 20, opts{:}), Y));
%! assert (! isequal (tsne (X, "exag", 4, opts{:}), Y));
%! assert (! isequal (tsne (X, "THETA", 0.2, opts{:}), Y));
%! assert (isequal (tsne (single (X), opts{:}), tsne (double (single (X)), opts{:})));

%!error <Invalid call> tsne ()
%!error <X must be a non-empty real numeric matrix> tsne ([])
%!error <X must be a non-empty real numeric matrix> tsne ({1})
%!error <X must be a non-empty real numeric matrix> tsne ([1i 2; 3 4])
%!error <X must be a non-empty real numeric matrix> tsne (ones (3, 3, 3))
%!error <X must not hold infinite values> tsne ([1 Inf; 2 3; 4 5])
%!error <at least two rows without NaN> tsne ([1 2; NaN 3])
%!error <Perplexity must be below the number of rows without NaN \(5\)> tsne (rand (5, 2))
%!error <expected an option name in argument 2> tsne (rand (40, 2), 3)
%!error <option 'Perplexity' needs a value> tsne (rand (40, 2), "perp")
%!error <unknown option 'Color'; valid names are Algorithm, Distance> tsne (rand (40, 2), "Color", 1)
%!error <ambiguous option 'Num'> tsne (rand (40, 2), "Num", 1)
%!error <Algorithm must be 'barneshut' or 'exact'> tsne (rand (40, 2), "Algorithm", 1)
%!error <unknown Algorithm 'fast'> tsne (rand (40, 2), "Algorithm", "fast")
%!error <unknown distance 'sqeuclidean'> tsne (rand (40, 2), "Distance", "sqeuclidean")
%!error <Distance must be a metric name or a function handle> tsne (rand (40, 2), "Distance", 2)
%!error <NumDimensions must be a positive whole number> tsne (rand (40, 2), "NumDimensions", 1.5)
%!error <NumDimensions must be 1, 2 or 3 for the barneshut> tsne (rand (40, 2), "NumDimensions", 4)
%!error <NumPCAComponents must be 0 or a positive whole number> tsne (rand (40, 2), "NumPCAComponents", -1)
%!error <Perplexity must be a positive finite scalar> tsne (rand (40, 2), "Perplexity", 0)
%!error <Exaggeration must be a finite scalar of at least 1> tsne (rand (40, 2), "Exaggeration", 0.5)
%!error <LearnRate must be a positive finite scalar or 'auto'> tsne (rand (40, 2), "LearnRate", "fast")
%!error <Theta must be a non-negative finite scalar> tsne (rand (40, 2), "Theta", -1)
%!error <option 'Theta' applies only to the barneshut algorithm> tsne (rand (40, 2), "Theta", 0, "Algorithm", "exact")
%!error <Standardize must be true or false> tsne (rand (40, 2), "Standardize", 2)
%!error <InitialY must be a real matrix> tsne (rand (40, 2), "InitialY", {1})
%!error <InitialY must be finite in the rows where X has no NaN> tsne (rand (40, 2), "InitialY", NaN (40, 2))
%!error <InitialY must have one row per row of X> tsne (rand (40, 2), "InitialY", zeros (39, 2))
%!error <InitialY must have NumDimensions columns> tsne (rand (40, 2), "InitialY", zeros (40, 2), "NumDimensions", 3)
%!error <Options must be a scalar structure> tsne (rand (40, 2), "Options", 1)
%!error <Options.MaxIter must be a non-negative whole number> tsne (rand (40, 2), "Options", struct ("MaxIter", -1))
%!error <Options.TolFun must be a non-negative scalar> tsne (rand (40, 2), "Options", struct ("TolFun", "a"))
%!error <Options.OutputFcn must be a function handle or a cell array of them> tsne (rand (40, 2), "Options", struct ("OutputFcn", 1))
%!error <NumPrint must be a positive whole number> tsne (rand (40, 2), "NumPrint", 0)
%!error <Verbose must be 0, 1 or 2> tsne (rand (40, 2), "Verbose", 3)
%!error <distances between rows must be finite and non-negative> tsne (rand (40, 2), "Perplexity", 2, "Distance", @(zi, ZJ) -ones (rows (ZJ), 1))

%!demo
%! ## three clusters in 10-D, mapped to the plane
%! X = [randn(100, 10); randn(100, 10) + 4; randn(100, 10) - 4];
%! [Y, loss] = tsne (X, "Perplexity", 20);
%! scatter (Y(:,1), Y(:,2), 8, repelem ((1:3)', 100), "filled");
%! title (sprintf ("t-SNE of three clusters, KL %.3f", loss));
