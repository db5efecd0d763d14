// __levelgap__: dissimilarities between rows of nominal (categorical) data
// under one of sixteen measures, with level frequencies counted over a set
// of reference rows.

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "../binding/quorvel.h"
#include "levelgap.h"
#if ! defined (QUORVEL_PLAIN)
#  define LEVELGAP_FAST 1
#  include "levelgap_fast.h"
#endif

using namespace quorvel::nominal;

namespace
{
  // Measure names in code order.
  const char *const names[MEASURE_COUNT] =
  {
    "sm", "eskin", "anderberg", "burnaby", "gambaryan", "goodall1",
    "goodall2", "goodall3", "goodall4", "iof", "lin", "lin1", "of",
    "smirnov", "ve", "vm"
  };

  // The table is dense, one slot per code up to each column's largest, so
  // a single huge code would ask for an impossible table.  2^26 slots keep
  // the table and its copy in ADDQ mode within a few GiB.
  constexpr int64_t MAX_SLOTS = int64_t (1) << 26;

  // Largest row count whose condensed pair count fits the index type.
  constexpr int64_t MAX_ONE_SET_ROWS = int64_t (3037000499);

  bool
  holdsCodes (const Matrix& m)
  {
    const double *d = m.data ();
    const octave_idx_type n = m.numel ();
    for (octave_idx_type i = 0; i < n; i++)
      if (! (std::isfinite (d[i]) && d[i] >= 1 && d[i] == std::floor (d[i])))
        return false;
    return true;
  }

  // Largest code of column J, over the rows of M.
  double
  columnMax (const Matrix& m, int64_t j, double mx)
  {
    const int64_t rows = m.rows ();
    const double *c = m.data () + j * rows;
    for (int64_t i = 0; i < rows; i++)
      if (c[i] > mx)
        mx = c[i];
    return mx;
  }

  bool
  ignoresWeights (int measure)
  {
    return measure == ANDERBERG || measure == GAMBARYAN || measure == SMIRNOV;
  }

  template <typename Policy>
  void
  run (const Policy& pol, const std::vector<int64_t>& xCodes,
       const std::vector<int64_t>& yCodes, int64_t nx, int64_t ny, int64_t p,
       bool oneSet, const std::vector<int64_t>& active, double *out)
  {
#if defined (LEVELGAP_FAST)
    if (fastPairs (pol, pol.stats, xCodes, yCodes, nx, ny, p, oneSet, active, out))
      return;
#endif
    pairs (pol, xCodes, yCodes, nx, ny, p, oneSet, active, out);
  }

  void
  score (const Stats& t, int measure, const std::vector<int64_t>& xCodes,
         const std::vector<int64_t>& yCodes, int64_t nx, int64_t ny,
         int64_t p, bool oneSet, const std::vector<int64_t>& active,
         double *out)
  {
    switch (measure)
      {
      case SM:
        run (Sm (t), xCodes, yCodes, nx, ny, p, oneSet, active, out);
        break;
      case ESKIN:
        run (Eskin (t), xCodes, yCodes, nx, ny, p, oneSet, active, out);
        break;
      case ANDERBERG:
        run (Anderberg {t}, xCodes, yCodes, nx, ny, p, oneSet, active, out);
        break;
      case BURNABY:
        run (Burnaby {t}, xCodes, yCodes, nx, ny, p, oneSet, active, out);
        break;
      case GAMBARYAN:
        run (MatchOnly (t, t.levelSum, false), xCodes, yCodes, nx, ny, p,
             oneSet, active, out);
        break;
      case GOODALL1:
      case GOODALL2:
      case GOODALL3:
      case GOODALL4:
      case VE:
      case VM:
        run (MatchOnly (t, t.weightSum, true), xCodes, yCodes, nx, ny, p,
             oneSet, active, out);
        break;
      case IOF:
        run (Iof (t), xCodes, yCodes, nx, ny, p, oneSet, active, out);
        break;
      case LIN:
        run (Lin {t}, xCodes, yCodes, nx, ny, p, oneSet, active, out);
        break;
      case LIN1:
        run (Lin1 {t}, xCodes, yCodes, nx, ny, p, oneSet, active, out);
        break;
      case OF:
        run (Of (t), xCodes, yCodes, nx, ny, p, oneSet, active, out);
        break;
      case SMIRNOV:
        run (Smirnov (t), xCodes, yCodes, nx, ny, p, oneSet, active, out);
        break;
      default:
        break;
      }
  }
}

DEFUN_DLD (__levelgap__, args, ,
           QUORVEL_HELP ("@deftypefn  {quorvel} {@var{D} =} __levelgap__ (@var{X}, [], @var{R}, @var{measure}, @var{w})\n\
@deftypefnx {quorvel} {@var{D} =} __levelgap__ (@var{X}, @var{Y}, @var{R}, @var{measure}, @var{w})\n\
@deftypefnx {quorvel} {@var{D} =} __levelgap__ (@var{X}, @var{Y}, @var{R}, @var{measure}, @var{w}, @var{addq})\n",
"Internal function of the quorvel package, called by its front ends to\n\
compute dissimilarity measures for nominal (categorical) data; it is not\n\
meant to be called directly.\n\
\n\
@var{X}, @var{Y} and @var{R} hold level codes, positive whole numbers\n\
shared across the three, one variable per column.  Level frequencies are\n\
counted over the reference rows @var{R}, which must hold every level\n\
@var{X} holds, or over @var{X} itself where @var{R} is empty.  Codes need\n\
not be contiguous, but the levels of all variables together, each\n\
variable counting up to its largest code, may not exceed 2^26\n\
(67108864); larger codes are refused.\n\
\n\
@var{measure} is one of @qcode{\"sm\"}, @qcode{\"eskin\"},\n\
@qcode{\"anderberg\"}, @qcode{\"burnaby\"}, @qcode{\"gambaryan\"},\n\
@qcode{\"goodall1\"}, @qcode{\"goodall2\"}, @qcode{\"goodall3\"},\n\
@qcode{\"goodall4\"}, @qcode{\"iof\"}, @qcode{\"lin\"}, @qcode{\"lin1\"},\n\
@qcode{\"of\"}, @qcode{\"smirnov\"}, @qcode{\"ve\"} and @qcode{\"vm\"}.\n\
@var{w} holds one weight per variable, read by every measure but\n\
anderberg, gambaryan and smirnov; variables of weight zero take no part\n\
in any pair but still count in the sum of the weights.\n\
\n\
With @var{Y} empty, @var{D} is a row vector over every pair of rows of\n\
@var{X}, in the order (1,2), (1,3), @dots{}, (1,n), (2,3), @dots{};\n\
otherwise @var{D} is the matrix of each row of @var{X} (its rows) against\n\
each row of @var{Y} (its columns).  Where @var{addq} is true, each row of\n\
@var{Y} is counted into @var{R} while it is measured, so that no level of\n\
@var{Y} is ever absent from it."))
{
  const int nargin = args.length ();
  if (nargin != 5 && nargin != 6)
    print_usage ();

  for (int a = 0; a < 3; a++)
    if (! quorvel::is_two_dim_real (args(a)))
      quorvel::fail ("__levelgap__: X, Y and R must be real numeric matrices.");

  const Matrix X = args(0).matrix_value ();
  const Matrix Y = args(1).matrix_value ();
  const Matrix R = args(2).dims ().any_zero () ? X : args(2).matrix_value ();
  const int64_t p = X.cols ();
  const int64_t nx = X.rows ();
  const int64_t ny = Y.rows ();
  const bool haveY = Y.numel () > 0;

  if (R.cols () != p || (haveY && Y.cols () != p))
    quorvel::fail ("__levelgap__: X, Y and R must have the same number of columns.");
  if (! holdsCodes (X) || (haveY && ! holdsCodes (Y)) || ! holdsCodes (R))
    quorvel::fail ("__levelgap__: X, Y and R must hold positive integer codes.");
  if (! quorvel::is_string (args(3)))
    quorvel::fail ("__levelgap__: MEASURE must be a character vector.");
  if (! args(4).isnumeric () || args(4).numel () != p)
    quorvel::fail ("__levelgap__: W must hold one weight per variable.");
  bool addq = false;
  if (nargin == 6)
    {
      if (! quorvel::is_logical_scalar (args(5)))
        quorvel::fail ("__levelgap__: ADDQ must be a logical scalar.");
      addq = args(5).bool_value ();
      if (addq && ! haveY)
        quorvel::fail ("__levelgap__: ADDQ needs a nonempty Y.");
    }
  const std::string name = args(3).string_value ();
  int measure = -1;
  for (int m = 0; m < MEASURE_COUNT && measure < 0; m++)
    if (name == names[m])
      measure = m;
  if (measure < 0)
    error ("__levelgap__: unsupported MEASURE '%s'.", name.c_str ());

  // The table.  Its size is settled before anything is allocated.
  Stats t;
  t.n = R.rows ();
  t.vars = p;
  t.offset.assign (p + 1, 0);
  for (int64_t j = 0; j < p; j++)
    {
      double mx = columnMax (X, j, 0);
      if (haveY)
        mx = columnMax (Y, j, mx);
      mx = columnMax (R, j, mx);
      if (mx > static_cast<double> (MAX_SLOTS - t.offset[j]))
        quorvel::fail ("__levelgap__: level codes are too large.");
      t.offset[j+1] = t.offset[j] + static_cast<int64_t> (mx);
    }
  if (! haveY && nx > MAX_ONE_SET_ROWS)
    quorvel::fail ("__levelgap__: X has too many rows for the pairs of one set.");

  const int64_t L = t.offset[p];
  const int64_t nr = R.rows ();
  t.freq.assign (L, 0.0);
  for (int64_t j = 0; j < p; j++)
    for (int64_t i = 0; i < nr; i++)
      t.freq[t.offset[j] + static_cast<int64_t> (R(i, j)) - 1] += 1;
  t.levels.assign (p, 0.0);
  for (int64_t j = 0; j < p; j++)
    {
      for (int64_t s = t.offset[j]; s < t.offset[j+1]; s++)
        if (t.freq[s] > 0)
          t.levels[j] += 1;
      t.levelSum += t.levels[j];
    }

  const NDArray W = args(4).array_value ();
  t.weight.assign (p, 1.0);
  if (! ignoresWeights (measure))
    for (int64_t j = 0; j < p; j++)
      t.weight[j] = W(j);
  for (int64_t j = 0; j < p; j++)
    t.weightSum += t.weight[j];
  std::vector<int64_t> active;
  for (int64_t j = 0; j < p; j++)
    if (t.weight[j] != 0)
      active.push_back (j);

  const std::vector<int64_t> xCodes = pack (X, t);
  const std::vector<int64_t> yCodes = haveY ? pack (Y, t) : std::vector<int64_t> ();
  for (const int64_t s : xCodes)
    if (t.freq[s] == 0)
      quorvel::fail ("__levelgap__: R must hold every level X holds.");
  if (measure == LIN1)
    {
      t.groupFirst.assign (L, 0);
      t.groupLast.assign (L, 0);
      t.cumFreq.assign (p, std::vector<double> ());
    }

  NDArray D = quorvel::unfilled_array (haveY ? dim_vector (nx, ny)
                                 : dim_vector (1, nx >= 2 ? nx * (nx - 1) / 2 : 0));
  double *out = D.fortran_vec ();
  quorvel::map_pages (out, D.numel ());

  if (! addq)
    {
      prepare (t, measure);
      score (t, measure, xCodes, yCodes, nx, ny, p, ! haveY, active, out);
    }
  else
    for (int64_t r = 0; r < ny; r++)
      {
        OCTAVE_QUIT;
        // Each row of Y is measured against the reference rows plus itself
        // alone, never against the other rows of Y.
        Stats c = t;
        const std::vector<int64_t> row (yCodes.begin () + r * p,
                                        yCodes.begin () + (r + 1) * p);
        for (int64_t j = 0; j < p; j++)
          {
            const int64_t s = row[j];
            if (c.freq[s] == 0)
              {
                c.levels[j] += 1;
                c.levelSum += 1;
              }
            c.freq[s] += 1;
          }
        c.n += 1;
        prepare (c, measure);
        score (c, measure, xCodes, row, nx, 1, p, false, active, out + r * nx);
      }

  return ovl (quorvel::wrap (D));
}

/*
## Reference computation, straight from the formulas: the frequencies of
## each variable counted from the reference rows, then per pair and per
## variable every sum written out in its order.
%!function D = ref_gap (X, Y, R, measure, w)
%!  if (isempty (R))
%!    R = X;
%!  endif
%!  oneset = isempty (Y);
%!  if (oneset)
%!    Y = X;
%!  endif
%!  p = columns (X);
%!  N = rows (R);
%!  if (any (strcmp (measure, {"anderberg", "gambaryan", "smirnov"})))
%!    w = ones (1, p);
%!  endif
%!  sw = 0;
%!  for k = 1:p
%!    sw = sw + w(k);
%!  endfor
%!  T = 0;
%!  F = cell (1, p);
%!  for k = 1:p
%!    F{k} = ref_freq (R, k, max ([X(:,k); Y(:,k); R(:,k)]));
%!    T = T + sum (F{k} > 0);
%!  endfor
%!  nx = rows (X);
%!  ny = rows (Y);
%!  if (oneset)
%!    D = zeros (1, max (nx * (nx - 1) / 2, 0));
%!  else
%!    D = zeros (nx, ny);
%!  endif
%!  c = 0;
%!  for i = 1:nx
%!    for j = 1:ny
%!      if (oneset && j <= i)
%!        continue;
%!      endif
%!      a = 0;
%!      b = 0;
%!      for k = find (w(:)' != 0)
%!        [a, b] = ref_step (measure, F{k}, N, X(i,k), Y(j,k), w(k), a, b);
%!      endfor
%!      d = ref_finish (measure, a, b, sw, T);
%!      if (oneset)
%!        c += 1;
%!        D(c) = d;
%!      else
%!        D(i,j) = d;
%!      endif
%!    endfor
%!  endfor
%!endfunction
%!function f = ref_freq (R, k, L)
%!  f = zeros (1, L);
%!  for i = 1:rows (R)
%!    f(R(i,k)) += 1;
%!  endfor
%!endfunction
%!function q = ref_q (f, N)
%!  if (N > 1)
%!    q = (f - 1) * f / N / (N - 1);
%!  else
%!    q = 0;
%!  endif
%!endfunction
%!function [a, b] = ref_step (measure, f, N, x, y, w, a, b)
%!  nj = sum (f > 0);
%!  fx = f(x);
%!  fy = f(y);
%!  switch (measure)
%!    case "sm"
%!      if (x == y) a += w; endif
%!    case "eskin"
%!      if (x == y) a += w; else a += w * (nj * nj / (nj * nj + 2)); endif
%!    case "anderberg"
%!      v = (2 / nj) / (nj + 1);
%!      if (x == y)
%!        r = 1 / (fx / N);
%!        a += (r * r) * v;
%!      elseif (fy == 0)
%!        b = Inf;
%!      else
%!        b += ((0.5 / (fx / N)) / (fy / N)) * v;
%!      endif
%!    case "burnaby"
%!      v = 0;
%!      for l = 1:numel (f)
%!        v = v + 2 * log (1 - f(l) / N);
%!      endfor
%!      Px = fx / N;
%!      Py = fy / N;
%!      if (x == y)
%!        a += w;
%!      elseif (fy == 0)
%!        if (Px == 1) a += NaN; endif
%!      else
%!        t = log (((Px * Py) / (1 - Px)) / (1 - Py));
%!        a += (v / (t + v)) * w;
%!      endif
%!    case "gambaryan"
%!      z = fx / N;
%!      if (x == y && z > 0 && z < 1)
%!        a += -(log2 (z) * z + log2 (1 - z) * (1 - z));
%!      endif
%!    case {"goodall1", "goodall2"}
%!      if (x == y)
%!        lv = find (f > 0);
%!        [~, o] = sort (f(lv));
%!        V = lv(o);
%!        K = numel (V);
%!        c = zeros (1, K + 1);
%!        for i = 1:K
%!          c(i+1) = c(i) + ref_q (f(V(i)), N);
%!        endfor
%!        if (strcmp (measure, "goodall1"))
%!          a += w * (1 - c(find (f(V) == fx, 1, "last") + 1));
%!        else
%!          a += w * (1 - (c(K+1) - c(find (f(V) == fx, 1))));
%!        endif
%!      endif
%!    case "goodall3"
%!      if (x == y) a += w * (1 - ref_q (fx, N)); endif
%!    case "goodall4"
%!      if (x == y) a += w * ref_q (fx, N); endif
%!    case {"iof", "of"}
%!      if (strcmp (measure, "iof"))
%!        sx = log (fx);
%!        sy = log (fy);
%!      else
%!        sx = log (N / fx);
%!        sy = log (N / fy);
%!      endif
%!      if (x == y)
%!        a += w;
%!      elseif (fy == 0)
%!        if (strcmp (measure, "iof"))
%!          a = NaN;
%!        elseif (fx == N)
%!          a += NaN;
%!        endif
%!      else
%!        a += w / (sx * sy + 1);
%!      endif
%!    case "lin"
%!      if (x == y)
%!        a += (2 * log (fx / N)) * w;
%!      elseif (fy == 0)
%!        b = -Inf;
%!        return;
%!      else
%!        a += (2 * log ((fy + fx) / N)) * w;
%!      endif
%!      b += (log (fx / N) + log (fy / N)) * w;
%!    case "lin1"
%!      if (fy == 0)
%!        b = -Inf;
%!        return;
%!      elseif (x == y)
%!        g = 0;
%!        for l = find (f == fy)
%!          g = g + f(l);
%!        endfor
%!        a += log (g / N) * w;
%!      else
%!        lo = min (fx, fy);
%!        hi = max (fx, fy);
%!        M = sum (f(f >= lo & f <= hi));
%!        a += (2 * log (M / N)) * w;
%!      endif
%!      b += (log (fx / N) + log (fy / N)) * w;
%!    case "smirnov"
%!      aux = zeros (size (f));
%!      v = 0;
%!      for l = 1:numel (f)
%!        if (N > f(l)) aux(l) = f(l) / (N - f(l)); endif
%!        v = v + aux(l);
%!      endfor
%!      if (x == y)
%!        a += ((N - fx) / fx + 2) + (v - aux(x));
%!      else
%!        a += max (v - aux(x) - aux(y), 0);
%!      endif
%!    case "ve"
%!      H = 0;
%!      for l = 1:numel (f)
%!        z = f(l) / N;
%!        if (z > 0) H = H + z * log (z); endif
%!      endfor
%!      v = 0;
%!      if (nj > 1) v = (-H) / log (nj); endif
%!      if (x == y) a += w * v; endif
%!    case "vm"
%!      Q = 0;
%!      for l = 1:numel (f)
%!        z = f(l) / N;
%!        Q = Q + z * z;
%!      endfor
%!      v = 0;
%!      if (nj > 1) v = nj * (1 - Q) / (nj - 1); endif
%!      if (x == y) a += w * v; endif
%!  endswitch
%!endfunction
%!function d = ref_finish (measure, a, b, sw, T)
%!  switch (measure)
%!    case {"sm", "goodall1", "goodall2", "goodall3", "goodall4", "ve", "vm"}
%!      d = 1 + a * (-1 / sw);
%!    case "gambaryan"
%!      d = 1 + a * (-1 / T);
%!    case {"eskin", "iof"}
%!      d = 1 / (a * (1 / sw)) - 1;
%!    case "of"
%!      if (a == 0)
%!        d = Inf;
%!      else
%!        d = 1 / (a * (1 / sw)) - 1;
%!      endif
%!    case "anderberg"
%!      d = 1 - a / (b + a);
%!    case "burnaby"
%!      d = 1 - a / sw;
%!    case "smirnov"
%!      d = 1 / (a * (1 / T) + 1);
%!    case {"lin", "lin1"}
%!      if (isinf (b))
%!        d = Inf;
%!      elseif (b == 0)
%!        d = strcmp (measure, "lin1");
%!      else
%!        s = (1 / b) * a;
%!        if (s == 0)
%!          d = Inf;
%!        else
%!          d = 1 / s - 1;
%!        endif
%!      endif
%!  endswitch
%!endfunction
%!function D = ref_addq (X, Y, R, measure, w)
%!  if (isempty (R))
%!    R = X;
%!  endif
%!  D = zeros (rows (X), rows (Y));
%!  for r = 1:rows (Y)
%!    D(:,r) = ref_gap (X, Y(r,:), [R; Y(r,:)], measure, w);
%!  endfor
%!endfunction

%!shared names, X, Y, R, w, Xb, Yb, Wb
%! names = {"sm", "eskin", "anderberg", "burnaby", "gambaryan", "goodall1", ...
%!          "goodall2", "goodall3", "goodall4", "iof", "lin", "lin1", "of", ...
%!          "smirnov", "ve", "vm"};
%! rand ("seed", 7);
%! ## Skewed frequencies (low codes common), small counts so ties occur.
%! X = ceil (5 * rand (9, 4) .^ 2);
%! X(1,:) = [1 2 3 4];
%! R = [X; 6 1 7 1; 2 8 1 1];             # levels that X lacks
%! Y = ceil (9 * rand (5, 4) .^ 2);       # some levels absent from R
%! Y(1,:) = [9 9 9 9];
%! w = [1 0 -0.5 2];
%! ## Enough rows for the vector loop; levels past 16 for its gathers,
%! ## up to 16 and up to 8 for its two permutes.
%! Xb = [ceil(20 * rand (21, 2) .^ 3), ceil(12 * rand (21, 1) .^ 2), ceil(6 * rand (21, 1))];
%! Yb = [ceil(20 * rand (11, 2) .^ 3), ceil(12 * rand (11, 1) .^ 2), ceil(7 * rand (11, 1))];
%! Xb(1:2,3:4) = [12 1; 11 6];
%! Wb = [0.5 1 2 1.5];

## Every measure against the reference, bit for bit.
%!test
%! for m = 1:16
%!   assert (__levelgap__ (X, [], [], names{m}, w), ref_gap (X, [], [], names{m}, w));
%!   assert (__levelgap__ (X, [], R, names{m}, [2 1 NaN 1]),
%!           ref_gap (X, [], R, names{m}, [2 1 NaN 1]));
%! endfor
%!test
%! for m = 1:16
%!   assert (__levelgap__ (X, Y, R, names{m}, w), ref_gap (X, Y, R, names{m}, w));
%!   assert (__levelgap__ (X, Y, [], names{m}, w'), ref_gap (X, Y, [], names{m}, w));
%! endfor
%!test
%! for m = 1:16
%!   assert (__levelgap__ (X, Y, R, names{m}, w, true), ref_addq (X, Y, R, names{m}, w));
%!   assert (__levelgap__ (X, Y, [], names{m}, w, 1), ref_addq (X, Y, [], names{m}, w));
%! endfor
%!test
%! ## One reference row, alone and counted twice in ADDQ mode.
%! R1 = [2 1 3];
%! X1 = [R1; R1];
%! Y1 = [2 1 3; 1 1 3; 2 4 1];
%! for m = 1:16
%!   assert (__levelgap__ (X1, Y1, R1, names{m}, [1 2 1]),
%!           ref_gap (X1, Y1, R1, names{m}, [1 2 1]));
%!   assert (__levelgap__ (X1, Y1, R1, names{m}, [1 2 1], true),
%!           ref_addq (X1, Y1, R1, names{m}, [1 2 1]));
%! endfor
%!test
%! for m = 1:16
%!   assert (__levelgap__ (Xb, [], [], names{m}, Wb), ref_gap (Xb, [], [], names{m}, Wb));
%!   assert (__levelgap__ (Xb, Yb, [Xb; Yb], names{m}, Wb),
%!           ref_gap (Xb, Yb, [Xb; Yb], names{m}, Wb));
%!   assert (__levelgap__ (Xb, Yb, [], names{m}, Wb), ref_gap (Xb, Yb, [], names{m}, Wb));
%! endfor

## Long rows: whole blocks of every vector loop against the two-set form;
## sm in 8 and 16-bit lanes where the weights are whole numbers (by weight
## sum and by level count), else in doubles, against sums in column order.
%!test
%! rand ("seed", 11);
%! Z = [ceil(20 * rand (150, 2) .^ 3), ceil(12 * rand (150, 1) .^ 2), ceil(6 * rand (150, 1))];
%! later = tril (true (150), -1);
%! for m = 1:16
%!   D = __levelgap__ (Z, Z, [], names{m}, Wb).';
%!   assert (__levelgap__ (Z, [], [], names{m}, Wb), D(later)');
%! endfor
%! n = 520;
%! Z = [ceil(5 * rand (n, 3) .^ 2), ceil(200 * rand (n, 1))];
%! Y = Z(1:90,:);
%! later = tril (true (n), -1);
%! for v = {[1 1 1 0], [3 -2 0 1], [1 1 1 1], [100 30 1 0], [20000 20000 1 0], [1 0.5 1 0]}
%!   S = zeros (n, n);
%!   for k = find (v{1})
%!     S += v{1}(k) * (Z(:,k) == Z(:,k).');
%!   endfor
%!   D = (1 + S * (-1 / sum (v{1}))).';
%!   assert (__levelgap__ (Z, [], [], "sm", v{1}), D(later)');
%!   assert (__levelgap__ (Z, Y, [], "sm", v{1}), D(1:90,:).');
%! endfor

## Codes of more than 256 levels, past the bytes of the vector loop (16-bit
## words for its tables, doubles for its compares), against the plain loop,
## which takes each row of Y alone.
%!test
%! rand ("seed", 5);
%! Z = [ceil(300 * rand (600, 1)), ceil(6 * rand (600, 1))];
%! for m = 2:16
%!   D = __levelgap__ (Z, Z(1:80,:), [], names{m}, [1 2]);
%!   for j = 1:80
%!     assert (D(:,j), __levelgap__ (Z, Z(j,:), [], names{m}, [1 2]));
%!   endfor
%! endfor

## ADDQ: rows of Y never see one another.
%!test
%! for m = [1 4 6 11 12 14]
%!   D = __levelgap__ (X, Y(2:3,:), R, names{m}, w, true);
%!   assert (D, [__levelgap__(X, Y(2,:), R, names{m}, w, true), ...
%!               __levelgap__(X, Y(3,:), R, names{m}, w, true)]);
%! endfor

## Pair order and the shapes of the result.
%!test
%! Z = [1 1; 1 2; 2 2];
%! assert (__levelgap__ (Z, [], [], "sm", [1 1]), [0.5 1 0.5]);
%! assert (__levelgap__ (Z, Z(2,:), [], "sm", [1 1]), [0.5; 0; 0.5]);
%! assert (size (__levelgap__ (zeros (0, 2), [], [1 1], "sm", [1 1])), [1 0]);
%! assert (size (__levelgap__ ([1 1], [], [], "lin", [1 1])), [1 0]);
%! assert (size (__levelgap__ (zeros (0, 2), [1 2; 1 1; 2 2], [1 1; 2 2], "of", [1 1])), [0 3]);
%! assert (size (__levelgap__ (Z, zeros (5, 0), [], "sm", [1 1])), [1 3]);
%! assert (size (__levelgap__ (Z, zeros (0, 7), [], "sm", [1 1], false)), [1 3]);
%! assert (__levelgap__ (int32 (Z), [], single (Z), "sm", {1, 1}{1} * [1; 1]), [0.5 1 0.5]);
%!test
%! ## X without columns: every pair has no active variable.
%! assert (__levelgap__ (zeros (3, 0), [], [], "sm", []), NaN (1, 3));
%! assert (__levelgap__ (zeros (3, 0), [], [], "lin1", zeros (1, 0)), ones (1, 3));
%! assert (__levelgap__ (zeros (2, 0), zeros (1, 0), [], "of", []), Inf);
%! assert (__levelgap__ (zeros (20, 0), [], [], "of", []), Inf (1, 190));
%! assert (__levelgap__ (zeros (2, 0), zeros (0, 0), [], "lin", []), 0);

## Results at the edges.
%!test
%! ## No active variable.
%! Z = [1 2; 2 2; 1 1];
%! for m = [1 2 4 6 7 8 9 10 15 16]
%!   assert (__levelgap__ (Z, [], [], names{m}, [0 0]), NaN (1, 3));
%! endfor
%! assert (__levelgap__ (Z, [], [], "lin", [0 0]), zeros (1, 3));
%! assert (__levelgap__ (Z, [], [], "lin1", [0 0]), ones (1, 3));
%! assert (__levelgap__ (Z, [], [], "of", [0 0]), Inf (1, 3));
%!test
%! ## A level of Y absent from the reference rows.
%! Z = [1 2; 2 2; 1 1];
%! y = [3 2];
%! assert (__levelgap__ (Z, y, [], "iof", [1 1]), NaN (3, 1));
%! assert (__levelgap__ (Z, y, [], "lin", [1 1]), Inf (3, 1));
%! assert (__levelgap__ (Z, y, [], "lin1", [1 1]), Inf (3, 1));
%! assert (__levelgap__ (Z, y, [], "anderberg", [1 1]), ones (3, 1));
%! ## burnaby and of add NaN only where x holds every reference row.
%! Z = [1 2; 1 1];
%! assert (isnan (__levelgap__ (Z, [2 1], [], "burnaby", [1 1])), [true; true]);
%! assert (isnan (__levelgap__ (Z, [1 3], [], "burnaby", [1 1])), [false; false]);
%! assert (isnan (__levelgap__ (Z, [2 1], [], "of", [1 1])), [true; true]);
%!test
%! ## Two identical rows.
%! Z = [1 2 3; 1 2 3; 2 1 3; 2 2 1];
%! assert (__levelgap__ (Z, [], [], "anderberg", [1 1 1])(1), 0);
%! assert (__levelgap__ (Z, [], [], "burnaby", [1 1 1])(1), 0);
%! assert (__levelgap__ (ones (2, 49), [], [], "sm", ones (1, 49)), 2^-53);
%! Z = [1 1; 1 1; 2 1; 2 2; 2 1];             # frequencies 2, 3 and 4, 1
%! assert (__levelgap__ (Z(1:2,:), [], Z, "lin1", [1 1]), 1);
%! assert (__levelgap__ (Z(1:2,:), [], Z, "lin", [1 1]), 0, eps);
%!test
%! ## A zero weight acts only through the sum of the weights.
%! Z = [1 2 1; 2 2 1; 1 1 2];
%! assert (__levelgap__ (Z, [], [], "sm", [1 0 1]), [0.5 0.5 1]);
%! assert (__levelgap__ (Z, [], [], "sm", [1 0 0]), [1 0 1]);
%! assert (__levelgap__ (Z, [], [], "sm", [1 0 1]), __levelgap__ (Z, [], [], "sm", [1 -0 1]));
%!test
%! ## Weights are ignored where the measure has none.
%! for m = {"anderberg", "gambaryan", "smirnov"}
%!   assert (__levelgap__ (X, [], [], m{1}, [0 NaN -1 3]), __levelgap__ (X, [], [], m{1}, ones (2, 2)));
%! endfor

## Argument count and the checks in their order.
%!error <Invalid call> __levelgap__ (1, [], [], "sm")
%!error <Invalid call> __levelgap__ (1, [], [], "sm", 1, true, 1)
%!error <X, Y and R must be real numeric matrices> __levelgap__ (true, [], [], "sm", 1)
%!error <X, Y and R must be real numeric matrices> __levelgap__ ("a", [], [], "sm", 1)
%!error <X, Y and R must be real numeric matrices> __levelgap__ (1, 1i, [], "sm", 1)
%!error <X, Y and R must be real numeric matrices> __levelgap__ (1, [], zeros (0, 0, 2), "sm", 1)
%!error <X, Y and R must be real numeric matrices> __levelgap__ (ones (2, 2, 2), [], [], "bad", 1)
%!error <X, Y and R must be real numeric matrices> __levelgap__ ([1 2], [1 2 3], {}, "sm", 1)
%!error <X, Y and R must have the same number of columns> __levelgap__ ([1 2], [], [1 2 3], "sm", [1 1])
%!error <X, Y and R must have the same number of columns> __levelgap__ ([1 2], [1 2 3], [], 5, [1 1])
%!error <X, Y and R must hold positive integer codes> __levelgap__ ([1 2.5], [], [], 5, [1 1])
%!error <X, Y and R must hold positive integer codes> __levelgap__ ([1 0], [], [], "sm", [1 1])
%!error <X, Y and R must hold positive integer codes> __levelgap__ ([1 1], [-1 1], [], "sm", [1 1])
%!error <X, Y and R must hold positive integer codes> __levelgap__ ([1 1], [NaN 1], [], "sm", [1 1])
%!error <X, Y and R must hold positive integer codes> __levelgap__ ([1 1], [], [1 Inf], "sm", 1)
%!error <MEASURE must be a character vector> __levelgap__ ([1 1], [], [], 5, 1)
%!error <MEASURE must be a character vector> __levelgap__ ([1 1], [], [], {"sm"}, [1 1], [1 1])
%!error <MEASURE must be a character vector> __levelgap__ ([1 1], [], [], ["sm"; "of"], [1 1])
%!error <W must hold one weight per variable> __levelgap__ ([1 1], [], [], "bad", 1)
%!error <W must hold one weight per variable> __levelgap__ ([1 1], [], [], "sm", [true true])
%!error <W must hold one weight per variable> __levelgap__ ([1 1], [], [], "anderberg", [1 1 1], "x")
%!error <ADDQ must be a logical scalar> __levelgap__ ([1 1], [1 1], [], "bad", [1 1], [true true])
%!error <ADDQ must be a logical scalar> __levelgap__ ([1 1], [1 1], [], "sm", [1 1], "a")
%!error <ADDQ needs a nonempty Y> __levelgap__ ([1 1], [], [], "bad", [1 1], true)
%!error <ADDQ needs a nonempty Y> __levelgap__ ([1 1], zeros (3, 0), [], "sm", [1 1], 1)
%!error <unsupported MEASURE 'SM'> __levelgap__ ([1 1], [], [3 3], "SM", [1 1])
%!error <unsupported MEASURE ' sm'> __levelgap__ ([1 1], [], [], " sm", [1 1], false)
%!error <unsupported MEASURE ''> __levelgap__ ([1 1], [], [], "", [1 1])
%!error <unsupported MEASURE 'lin2'> __levelgap__ ([1 1], [], [], "lin2", [1 1])
%!error <level codes are too large> __levelgap__ ([1 1e15], [], [3 3], "sm", [1 1])
%!error <X has too many rows> __levelgap__ (zeros (4e9, 0), [], [], "sm", [])
%!error <R must hold every level X holds> __levelgap__ ([1 1; 2 1], [], [1 1; 1 2], "sm", [1 0])
%!error <R must hold every level X holds> __levelgap__ ([1 1], [9 9], [1 2], "iof", [1 1], true)

## Huge codes are refused before any table exists.
%!test
%! for big = {2^62, 1e300, [2^25 + 1, 2^25 + 1]}
%!   c = big{1};
%!   try
%!     __levelgap__ (ones (2, numel (c)), [c; c], [], "lin1", ones (1, numel (c)));
%!     error ("huge code accepted");
%!   catch err
%!     assert (err.message, "__levelgap__: level codes are too large.");
%!   end_try_catch
%! endfor
*/
