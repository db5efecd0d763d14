## -*- texinfo -*-
## @deftypefn  {} {@var{labels} =} nomcluster (@var{X}, @var{k})
## @deftypefnx {} {@var{labels} =} nomcluster (@var{X}, @var{k}, @var{name}, @var{value}, @dots{})
## @deftypefnx {} {[@var{labels}, @var{Z}, @var{info}] =} nomcluster (@dots{})
## Agglomerative hierarchical clustering of nominal (categorical) data.
##
## @var{X} is an n-by-p set of categorical observations in any form
## @code{nomdist} accepts (numeric, logical, char matrix or cell array of
## strings).  The rows are clustered on their @code{nomdist}
## dissimilarities, starting from n single rows and merging, at each step,
## the two clusters at the smallest dissimilarity.
##
## @var{k} is a whole number of clusters from 1 to n, or a vector of them
## (for instance @code{2:8}).  @var{labels} is n-by-numel(@var{k}): column
## c gives the cluster of each row when the tree is cut into
## @var{k}(c) clusters, the clusters numbered 1, 2, @dots{} in the order
## of their first row.
##
## Options, as name-value pairs (names case-insensitive, unambiguous
## prefixes accepted):
##
## @multitable @columnfractions 0.18 0.82
## @item @qcode{"Measure"} @tab any measure of @code{nomdist}
## (default @qcode{"lin"}).
## @item @qcode{"Method"} @tab how the dissimilarity of two clusters is
## defined: @qcode{"average"} (default: the mean over every pair of their
## rows), @qcode{"complete"} (the largest) or @qcode{"single"} (the
## smallest).
## @item @qcode{"Weights"} @tab one non-negative weight per variable, used
## by the measure and by the criteria below (default all ones).
## @item @qcode{"Missing"} @tab @qcode{"refuse"} (default) or
## @qcode{"level"}, as in @code{nomdist}.
## @item @qcode{"Verbose"} @tab true to print each stage as it ends.
## @end multitable
##
## @var{Z} is the merge tree in the usual (n-1)-by-3 linkage form: row i
## merges clusters @var{Z}(i,1) < @var{Z}(i,2) at height @var{Z}(i,3),
## where the rows of @var{X} are clusters 1 to n and row i creates cluster
## n+i.  The heights never decrease.  Average linkage updates the
## dissimilarity of a merged cluster to another as
## @code{lo + (m * (hi - lo)) / (a + b)}, where lo and hi are the smaller
## and the larger of the two old values and m the size of the cluster
## at hi: the weighted mean of Lance and Williams, written so that rounding
## can never bring it below lo.
##
## Ties are broken by cluster numbers, so the result is fully determined
## by the data: among pairs at the same smallest dissimilarity, the pair
## whose smaller cluster number is smallest merges first, and among those
## the one whose other cluster number is smallest.  Rows with equal values
## (dissimilarity 0) thus merge in the order of their row numbers.
##
## @var{info} is a struct with the criteria for each k, as row vectors in
## the order of @var{k} (NaN where a criterion is undefined: the pseudo F
## and the silhouette for k = 1, the pseudo F for k = n):
##
## @table @code
## @item k
## the numbers of clusters, as given.
## @item WCM
## within-cluster mutability: for each cluster g of size n_g and each
## variable j, the Gini mutability 1 - sum_l (n_gjl / n_g)^2 over the
## levels l of j; averaged over the variables with the weights
## (w_j / sum (w)), then over the clusters with the weights n_g / n.
## @item WCE
## within-cluster entropy: the same with the entropy
## -sum_l (n_gjl / n_g) log (n_gjl / n_g) (natural logarithm, 0 log 0 = 0).
## @item PSFM
## pseudo F based on mutability:
## ((n - k) (WCM(1) - WCM(k))) / ((k - 1) WCM(k)), where WCM(1) is the
## value for the whole set as one cluster.
## @item PSFE
## the same with WCE.
## @item silhouette
## the mean over all rows of the silhouette width (b - a) / max (a, b),
## where a is the row's mean dissimilarity to the other rows of its
## cluster and b the smallest mean dissimilarity to the rows of another
## cluster; 0 for a row alone in its cluster or where a = b.
## @item best
## the k with the largest PSFM (the smallest such k on a tie; NaN when no
## PSFM is a number).
## @end table
##
## The merging itself runs in the package's kernel @code{__mergetree__}:
## the nearest neighbour of every cluster is kept up to date, so a merge
## costs O(n) in the usual case; 5000 rows take well under a second.  The
## dissimilarities are held as n-by-n matrices, so memory grows with n^2
## (n = 5000 takes about 0.6 GB); at most 20000 rows are accepted.
## Infinite dissimilarities (which lin gives two rows that differ on every
## variable when each variable has only two levels) are allowed; NaN ones
## are refused.
##
## Example:
##
## @example
## @group
## X = @{"red", "small"; "red", "large"; "blue", "small"; "blue", "large";
##      "red", "small"@};
## [labels, Z, info] = nomcluster (X, 2:3, "Measure", "sm");
## labels(:,1)'
##   @result{} 1   2   1   2   1
## Z
##   @result{} 1   5   0
##      2   4   0.5000
##      3   6   0.5000
##      7   8   0.7500
## @end group
## @end example
##
## @seealso{nomdist}
## @end deftypefn

function [labels, Z, info] = nomcluster (X, k, varargin)

  if (nargin < 2)
    print_usage ();
  endif
  opt = parse_options (varargin);
  n = rows (X);
  k = check_k (k, n);

  try
    [D, codes] = nomdist (X, opt.measure, "Weights", opt.weights,
                          "Missing", opt.missing);
  catch err
    error (regexprep (err.message, '^nomdist:', 'nomcluster:'));
  end_try_catch
  if (any (isnan (D)))
    error ("nomcluster: the %s measure gives NaN dissimilarities on these data; choose another measure.",
           opt.measure);
  endif
  clear X;
  say (opt.verbose, "nomcluster: %d rows, %d dissimilarities under %s\n",
       n, numel (D), opt.measure);

  if (isargout (3))
    [Z, first, S] = __mergetree__ (D, n, opt.method, n - k);
  else
    [Z, first] = __mergetree__ (D, n, opt.method, n - k);
  endif
  clear D;
  say (opt.verbose, "nomcluster: %d merges done (%s linkage)\n", n - 1,
       opt.method);
  labels = zeros (n, numel (k));
  for c = 1:numel (k)
    [~, ~, labels(:,c)] = unique (first(:,c));   # clusters by first row
  endfor
  if (isargout (3))
    w = opt.weights;
    if (isempty (w))
      w = ones (1, columns (codes));
    endif
    info = criteria (codes, S, labels, k, w / sum (w));
    say (opt.verbose, "nomcluster: criteria done; best k %d\n", info.best);
  endif

endfunction

function opt = parse_options (args)
  valid = {"Measure", "Method", "Weights", "Missing", "Verbose"};
  opt = struct ("measure", "lin", "method", "average", "weights", [],
                "missing", "refuse", "verbose", false);
  if (mod (numel (args), 2) != 0)
    error ("nomcluster: options must come in name-value pairs.");
  endif
  for i = 1:2:numel (args)
    name = args{i};
    hit = [];
    if (ischar (name) && isrow (name))
      hit = find (strcmpi (name, valid));
      if (isempty (hit))
        hit = find (strncmpi (name, valid, numel (name)));
      endif
    endif
    if (isempty (hit))
      if (ischar (name) && isrow (name))
        error ("nomcluster: unknown option '%s'; valid options are %s.", name,
               strjoin (valid, ", "));
      endif
      error ("nomcluster: option names must be strings; valid options are %s.",
             strjoin (valid, ", "));
    elseif (numel (hit) > 1)
      error ("nomcluster: ambiguous option '%s' (%s).", name,
             strjoin (valid(hit), ", "));
    endif
    val = args{i+1};
    switch (valid{hit})
      case "Measure"
        opt.measure = val;
      case "Method"
        methods = {"average", "complete", "single"};
        m = [];
        if (ischar (val) && isrow (val))
          m = find (strncmpi (val, methods, numel (val)));
        endif
        if (numel (m) != 1)
          error ("nomcluster: Method must be one of %s.", strjoin (methods, ", "));
        endif
        opt.method = methods{m};
      case "Weights"
        opt.weights = val;
      case "Missing"
        opt.missing = val;
      case "Verbose"
        if (! (isscalar (val) && (islogical (val) || isnumeric (val)))
            || isnan (val))
          error ("nomcluster: Verbose must be true or false.");
        endif
        opt.verbose = logical (val);
    endswitch
  endfor
  if (! ischar (opt.measure) || ! isrow (opt.measure))
    error ("nomcluster: Measure must be the name of a nomdist measure.");
  endif
  if (! isempty (opt.weights) && (isnumeric (opt.weights) || islogical (opt.weights)))
    opt.weights = double (opt.weights(:).');
  endif
endfunction

function k = check_k (k, n)
  ## 20000 rows keep the two n-by-n matrices within 6.4 GB.
  if (n < 1 || n > 20000)
    error ("nomcluster: X must have from 1 to 20000 rows (it has %d).", n);
  endif
  if (! (isnumeric (k) && isreal (k) && (isvector (k) || isempty (k)))
      || any (k != fix (k)) || any (k < 1) || any (k > n))
    error ("nomcluster: K must hold whole numbers of clusters from 1 to %d.", n);
  endif
  k = double (k(:).');
endfunction

function say (verbose, varargin)
  if (verbose)
    printf (varargin{:});
    fflush (stdout);
  endif
endfunction

function info = criteria (codes, S, labels, k, w)
  n = rows (codes);
  nk = numel (k);
  [wcm1, wce1] = within (codes, ones (n, 1), w);
  info = struct ("k", k, "WCM", zeros (1, nk), "WCE", zeros (1, nk),
                 "PSFM", zeros (1, nk), "PSFE", zeros (1, nk),
                 "silhouette", zeros (1, nk), "best", NaN);
  sums = cluster_sums (S, labels, k);
  for c = 1:nk
    [info.WCM(c), info.WCE(c)] = within (codes, labels(:,c), w);
    info.silhouette(c) = silhouette_mean (sums{c}, labels(:,c));
  endfor
  info.PSFM = pseudo_f (wcm1, info.WCM, n, k);
  info.PSFE = pseudo_f (wce1, info.WCE, n, k);
  if (any (! isnan (info.PSFM)))
    [~, c] = max (info.PSFM);         # first maximum, NaN skipped
    info.best = k(c);
  endif
endfunction

## WCM and WCE of one partition: per cluster and variable, the mutability
## and entropy of the level shares, weighted over variables by W and over
## clusters by their share of the rows.
function [wcm, wce] = within (codes, L, w)
  n = rows (codes);
  g = max (L);
  ng = accumarray (L, 1, [g 1]);
  wcm = 0;
  wce = 0;
  for j = find (w)
    cnt = accumarray ([L, codes(:,j)], 1, [g, max(codes(:,j))]);
    P = cnt ./ ng;
    logP = log (P);
    logP(P == 0) = 0;
    mut = 1 - sum (P .^ 2, 2);
    ent = -sum (P .* logP, 2);
    wcm += w(j) * sum ((ng / n) .* mut);
    wce += w(j) * sum ((ng / n) .* ent);
  endfor
endfunction

function F = pseudo_f (w1, wk, n, k)
  F = ((n - k) .* (w1 - wk)) ./ ((k - 1) .* wk);
  F(k == 1) = NaN;
endfunction

## For each partition c, the n-by-k(c) sums of each row's dissimilarities
## to the rows of every cluster: one product for all partitions.  Infinite
## dissimilarities are summed apart, since Inf * 0 would give NaN.
function sums = cluster_sums (S, labels, k)
  n = rows (S);
  H = zeros (n, sum (k));
  off = [0 cumsum(k)];
  for c = 1:numel (k)
    H(sub2ind (size (H), (1:n).', off(c) + labels(:,c))) = 1;
  endfor
  inf_part = isinf (S);
  if (any (inf_part(:)))
    S(inf_part) = 0;
    M = S * H;
    M(double (inf_part) * H > 0) = Inf;
  else
    M = S * H;
  endif
  sums = cell (1, numel (k));
  for c = 1:numel (k)
    sums{c} = M(:, off(c)+1:off(c+1));
  endfor
endfunction

## Mean silhouette width of partition L, from the sums M of each row's
## dissimilarities to every cluster.
function s = silhouette_mean (M, L)
  [n, K] = size (M);
  if (K < 2)
    s = NaN;
    return;
  endif
  cnt = accumarray (L, 1, [K 1]).';
  own = sub2ind ([n K], (1:n).', L);
  a = M(own) ./ (cnt(L).' - 1);
  M = M ./ cnt;
  M(own) = Inf;
  b = min (M, [], 2);
  sw = (b - a) ./ max (a, b);
  sw(a == b) = 0;
  sw(isinf (b) & ! isinf (a)) = 1;
  sw(isinf (a) & ! isinf (b)) = -1;
  sw(cnt(L) == 1) = 0;
  s = mean (sw);
endfunction


%!shared X
%! X = {"a", "x"; "a", "x"; "a", "y"; "b", "y"; "b", "z"; "c", "z"};

%!test
%! ## Hand-checked linkage on sm (0 for rows 1-2, 0.5 for one match, 1 for
%! ## none): ties at 0.5 go to the smallest cluster numbers, (3,4) before (3,7)
%! [L, Z] = nomcluster (X, [1 2 3 6], "Measure", "sm", "Method", "single");
%! assert (Z, [1 2 0; 3 4 0.5; 5 6 0.5; 7 8 0.5; 9 10 0.5]);
%! assert (L, [ones(6,1), [1 1 1 1 2 2]', [1 1 2 2 3 3]', (1:6)']);
%! [L, Z] = nomcluster (X, 2:3, "Measure", "sm", "Method", "complete");
%! assert (Z, [1 2 0; 3 4 0.5; 5 6 0.5; 7 8 1; 9 10 1]);
%! assert (L, [1 1 1 1 2 2; 1 1 2 2 3 3]');
%! [L, Z] = nomcluster (X, 2, "Measure", "sm");
%! ## means of the row pairs: {1,2}~{3,4} = 3/4, {3,4}~{5,6} = 7/8, ...
%! assert (Z, [1 2 0; 3 4 0.5; 5 6 0.5; 7 8 0.75; 9 10 0.9375]);
%! ## four equal rows pair up as (1,2), (3,4), then (5,6)
%! [~, Z] = nomcluster (repmat ("a", 4, 1), 1, "Measure", "sm");
%! assert (Z(:,1:2), [1 2; 3 4; 5 6]);

%!test
%! ## Criteria on a hand-computed case: two clusters {1,2,3}, {4,5,6}
%! Y = {"a", "x"; "a", "x"; "a", "y"; "b", "z"; "b", "z"; "c", "z"};
%! [L, Z, info] = nomcluster (Y, [1 2], "Measure", "sm", "Method", "complete");
%! assert (Z, [1 2 0; 4 5 0; 3 7 0.5; 6 8 0.5; 9 10 1]);
%! assert (L(:,2)', [1 1 1 2 2 2]);
%! ## whole set: each variable has shares 1/2, 1/3, 1/6
%! m1 = 1 - (1/4 + 1/9 + 1/36);
%! e1 = -(log (1/2) / 2 + log (1/3) / 3 + log (1/6) / 6);
%! ## each cluster: one variable constant, the other shares 2/3, 1/3
%! m2 = (1 - 5/9) / 2;
%! e2 = -((2/3) * log (2/3) + (1/3) * log (1/3)) / 2;
%! assert (info.k, [1 2]);
%! assert (info.WCM, [m1 m2], 4 * eps);
%! assert (info.WCE, [e1 e2], 4 * eps);
%! assert (info.PSFM, [NaN, 4 * (m1 - m2) / m2], 1e-12);
%! assert (info.PSFE, [NaN, 4 * (e1 - e2) / e2], 1e-12);
%! assert (info.best, 2);
%! ## within: 0, 0.5, 0.5 (means 1/4 and 1/2); between: always 1
%! s = [1 - 1/4, 1 - 1/4, 1 - 1/2, 1 - 1/4, 1 - 1/4, 1 - 1/2];
%! assert (info.silhouette, [NaN mean(s)], 1e-15);
%! ## weights: a variable of weight 0 drops out of the criteria
%! [~, ~, i2] = nomcluster (Y, [1 2], "Measure", "sm", "Weights", [0 1]);
%! assert (i2.WCM, [1 - (1/9 + 1/36 + 1/4), 4/9 / 2], 4 * eps);

%!test
%! ## Text input, missing values as a level, Verbose and single row
%! Y = X;
%! Y{3,2} = "";
%! [L, Z] = nomcluster (Y, 2, "Missing", "level", "Verbose", false);
%! assert (size (Z), [5 3]);
%! assert (all (diff (Z(:,3)) >= 0));
%! [L, Z, info] = nomcluster ({"a", "b"}, 1);
%! assert (L, 1);
%! assert (size (Z), [0 3]);
%! assert (info.best, NaN);

%!error <Invalid call> nomcluster (1)
%!error <nomcluster: K must hold whole numbers of clusters from 1 to 3> nomcluster ([1; 2; 3], 4)
%!error <nomcluster: K must hold whole numbers> nomcluster ([1; 2; 3], 1.5)
%!error <nomcluster: Method must be one of average, complete, single> nomcluster ([1; 2], 1, "Method", "ward")
%!error <nomcluster: unknown option 'Form'; valid options are Measure, Method, Weights, Missing, Verbose> nomcluster ([1; 2], 1, "Form", "square")
%!error <nomcluster: ambiguous option 'M' \(Measure, Method, Missing\)> nomcluster ([1; 2], 1, "M", 1)
%!error <nomcluster: unknown measure 'foo'> nomcluster ([1; 2], 1, "Measure", "foo")
%!error <nomcluster: X\(2,1\) is missing> nomcluster ([1; NaN], 1)
%!error <nomcluster: X must have from 1 to 20000 rows> nomcluster (zeros (0, 2), [])

%!demo
%! ## Clusters of a few survey answers, and the criteria for each k
%! X = {"yes", "car",  "city"; "yes", "car",  "town"; "yes", "bike", "city";
%!      "no",  "bus",  "farm"; "no",  "bus",  "town"; "no",  "bike", "farm"};
%! [labels, Z, info] = nomcluster (X, 2:4, "Measure", "sm")
%! printf ("best k by pseudo F (mutability): %d\n", info.best);
