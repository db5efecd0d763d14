// __nearscan__: exhaustive K-nearest-neighbour search of query points
// against reference points, without forming the distance matrix.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#if ! defined (QUORVEL_PLAIN)
#  define NEARSCAN_SIMD 1
#endif

#include "../binding/quorvel.h"
#include "../rowselect/validxless.h"
#include "nearscan.h"

using quorvel::nearscan::Metric;
using quorvel::nearscan::KBest;
using quorvel::nearscan::AlignedBuffer;

// One copy of the tiled scan per vector width; each is compiled for its own
// instruction set and picked at run time.  No "fma" target: every product
// and sum is rounded on its own.
#if defined (NEARSCAN_SIMD)
#  if defined (QUORVEL_X86)
#    pragma GCC push_options
#    pragma GCC target ("avx512f")
#  endif
#  define NEARSCAN_ISA 512
#  define NEARSCAN_NS scan_avx512
#  include "scan_kernel.h"
#  undef NEARSCAN_NS
#  undef NEARSCAN_ISA
#  if defined (QUORVEL_X86)
#    pragma GCC pop_options
#    pragma GCC push_options
#    pragma GCC target ("avx2")
#  endif
#  define NEARSCAN_ISA 256
#  define NEARSCAN_NS scan_avx2
#  include "scan_kernel.h"
#  undef NEARSCAN_NS
#  undef NEARSCAN_ISA
#  if defined (QUORVEL_X86)
#    pragma GCC pop_options
#  endif

#  define NEARSCAN_ISA 128
#  define NEARSCAN_NS scan_sse2
#  include "scan_kernel.h"
#  undef NEARSCAN_NS
#  undef NEARSCAN_ISA
#endif

namespace
{
  // A validated call, in working precision T.
  template <typename T>
  struct Search
  {
    const T *X;         // N x d, column-major, as the host holds it
    const T *Y;         // M x d
    int64_t N;
    int64_t M;
    int64_t d;
    int64_t K;
    Metric metric;
    T p;
    T invp;
  };

  // Accumulated distance of one pair: coordinates strictly in order, one
  // term at a time, from +0.  This order is what makes results exact.
  template <typename T, Metric MT>
  T
  accumulated (const T *x, const T *y, int64_t d, T p)
  {
    T acc = 0;
    for (int64_t c = 0; c < d; c++)
      {
        const T diff = x[c] - y[c];
        if (MT == Metric::euclidean)
          acc = acc + diff*diff;
        else if (MT == Metric::cityblock)
          acc = acc + std::abs (diff);
        else if (MT == Metric::chebychev)
          {
            const T a = std::abs (diff);
            if (std::isnan (diff))
              acc = a;
            else if (a > acc)
              acc = a;
          }
        else
          acc = acc + std::pow (std::abs (diff), p);
      }
    return acc;
  }

  // Point-major copy: the d coordinates of each point side by side.
  template <typename T>
  std::vector<T>
  point_major (const T *A, int64_t rows, int64_t d)
  {
    std::vector<T> out (rows * d);
    for (int64_t c = 0; c < d; c++)
      for (int64_t i = 0; i < rows; i++)
        out[i*d + c] = A[i + c*rows];
    return out;
  }

  // The reference loop: every query scans every point in order, offering
  // each accumulated distance to a one-row K-best buffer.
  template <typename T, Metric MT>
  void
  scan_pairs (const Search<T>& s, double *idx, T *D)
  {
    const std::vector<T> xr = point_major (s.X, s.N, s.d);
    const std::vector<T> yr = point_major (s.Y, s.M, s.d);
    KBest<T> best (1, s.K);
    for (int64_t q = 0; q < s.M; q++)
      {
        best.reset ();
        const T *y = yr.data () + q*s.d;
        for (int64_t i = 0; i < s.N; i++)
          best.offer (0, accumulated<T, MT> (xr.data () + i*s.d, y, s.d, s.p), i);
        best.emit (0, q, s.M, s.metric, s.invp, idx, D);
      }
  }

  template <typename T>
  void
  scan_plain (const Search<T>& s, double *idx, T *D)
  {
    switch (s.metric)
      {
      case Metric::euclidean:
        scan_pairs<T, Metric::euclidean> (s, idx, D);
        break;
      case Metric::cityblock:
        scan_pairs<T, Metric::cityblock> (s, idx, D);
        break;
      case Metric::chebychev:
        scan_pairs<T, Metric::chebychev> (s, idx, D);
        break;
      case Metric::minkowski:
        scan_pairs<T, Metric::minkowski> (s, idx, D);
        break;
      }
  }

#if defined (NEARSCAN_SIMD)
  template <typename T>
  using TileScan = void (*) (Metric, bool, const T *, int64_t, int64_t,
                             const T *, int64_t, KBest<T>&);

  template <typename T>
  bool
  all_finite (const T *a, int64_t n)
  {
    for (int64_t k = 0; k < n; k++)
      if (! std::isfinite (a[k]))
        return false;
    return true;
  }

  // Packs X into panels of P points (lane-major per coordinate, zero
  // padded) and Y into tiles of R queries, then scans blocks of queries:
  // each panel is reused by every tile of the block while it sits in the
  // first-level cache, and X streams from memory once per block.
  template <typename T>
  void
  scan_tiled (const Search<T>& s, int64_t P, int64_t R, TileScan<T> scan,
              double *idx, T *D)
  {
    const int64_t N = s.N, M = s.M, d = s.d, K = s.K;
    const int64_t npanels = (N + P - 1) / P;
    AlignedBuffer<T> xp (npanels * P * d);
    T *xpd = xp.data ();
    for (int64_t b = 0; b < npanels; b++)
      for (int64_t c = 0; c < d; c++)
        {
          const int64_t n = std::min (P, N - b*P);
          std::copy_n (s.X + b*P + c*N, n, xpd + (b*d + c)*P);
        }

    const int64_t ntiles = (M + R - 1) / R;
    AlignedBuffer<T> yt (ntiles * R * d);
    T *ytd = yt.data ();
    for (int64_t c = 0; c < d; c++)
      for (int64_t q = 0; q < M; q++)
        ytd[((q / R)*d + c)*R + q % R] = s.Y[q + c*M];

    // Up to 256 queries per block, fewer when K is large, so that the
    // block's buffers stay near 2^18 entries.
    int64_t rows = std::min (int64_t (256), std::max (R, (int64_t (1) << 18) / K));
    rows = std::max (R, rows / R * R);
    // Without NaN or infinite coordinates no difference is NaN (Inf - Inf
    // is the only other source), which allows chebychev's cheaper step.
    const bool finite = (s.metric == Metric::chebychev
                         && all_finite (s.X, N*d) && all_finite (s.Y, M*d));

    KBest<T> best (rows, K);
    for (int64_t q0 = 0; q0 < M; q0 += rows)
      {
        const int64_t nq = std::min (rows, M - q0);
        best.reset ();
        scan (s.metric, finite, xpd, N, d, ytd + q0*d, nq, best);
        for (int64_t r = 0; r < nq; r++)
          best.emit (r, q0 + r, M, s.metric, s.invp, idx, D);
      }
  }

  // Minkowski.  The libm pow of every term defines the result, and pow
  // has no vector form with its bits, so pow is called only where it can
  // matter.  Terms are never negative, so a partial sum already at or
  // above the worst of a full K-best buffer can stop: the candidate comes
  // later than every entry and cannot enter.  For a whole exponent e, a
  // vector pass first bounds each pair's sum with products (|x - y| ^ e by
  // repeated multiplication, within a few roundings of pow's term); a pair
  // whose bound is clearly above the worst is dropped without any pow.
  template <typename T>
  struct PowScreen
  {
    int e = 0;          // the exponent, or 0 when there is no screen
    T shrink = 1;       // 1 - the relative distance of bound and sum
    T slack = 0;        // what underflow may take away
  };

  template <typename T>
  PowScreen<T>
  pow_screen (T p, int64_t d)
  {
    PowScreen<T> ps;
    if (! (p >= 1 && p <= 64 && p == std::floor (p)))
      return ps;
    const int e = static_cast<int> (p);
    int mults = 0;
    for (int b = e; b > 1; b >>= 1)
      mults += 1 + (b & 1);
    // Each product, pow itself and each addition of non-negative terms
    // move a term or the sum by at most one unit roundoff; twice the count
    // of all of them, in epsilons, bounds the gap with room to spare.
    const double delta = (mults + 2.0*double (d) + 8) * std::numeric_limits<T>::epsilon ();
    if (delta >= 0.25)
      return ps;
    ps.e = e;
    ps.shrink = static_cast<T> (1 - delta);
    ps.slack = static_cast<T> (std::numeric_limits<T>::min () * 1e8);
    return ps;
  }

  // Pair sum with pow, stopping once it cannot enter below W (GATED).
  template <typename T>
  inline T
  minkowski_sum (const T *x, const T *y, int64_t d, T p, bool gated, T w)
  {
    T acc = 0;
    for (int64_t c = 0; c < d; c++)
      {
        acc = acc + std::pow (std::abs (x[c] - y[c]), p);
        if (gated && acc >= w)
          break;
      }
    return acc;
  }

  template <typename T, int BITS>
  inline __attribute__ ((always_inline)) void
  minkowski_body (const Search<T>& s, const PowScreen<T>& ps, double *idx, T *D)
  {
    typedef T V __attribute__ ((vector_size (BITS / 8)));
    typedef decltype (V {} < V {}) Mask;
    constexpr int W = BITS / 8 / sizeof (T);
    const int64_t N = s.N, d = s.d;
    const std::vector<T> xr = point_major (s.X, N, d);
    const std::vector<T> yr = point_major (s.Y, s.M, d);
    const Mask sign = reinterpret_cast<Mask> (T (-0.0) - V {});
    const T inf = std::numeric_limits<T>::infinity ();
    KBest<T> best (1, s.K);
    for (int64_t q = 0; q < s.M; q++)
      {
        best.reset ();
        const T *y = yr.data () + q*d;
        auto offer = [&] (int64_t i)
        {
          const bool gated = best.gated (0);
          const T w = gated ? best.worst (0) : T (0);
          best.offer (0, minkowski_sum (xr.data () + i*d, y, d, s.p, gated, w), i);
        };
        int64_t i = 0;
        if (ps.e > 0)
          for (; i + W <= N; i += W)
            {
              if (! best.gated (0))
                {
                  for (int l = 0; l < W; l++)
                    offer (i + l);
                  continue;
                }
              V acc = {};
              for (int64_t c = 0; c < d; c++)
                {
                  V xv;
                  __builtin_memcpy (&xv, s.X + c*N + i, sizeof xv);
                  const V a = reinterpret_cast<V> (reinterpret_cast<Mask> (xv - y[c]) & ~sign);
                  // Right-to-left powering; the first product, by one,
                  // is exact.
                  V t = T (1) - V {};
                  V b = a;
                  for (int e = ps.e; ; )
                    {
                      if (e & 1)
                        t = t * b;
                      e >>= 1;
                      if (e == 0)
                        break;
                      b = b * b;
                    }
                  acc = acc + t;
                }
              // Lanes whose bound is finite and clearly above the worst
              // are out; the others take the exact sum in point order.
              const Mask out = (acc * ps.shrink - ps.slack > best.worst (0)) & (acc < inf);
              unsigned m = ~quorvel::lane_mask (out) & ((1u << W) - 1);
              while (m != 0)
                {
                  const int l = __builtin_ctz (m);
                  m &= m - 1;
                  offer (i + l);
                }
            }
        for (; i < N; i++)
          offer (i);
        best.emit (0, q, s.M, s.metric, s.invp, idx, D);
      }
  }

  template <typename T>
  QUORVEL_TARGET_512 void
  minkowski512 (const Search<T>& s, const PowScreen<T>& ps, double *idx, T *D)
  {
    minkowski_body<T, 512> (s, ps, idx, D);
  }

  template <typename T>
  QUORVEL_TARGET_256 void
  minkowski256 (const Search<T>& s, const PowScreen<T>& ps, double *idx, T *D)
  {
    minkowski_body<T, 256> (s, ps, idx, D);
  }

  template <typename T>
  void
  minkowski128 (const Search<T>& s, const PowScreen<T>& ps, double *idx, T *D)
  {
    minkowski_body<T, 128> (s, ps, idx, D);
  }

  template <typename T>
  void
  scan_fast (const Search<T>& s, double *idx, T *D)
  {
    if (s.metric == Metric::minkowski)
      {
        const PowScreen<T> ps = pow_screen (s.p, s.d);
        const int bits = quorvel::vector_bits ();
        if (bits >= 512)
          return minkowski512 (s, ps, idx, D);
        if (bits >= 256)
          return minkowski256 (s, ps, idx, D);
        return minkowski128 (s, ps, idx, D);
      }

    const int bits = quorvel::vector_bits ();
    if (bits >= 512)
      return scan_tiled<T> (s, scan_avx512::panel_width<T> (),
                            scan_avx512::tile_rows (), scan_avx512::scan<T>,
                            idx, D);
    if (bits >= 256)
      return scan_tiled<T> (s, scan_avx2::panel_width<T> (),
                            scan_avx2::tile_rows (), scan_avx2::scan<T>,
                            idx, D);
    scan_tiled<T> (s, scan_sse2::panel_width<T> (), scan_sse2::tile_rows (),
                   scan_sse2::scan<T>, idx, D);
  }
#endif

  template <typename MT>
  octave_value_list
  search (const MT& X, const MT& Y, int64_t K, Metric metric, double p)
  {
    typedef typename MT::element_type T;
    // The checks read the arguments' own dimensions; the host's conversion
    // folds further dimensions into the columns (never the rows, which
    // bound K), so the matrices read must agree as well before a single
    // coordinate is touched.
    if (X.cols () != Y.cols ())
      quorvel::fail ("__nearscan__: X and Y must have the same number of columns.");

    const Search<T> s {X.data (), Y.data (), X.rows (), Y.rows (), X.cols (),
                       K, metric, static_cast<T> (p), static_cast<T> (1.0 / p)};
    Matrix idx (s.M, K);
    MT D (s.M, K);
#if defined (NEARSCAN_SIMD)
    scan_fast (s, idx.fortran_vec (), D.fortran_vec ());
#else
    scan_plain (s, idx.fortran_vec (), D.fortran_vec ());
#endif
    return ovl (quorvel::wrap (idx), quorvel::wrap (D));
  }
}

DEFUN_DLD (__nearscan__, args, ,
           QUORVEL_HELP ("@deftypefn {quorvel} {[@var{idx}, @var{D}] =} __nearscan__ (@var{X}, @var{Y}, @var{K}, @var{metric}, @var{param})\n",
"Exhaustive nearest-neighbour search that never builds the distance\n\
matrix.  Internal function of the quorvel package, used by its\n\
nearest-neighbour searches; it is not meant to be called directly.\n\
\n\
The rows of @var{X} (N by d) are the reference points, the rows of\n\
@var{Y} (M by d) the queries.  @var{metric} names one of\n\
@qcode{\"euclidean\"}, @qcode{\"cityblock\"}, @qcode{\"chebychev\"} or\n\
@qcode{\"minkowski\"}; @var{param} carries the minkowski exponent and is\n\
empty for the other metrics.  @var{K} is a positive whole number not\n\
above N.\n\
\n\
@var{idx} and @var{D}, both M by @var{K}, give for each query the row\n\
numbers in @var{X} and the distances of its @var{K} nearest reference\n\
points by increasing distance, in the order a full sort of the query's\n\
row of distances would give: ties by smaller row number, NaN last.  The\n\
work is done in single precision when @var{X} or @var{Y} is single, and\n\
@var{D} is then single; @var{idx} is always double."))
{
  if (args.length () != 5)
    print_usage ();

  const octave_value& X = args(0);
  const octave_value& Y = args(1);
  const octave_value& Karg = args(2);
  const octave_value& metric_arg = args(3);
  const octave_value& param = args(4);

  if (! quorvel::is_real_matrix (X))
    quorvel::fail ("__nearscan__: X must be a real numeric matrix.");
  if (! quorvel::is_real_matrix (Y))
    quorvel::fail ("__nearscan__: Y must be a real numeric matrix.");
  if (X.dims ()(1) != Y.dims ()(1))
    quorvel::fail ("__nearscan__: X and Y must have the same number of columns.");
  if (! quorvel::is_real_scalar (Karg))
    quorvel::fail ("__nearscan__: K must be a real scalar.");
  if (! quorvel::is_string (metric_arg))
    quorvel::fail ("__nearscan__: METRIC must be a character vector.");

  const double k = Karg.double_value ();
  const double nrows = static_cast<double> (X.dims ()(0));
  if (! (k <= nrows && k >= 1 && k == std::floor (k)))
    quorvel::fail ("__nearscan__: K must be an integer between 1 and rows (X).");
  const int64_t K = static_cast<int64_t> (k);

  const std::string name = metric_arg.string_value ();
  Metric metric;
  if (name == "euclidean")
    metric = Metric::euclidean;
  else if (name == "cityblock")
    metric = Metric::cityblock;
  else if (name == "chebychev")
    metric = Metric::chebychev;
  else if (name == "minkowski")
    metric = Metric::minkowski;
  else
    {
      // The name goes in as data, never as part of the format.
      const std::string msg = "__nearscan__: unsupported METRIC '" + name + "'.";
      quorvel::fail (msg.c_str ());
    }

  double p = 2;
  if (metric == Metric::minkowski)
    {
      if (! param.is_scalar_type () || ! param.isnumeric ())
        quorvel::fail ("__nearscan__: PARAM must be the minkowski exponent.");
      p = param.double_value ();
      if (! (p > 0 && std::isfinite (p)))
        quorvel::fail ("__nearscan__: PARAM must be a positive finite scalar.");
    }

  if (X.is_single_type () || Y.is_single_type ())
    return search (X.float_matrix_value (), Y.float_matrix_value (), K, metric, p);
  return search (X.matrix_value (), Y.matrix_value (), K, metric, p);
}

/*
## Plain Octave reference: coordinate-ordered sums in the working precision,
## then a stable ascending sort with NaN last, cut after K.
%!function [idx, D] = ref_scan (X, Y, K, metric, p)
%!  if (! strcmp (metric, "minkowski"))
%!    p = 1;
%!  endif
%!  if (isa (X, "single") || isa (Y, "single"))
%!    X = single (X);  Y = single (Y);
%!    ip = single (1 / double (p));  p = single (p);
%!  else
%!    X = double (X);  Y = double (Y);  ip = 1 / p;
%!  endif
%!  [N, d] = size (X);
%!  M = rows (Y);
%!  acc = zeros (M, N, class (X));
%!  for c = 1:d
%!    diff = X(:,c).' - Y(:,c);
%!    switch (metric)
%!      case "euclidean"
%!        acc = acc + diff .* diff;
%!      case "cityblock"
%!        acc = acc + abs (diff);
%!      case "chebychev"
%!        a = abs (diff);
%!        take = isnan (a) | a > acc;
%!        acc(take) = a(take);
%!      case "minkowski"
%!        acc = acc + abs (diff) .^ p;
%!    endswitch
%!  endfor
%!  idx = zeros (M, K);
%!  D = zeros (M, K, class (X));
%!  for q = 1:M
%!    v = double (acc(q,:)).';
%!    nan = isnan (v);
%!    v(nan) = 0;
%!    [~, order] = sortrows ([nan, v, (1:N).']);
%!    idx(q,:) = order(1:K);
%!    D(q,:) = acc(q, order(1:K));
%!  endfor
%!  switch (metric)
%!    case "euclidean"
%!      D = sqrt (D);
%!    case "minkowski"
%!      D = D .^ ip;
%!  endswitch
%!endfunction

%!function check_against_ref (X, Y, K, metric, p)
%!  [idx, D] = __nearscan__ (X, Y, K, metric, p);
%!  [ridx, rD] = ref_scan (X, Y, K, metric, p);
%!  assert (class (idx), "double");
%!  assert (class (D), class (rD));
%!  assert (isequal (idx, ridx));
%!  assert (isequaln (D, rD));
%!endfunction

## Argument count
%!error <Invalid call> __nearscan__ ([1; 2], [1], 1, "euclidean")
%!error <Invalid call> __nearscan__ ([1; 2], [1], 1, "euclidean", [], 1)

## X, then Y, then the columns
%!error <X must be a real numeric matrix> __nearscan__ (zeros (0, 3), [1 2 3], 1, "euclidean", [])
%!error <X must be a real numeric matrix> __nearscan__ (zeros (0, 3), {}, 0, 5, [])
%!error <X must be a real numeric matrix> __nearscan__ (zeros (3, 0), zeros (1, 0), 1, "euclidean", [])
%!error <X must be a real numeric matrix> __nearscan__ (true (2, 2), [1 2], 1, "euclidean", [])
%!error <X must be a real numeric matrix> __nearscan__ ("ab", [1 2], 1, "euclidean", [])
%!error <X must be a real numeric matrix> __nearscan__ ([1 2] + 1i, [1 2], 1, "euclidean", [])
%!error <X must be a real numeric matrix> __nearscan__ ({1, 2}, [1 2], 1, "euclidean", [])
%!error <X must be a real numeric matrix> __nearscan__ (ones (2, 2, 0), [1 2], 1, "euclidean", [])
%!error <Y must be a real numeric matrix> __nearscan__ ([1 2], zeros (0, 2), 1, "euclidean", [])
%!error <Y must be a real numeric matrix> __nearscan__ ([1 2], [1i 2], 1, "euclidean", [])
%!error <Y must be a real numeric matrix> __nearscan__ ([1 2], "ab", 0, 5, [])
%!error <X and Y must have the same number of columns> __nearscan__ (ones (5, 3), ones (2, 4), 1, "euclidean", [])
%!error <X and Y must have the same number of columns> __nearscan__ (ones (5, 3), ones (2, 4), 0, 5, [])

## K's type, then METRIC's type, then K's range, then METRIC's value
%!error <K must be a real scalar> __nearscan__ ([1; 2], 1, [1 2], "euclidean", [])
%!error <K must be a real scalar> __nearscan__ ([1; 2], 1, 1+2i, "euclidean", [])
%!error <K must be a real scalar> __nearscan__ ([1; 2], 1, true, "euclidean", [])
%!error <K must be a real scalar> __nearscan__ ([1; 2], 1, "a", 5, [])
%!error <METRIC must be a character vector> __nearscan__ ([1; 2], 1, 1, 5, [])
%!error <METRIC must be a character vector> __nearscan__ ([1; 2], 1, 7, {"euclidean"}, [])
%!error <METRIC must be a character vector> __nearscan__ ([1; 2], 1, 1, ["euclidean"; "cityblock"], [])
%!error <K must be an integer between 1 and rows \(X\)\.> __nearscan__ ([1; 2], 1, 3, "euclid", [])
%!error <K must be an integer between 1 and rows \(X\)\.> __nearscan__ ([1; 2], 1, 0, "euclidean", [])
%!error <K must be an integer between 1 and rows \(X\)\.> __nearscan__ ([1; 2], 1, 1.5, "euclidean", [])
%!error <K must be an integer between 1 and rows \(X\)\.> __nearscan__ ([1; 2], 1, NaN, "euclidean", [])
%!error <K must be an integer between 1 and rows \(X\)\.> __nearscan__ ([1; 2], 1, Inf, "euclidean", [])
%!error <K must be an integer between 1 and rows \(X\)\.> __nearscan__ ([1; 2], 1, -1, "euclidean", [])
%!error <unsupported METRIC 'Euclidean'\.> __nearscan__ ([1; 2], 1, 1, "Euclidean", [])
%!error <unsupported METRIC 'euclid'\.> __nearscan__ ([1; 2], 1, 1, "euclid", [])
%!error <unsupported METRIC ''\.> __nearscan__ ([1; 2], 1, 1, "", [])
%!error <unsupported METRIC 'euclidean '\.> __nearscan__ ([1; 2], 1, 1, "euclidean ", [])
%!error <unsupported METRIC '100% sure'\.> __nearscan__ ([1; 2], 1, 1, "100% sure", [])

## PARAM: examined only for minkowski
%!error <PARAM must be the minkowski exponent\.> __nearscan__ ([1; 2], 1, 1, "minkowski", [])
%!error <PARAM must be the minkowski exponent\.> __nearscan__ ([1; 2], 1, 1, "minkowski", [1 2])
%!error <PARAM must be the minkowski exponent\.> __nearscan__ ([1; 2], 1, 1, "minkowski", "3")
%!error <PARAM must be the minkowski exponent\.> __nearscan__ ([1; 2], 1, 1, "minkowski", true)
%!error <PARAM must be a positive finite scalar\.> __nearscan__ ([1; 2], 1, 1, "minkowski", 0)
%!error <PARAM must be a positive finite scalar\.> __nearscan__ ([1; 2], 1, 1, "minkowski", -0)
%!error <PARAM must be a positive finite scalar\.> __nearscan__ ([1; 2], 1, 1, "minkowski", -1)
%!error <PARAM must be a positive finite scalar\.> __nearscan__ ([1; 2], 1, 1, "minkowski", Inf)
%!error <PARAM must be a positive finite scalar\.> __nearscan__ ([1; 2], 1, 1, "minkowski", NaN)
%!test
%! X = [0; 1; 3];
%! assert (__nearscan__ (X, 0.9, 2, "minkowski", 0.5), [2, 1]);
%! assert (__nearscan__ (X, 0.9, 2, "minkowski", int8 (3)), [2, 1]);
%! assert (__nearscan__ (X, 0.9, 2, "minkowski", single (3)), [2, 1]);
%! ## Only the real part of a complex exponent is used.
%! [~, D] = __nearscan__ (X, 0.9, 1, "minkowski", 2+1i);
%! assert (D, sqrt (0.1^2), eps);
%! [~, D] = __nearscan__ ([0; 1; 3], 0.5, 1, "minkowski", realmin / 4);
%! assert (isfinite (D) || isnan (D) || isinf (D));
%!test
%! ## PARAM is never read for the other metrics.
%! for param = {7, "abc", [], {}, NaN}
%!   assert (__nearscan__ ([0; 1; 3], 0.9, 2, "euclidean", param{1}), [2, 1]);
%! endfor

## The worked examples
%!test
%! [idx, D] = __nearscan__ ([0; 1; -1; 2], 0.5, 3, "euclidean", []);
%! assert (idx, [1, 2, 3]);
%! assert (D, [0.5, 0.5, 1.5]);
%!test
%! [idx, D] = __nearscan__ ([0 0; 1 1; 2 0], [1 0], 2, "cityblock", []);
%! assert (idx, [1, 2]);
%! assert (D, [1, 1]);
%!test
%! [idx, D] = __nearscan__ ([NaN 0; 3 4], [0 0], 2, "chebychev", []);
%! assert (idx, [2, 1]);
%! assert (D, [4, NaN]);

## K = 1, K = N, ties by row number, identical rows
%!test
%! X = [2 2; 1 1; 0 0; 1 1; 0 0; 3 3];
%! Y = [0 0; 1 1; 1.5 1.5];
%! [idx, D] = __nearscan__ (X, Y, 1, "euclidean", []);
%! assert (idx, [3; 2; 1]);
%! assert (D, [0; 0; sqrt(0.5)]);
%! [idx, D] = __nearscan__ (X, Y, 6, "cityblock", []);
%! assert (idx, [3 5 2 4 1 6; 2 4 1 3 5 6; 1 2 4 3 5 6]);
%! assert (D, [0 0 2 2 4 6; 0 0 2 2 2 4; 1 1 1 3 3 3]);
%!test
%! ## Two sums that differ only past single precision tie there.
%! X = [1; 1 + 2^-30; 1 - 2^-30];
%! assert (__nearscan__ (X, 0, 3, "cityblock", []), [3, 1, 2]);
%! assert (__nearscan__ (single (X), 0, 3, "cityblock", []), [1, 2, 3]);
%! assert (__nearscan__ (X, single (0), 3, "cityblock", []), [1, 2, 3]);

## NaN and overflow
%!test
%! X = magic (4);
%! for m = {"euclidean", "cityblock", "chebychev", "minkowski"}
%!   [idx, D] = __nearscan__ (X, [1 NaN 2 3; 1 2 3 4], 4, m{1}, 3);
%!   assert (idx(1,:), 1:4);
%!   assert (all (isnan (D(1,:))));
%!   assert (! any (isnan (D(2,:))));
%!   [idx, D] = __nearscan__ (single (X), [1 NaN 2 3], 2, m{1}, 3);
%!   assert (idx, [1 2]);
%!   assert (class (D), "single");
%!   assert (all (isnan (D)));
%! endfor
%!test
%! ## NaN rows of X enter only when too few numbers remain, in row order.
%! X = [NaN 0; 5 5; NaN NaN; 1 1; 0 NaN];
%! [idx, D] = __nearscan__ (X, [0 0], 5, "euclidean", []);
%! assert (idx, [4 2 1 3 5]);
%! assert (D(1:2), [sqrt(2) sqrt(50)]);
%! assert (all (isnan (D(3:5))));
%! assert (__nearscan__ (X, [0 0], 3, "chebychev", []), [4 2 1]);
%!test
%! ## Sums that overflow: Inf after every finite one, ties in row order.
%! X = [1e200 0; 1 1; -1e200 0; 1e300 1e300; 2 2];
%! [idx, D] = __nearscan__ (X, [0 0], 5, "euclidean", []);
%! assert (idx, [2 5 1 3 4]);
%! assert (D, [sqrt(2) sqrt(8) Inf Inf Inf]);
%! [idx, D] = __nearscan__ (single ([1e30 0; 1 1; 3e38 3e38]), [0 0], 3, "cityblock", []);
%! assert (idx, [2 1 3]);
%! assert (D, single ([2 1e30 Inf]));
%! [idx, D] = __nearscan__ ([Inf 0; NaN 0; 1 0; -Inf 0], [0 0], 4, "cityblock", []);
%! assert (idx, [3 1 4 2]);
%! assert (D, [1 Inf Inf NaN]);
%! [idx, D] = __nearscan__ ([Inf 0; NaN 0; Inf 0], [Inf 0], 3, "euclidean", []);
%! assert (idx, [1 2 3]);
%! assert (all (isnan (D)));
%! ## Inf - Inf is NaN, and chebychev keeps a NaN once it has one.
%! [idx, D] = __nearscan__ ([Inf 0; 1 0; Inf 5; 1 9], [Inf 0], 4, "chebychev", []);
%! assert (idx, [2 4 1 3]);
%! assert (D, [Inf Inf NaN NaN]);

## Precision and classes
%!test
%! X = [0 0; 3 4; 1 1];
%! [idx, D] = __nearscan__ (single (X), [0 0], 3, "euclidean", []);
%! assert (class (idx), "double");
%! assert (class (D), "single");
%! assert (D, single ([0 sqrt(2) 5]));
%! [idx, D] = __nearscan__ (X, single ([0 0]), 3, "minkowski", 3);
%! assert (class (D), "single");
%! assert (idx, [1 3 2]);
%! [idx, D] = __nearscan__ (int32 (X), uint8 ([0 0]), 2, "cityblock", int8 (2));
%! assert (class (D), "double");
%! assert (idx, [1 3]);
%! assert (D, [0 2]);
%! [idx, D] = __nearscan__ (int16 (X), single ([0 0]), 2, "chebychev", []);
%! assert (class (D), "single");
%! assert (D, single ([0 1]));
%!test
%! ## Asking for fewer results still computes both, in order.
%! idx = __nearscan__ ([3; 1; 2], 0, 2, "cityblock", []);
%! assert (idx, [2 3]);
%!test
%! ## A third dimension folds into the columns; the folded widths must agree.
%! X = reshape (1:24, 2, 3, 4);
%! [idx, D] = __nearscan__ (X, X(2,:,:), 2, "cityblock", []);
%! assert (idx, [2, 1]);
%! assert (D, [0, 12]);
%!error <X and Y must have the same number of columns> __nearscan__ (ones (2, 3, 4), ones (1, 3, 2), 1, "euclidean", [])
%!error <X and Y must have the same number of columns> __nearscan__ (ones (2, 3, 4), ones (1, 3), 1, "euclidean", [])

## Bit-exact agreement with the plain reference on every tail: every N up
## to 40 (panels of up to 64 points), every d up to 9, K = 1 and K = N.
%!test
%! rand ("seed", 42);
%! for N = 1:40
%!   d = mod (N - 1, 9) + 1;
%!   X = round (4 * rand (N, d)) / 4 + (rand (N, d) > 0.8) .* rand (N, d);
%!   Y = round (4 * rand (mod (N, 7) + 1, d)) / 4;
%!   for m = {"euclidean", "cityblock", "chebychev", "minkowski"}
%!     for K = unique ([1, N])
%!       check_against_ref (X, Y, K, m{1}, 1.5);
%!       check_against_ref (single (X), Y, K, m{1}, 2.5);
%!     endfor
%!   endfor
%! endfor
%!test
%! randn ("state", 7);
%! for d = 1:9
%!   for N = [1:40, 63:65]
%!     X = randn (N, d);
%!     Y = randn (mod (N + d, 9) + 1, d);
%!     for K = unique ([1, N])
%!       check_against_ref (X, Y, K, "euclidean", []);
%!       check_against_ref (X, single (Y), K, "euclidean", []);
%!       check_against_ref (single (X), Y, K, "cityblock", []);
%!     endfor
%!   endfor
%! endfor

## Many random cases, every metric, both precisions: query blocks, partial
## tiles, rejections, ties among integer coordinates and scattered NaN.
%!test
%! rand ("seed", 3);
%! metrics = {"euclidean", "cityblock", "chebychev", "minkowski"};
%! for t = 1:24
%!   N = 50 + floor (300 * rand ());
%!   M = 1 + floor (20 * rand ());
%!   d = 1 + floor (12 * rand ());
%!   K = 1 + floor (min (N, 12) * rand ());
%!   X = floor (5 * rand (N, d));
%!   Y = floor (5 * rand (M, d)) + 0.5 * (rand (M, d) > 0.7);
%!   if (mod (t, 3) == 0)
%!     X(rand (N, d) > 0.97) = NaN;
%!     Y(rand (M, d) > 0.97) = NaN;
%!   endif
%!   if (mod (t, 2) == 0)
%!     X = randn (N, d) .* 10 .^ (4 * rand (N, 1));
%!   endif
%!   m = metrics{mod (t, 4) + 1};
%!   p = 0.5 + 3 * rand ();
%!   check_against_ref (X, Y, K, m, p);
%!   check_against_ref (single (X), Y, K, m, p);
%! endfor
%!test
%! ## More queries than one block holds, and a block that ends mid-tile.
%! randn ("state", 11);
%! X = randn (97, 5);
%! Y = randn (517, 5);
%! check_against_ref (X, Y, 3, "euclidean", []);
%! check_against_ref (X, single (Y), 3, "cityblock", []);
%! check_against_ref (X, Y, 2, "chebychev", []);
%! ## Long points: many coordinates per lane sum.
%! X = randn (70, 150);
%! Y = randn (6, 150);
%! check_against_ref (X, Y, 4, "euclidean", []);
%! check_against_ref (single (X), Y, 4, "chebychev", []);
%!test
%! ## Many NaN candidates: the K-th kept entry is NaN for a long time.
%! rand ("seed", 5);
%! X = rand (300, 3);
%! X(rand (300, 1) > 0.1, 2) = NaN;
%! Y = rand (6, 3);
%! for m = {"euclidean", "cityblock", "chebychev"}
%!   check_against_ref (X, Y, 40, m{1}, []);
%!   check_against_ref (single (X), Y, 40, m{1}, []);
%! endfor
## Minkowski on enough points for the product bound and the early stop:
## whole and fractional exponents, ties (half-integer coordinates), sums
## near underflow and overflow where products and pow part ways, NaN and
## Inf, single precision, each against pow term by term.
%!test
%! rand ("seed", 5); randn ("seed", 5);
%! X = round (2 * randn (150, 3)) / 2;
%! Y = round (2 * randn (4, 3)) / 2;
%! for p = [3 2.5 1 4]
%!   check_against_ref (X, Y, 7, "minkowski", p);
%!   check_against_ref (single (X), Y, 7, "minkowski", p);
%! endfor
%! X = randn (150, 3);
%! X(7, 2) = NaN;
%! X(9, 1) = Inf;
%! check_against_ref (X, randn (3, 3), 5, "minkowski", 3);
%! check_against_ref (X * 1e-105, randn (3, 3) * 1e-105, 5, "minkowski", 3);
%! [idx, D] = __nearscan__ (X * 5.6e102, [0 0 0], 150, "minkowski", 3);
%! assert (sort (idx), 1:150);
%! assert (any (isinf (D)) && issorted (D(! isnan (D))));
%! check_against_ref (single (X) * 1e-13, single (randn (3, 3)) * 1e-13, 5, "minkowski", 3);
*/
