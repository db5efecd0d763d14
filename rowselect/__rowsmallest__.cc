// __rowsmallest__: the K smallest entries of each row of a distance matrix,
// in the order a full sort of the row would give, found by partial selection.

#include <algorithm>
#include <cmath>
#include <limits>
#include <cstdint>
#include <vector>

#include "../binding/quorvel.h"
#include "validxless.h"

using quorvel::ValIdx;
using quorvel::ValIdxLess;

namespace
{
  // Plain method, one row at a time: gather the row into the work vector,
  // select the first K pairs with nth_element, then sort those K.
  template <typename T>
  void
  select_rows_plain (const T *dist, int64_t M, int64_t N, int64_t K,
                     double *idx, T *D)
  {
    std::vector<ValIdx<T>> work (N);
    const ValIdxLess<T> less;
    for (int64_t i = 0; i < M; i++)
      {
        for (int64_t j = 0; j < N; j++)
          work[j] = ValIdx<T> {dist[i + j*M], j};
        if (K < N)
          std::nth_element (work.begin (), work.begin () + K, work.end (), less);
        std::sort (work.begin (), work.begin () + K, less);
        for (int64_t j = 0; j < K; j++)
          {
            idx[i + j*M] = static_cast<double> (work[j].idx + 1);
            D[i + j*M] = work[j].val;
          }
      }
  }

  // Filtered method.  A block of rows is read column by column, so every
  // pass over the columns reads contiguous runs of the column-major matrix.
  // Each row keeps a candidate buffer of CAP pairs and the worst of its K
  // best so far; a value that cannot beat that worst is rejected with one
  // comparison.  A full buffer is cut back to its K best by nth_element, so
  // even a row that admits every entry costs time linear in N.  The K best
  // under a total order are unique, so the result is the plain method's.
  template <typename T>
  class RowFilter
  {
  public:
    RowFilter (int64_t rows, int64_t K)
      : m_K (K), m_cap (capacity (K)), m_buf (rows * m_cap),
        m_count (rows), m_worst (rows), m_full (rows)
    { }

    static int64_t
    capacity (int64_t K)
    {
      return 2*K + 32;
    }

    void
    start (int64_t rows)
    {
      std::fill_n (m_count.begin (), rows, 0);
      std::fill_n (m_full.begin (), rows, false);
      // NaN fails every ">=", so an unfilled row's first test admits all.
      std::fill_n (m_worst.begin (), rows, std::numeric_limits<T>::quiet_NaN ());
    }

    // Column J of the block; COL points at its first row.
    void
    scan (const T *col, int64_t rows, int64_t j)
    {
      const T *worst = m_worst.data ();
      for (int64_t r = 0; r < rows; r++)
        {
          const T v = col[r];
          // Superset test: passes every value that may beat the worst.
          if (! (v >= worst[r]))
            admit (r, v, j);
        }
    }

    // Sorted K best of row R, written to row I of the results.
    void
    finish (int64_t r, int64_t i, int64_t M, double *idx, T *D)
    {
      const ValIdxLess<T> less;
      ValIdx<T> *b = m_buf.data () + r * m_cap;
      if (m_count[r] > m_K)
        std::nth_element (b, b + m_K, b + m_count[r], less);
      std::sort (b, b + m_K, less);
      for (int64_t j = 0; j < m_K; j++)
        {
          idx[i + j*M] = static_cast<double> (b[j].idx + 1);
          D[i + j*M] = b[j].val;
        }
    }

  private:
    void
    admit (int64_t r, T v, int64_t j)
    {
      if (m_full[r] && ! ValIdxLess<T>::later_beats (v, m_worst[r]))
        return;
      ValIdx<T> *b = m_buf.data () + r * m_cap;
      b[m_count[r]++] = ValIdx<T> {v, j};
      if (m_count[r] == m_cap)
        {
          const ValIdxLess<T> less;
          std::nth_element (b, b + m_K - 1, b + m_cap, less);
          m_count[r] = m_K;
          m_worst[r] = b[m_K - 1].val;
          m_full[r] = true;
        }
    }

    int64_t m_K;
    int64_t m_cap;
    std::vector<ValIdx<T>> m_buf;
    std::vector<int64_t> m_count;
    std::vector<T> m_worst;
    std::vector<char> m_full;
  };

  template <typename T>
  void
  select_rows (const T *dist, int64_t M, int64_t N, int64_t K,
               double *idx, T *D)
  {
#if ! defined (QUORVEL_PLAIN)
    // Read as many rows per pass over the columns as the candidate buffers
    // allow within a fixed budget: long contiguous runs of each column, and
    // for moderate M one sequential sweep of the whole matrix.
    const int64_t per_row = RowFilter<T>::capacity (K) * int64_t (sizeof (ValIdx<T>));
    const int64_t budget = int64_t (8) << 20;
    if (4*K <= N && M > 1)
      {
        const int64_t rows = std::min (M, std::max (int64_t (64), budget / per_row));
        RowFilter<T> filter (rows, K);
        for (int64_t i0 = 0; i0 < M; i0 += rows)
          {
            const int64_t nr = std::min (rows, M - i0);
            filter.start (nr);
            for (int64_t j = 0; j < N; j++)
              filter.scan (dist + i0 + j*M, nr, j);
            for (int64_t r = 0; r < nr; r++)
              filter.finish (r, i0 + r, M, idx, D);
          }
        return;
      }
#endif
    select_rows_plain (dist, M, N, K, idx, D);
  }

  template <typename MT>
  octave_value_list
  smallest (const MT& dist, int64_t K)
  {
    const int64_t M = dist.rows ();
    const int64_t N = dist.cols ();
    // K was checked against the argument's own second dimension; the
    // conversion may have reshaped it, so the columns read bound K too.
    if (K > N)
      quorvel::fail ("__rowsmallest__: K must be an integer between 1 and columns (DIST).");
    Matrix idx (M, K);
    MT D (M, K);
    select_rows (dist.data (), M, N, K, idx.fortran_vec (), D.fortran_vec ());
    return ovl (quorvel::wrap (idx), quorvel::wrap (D));
  }
}

DEFUN_DLD (__rowsmallest__, args, ,
           QUORVEL_HELP ("@deftypefn {quorvel} {[@var{idx}, @var{D}] =} __rowsmallest__ (@var{dist}, @var{K})\n",
"Internal function of the quorvel package, used by its nearest-neighbour\n\
searches; it is not meant to be called directly.\n\
\n\
@var{dist} holds distances, one row per query point and one column per\n\
candidate (M by N).  @var{K} is a positive whole number not above N.\n\
\n\
@var{idx} gives, row by row, the column numbers of the @var{K} smallest\n\
entries of @var{dist}, and @var{D} the entries themselves, in the class of\n\
@var{dist} (double for integer classes).  The outcome equals a full\n\
ascending sort of each row cut after @var{K} columns, ties kept in column\n\
order and NaN placed last, although only a partial selection is done."))
{
  if (args.length () != 2)
    print_usage ();

  const octave_value& dist = args(0);
  if (! quorvel::is_real_matrix (dist))
    quorvel::fail ("__rowsmallest__: DIST must be a real numeric matrix.");
  if (! quorvel::is_real_scalar (args(1)))
    quorvel::fail ("__rowsmallest__: K must be a real scalar.");
  const double k = args(1).double_value ();
  const double ncols = static_cast<double> (dist.dims ()(1));
  if (! (k <= ncols && k >= 1 && k == std::floor (k)))
    quorvel::fail ("__rowsmallest__: K must be an integer between 1 and columns (DIST).");
  const int64_t K = static_cast<int64_t> (k);

  if (dist.is_single_type ())
    return smallest (dist.float_matrix_value (), K);
  return smallest (dist.matrix_value (), K);
}

/*
## Reference: a full stable sort of each row with NaN placed last, cut
## after K.  Octave's sort already puts NaN last and keeps ties in order.
%!function [idx, D] = full_sort_cut (dist, K)
%!  [D, idx] = sort (dist, 2);
%!  idx = idx(:,1:K);
%!  D = D(:,1:K);
%!endfunction

## Random rows drawn from a small alphabet, so that ties, both zeros, NaN
## and both infinities are frequent.
%!function dist = tie_rich (M, N, cls)
%!  alphabet = [-Inf, -2, -0, 0, 0.5, 1, 1, 3, Inf, NaN];
%!  dist = alphabet(randi (numel (alphabet), M, N));
%!  dist = cast (dist, cls);
%!endfunction

%!test
%! [idx, D] = __rowsmallest__ ([3 1 1 2], 2);
%! assert (idx, [2 3]);
%! assert (D, [1 1]);
%!test
%! [idx, D] = __rowsmallest__ ([NaN 2 NaN 1], 3);
%! assert (idx, [4 2 1]);
%! assert (D, [1 2 NaN]);
%! [idx, D] = __rowsmallest__ ([NaN 2 NaN 1], 4);
%! assert (idx, [4 2 1 3]);
%! assert (D, [1 2 NaN NaN]);
%!test
%! [idx, D] = __rowsmallest__ ([0 -0 -1], 3);
%! assert (idx, [3 1 2]);
%! assert (D, [-1 0 0]);
%! assert (1 ./ D(2:3), [Inf -Inf]);     # each zero keeps its own sign
%!test
%! [idx, D] = __rowsmallest__ ([Inf NaN -Inf 5], 4);
%! assert (idx, [3 4 1 2]);
%! assert (D, [-Inf 5 Inf NaN]);

## K = 1 and K = N, and one result asked for.
%!test
%! [idx, D] = __rowsmallest__ ([NaN NaN NaN; 2 1 1; -0 0 -5], 1);
%! assert (idx, [1; 2; 3]);
%! assert (D, [NaN; 1; -5]);
%! dist = tie_rich (7, 9, "double");
%! [idx, D] = __rowsmallest__ (dist, 9);
%! [ridx, rD] = full_sort_cut (dist, 9);
%! assert (isequaln (idx, ridx) && isequaln (D, rD));
%! assert (__rowsmallest__ (dist, 9), ridx);

## Classes: single keeps single, integers and K's class play no part.
%!test
%! [idx, D] = __rowsmallest__ (single ([4 2 3]), int8 (2));
%! assert (class (idx), "double");
%! assert (class (D), "single");
%! assert (idx, [2 3]);
%! assert (D, single ([2 3]));
%! [idx, D] = __rowsmallest__ (int32 ([5 -7 5; 1 1 0]), single (3));
%! assert (class (D), "double");
%! assert (idx, [2 1 3; 3 1 2]);
%! assert (D, [-7 5 5; 0 1 1]);
%!test
%! [idx, D] = __rowsmallest__ (single ([1 NaN 2 -Inf]), 4);
%! assert (idx, [4 1 3 2]);
%! assert (isequaln (D, single ([-Inf 1 2 NaN])));

## A 3-D DIST: K is bounded by its second dimension, the rows scanned are
## those of its two-dimensional form.
%!test
%! dist = reshape ([1 2 3 4 5 6 7 8 9 10 11 12], 2, 3, 2);
%! [idx, D] = __rowsmallest__ (dist, 3);
%! assert (idx, [1 2 3; 1 2 3]);
%! assert (D, [1 3 5; 2 4 6]);
%!error <K must be an integer between 1 and columns> __rowsmallest__ (ones (2, 3, 2), 4)

## Bit-exact agreement with the full sort on many random tie-rich matrices,
## in both precisions, for shapes that use either selection method.
%!test
%! rand ("seed", 1);
%! for t = 1:150
%!   cls = {"double", "single"}{1 + mod (t, 2)};
%!   M = randi (70);
%!   N = randi (300);
%!   K = randi (N);
%!   if (mod (t, 3) == 0)
%!     K = randi (max (1, floor (N / 4)));
%!   endif
%!   dist = tie_rich (M, N, cls);
%!   if (mod (t, 5) == 0)
%!     dist = cast (rand (M, N) - 0.5, cls);
%!     dist(rand (M, N) < 0.05) = NaN;
%!   endif
%!   [idx, D] = __rowsmallest__ (dist, K);
%!   [ridx, rD] = full_sort_cut (dist, K);
%!   assert (isequaln (idx, ridx), true);
%!   assert (isequaln (D, rD) && strcmp (class (D), cls), true);
%!   assert (isequal (signbit (D(D == 0)), signbit (rD(rD == 0))), true);
%! endfor

## Rows that defeat a threshold filter: descending, all equal, all NaN,
## NaN only at the front.
%!test
%! N = 1000;
%! dist = [N:-1:1; zeros(1, N); NaN(1, N); NaN(1, 10) 1:N-10; -(1:N)];
%! for K = [1 3 64 250]
%!   [idx, D] = __rowsmallest__ (dist, K);
%!   [ridx, rD] = full_sort_cut (dist, K);
%!   assert (isequaln (idx, ridx) && isequaln (D, rD), true);
%! endfor

## Argument checks, in their order.
%!error <Invalid call> __rowsmallest__ (1)
%!error <Invalid call> __rowsmallest__ (1, 1, 1)
%!error <DIST must be a real numeric matrix> __rowsmallest__ (zeros (0, 5), 1)
%!error <DIST must be a real numeric matrix> __rowsmallest__ (zeros (5, 0), 1)
%!error <DIST must be a real numeric matrix> __rowsmallest__ (zeros (2, 2, 0), 1)
%!error <DIST must be a real numeric matrix> __rowsmallest__ ("ab", 1)
%!error <DIST must be a real numeric matrix> __rowsmallest__ (true (2), 1)
%!error <DIST must be a real numeric matrix> __rowsmallest__ ([1 2i], 1)
%!error <DIST must be a real numeric matrix> __rowsmallest__ ({1}, 1)
%!error <DIST must be a real numeric matrix> __rowsmallest__ ("ab", 0)
%!error <K must be a real scalar> __rowsmallest__ (1:3, [1 2])
%!error <K must be a real scalar> __rowsmallest__ (1:3, true)
%!error <K must be a real scalar> __rowsmallest__ (1:3, "a")
%!error <K must be a real scalar> __rowsmallest__ (1:3, 1+2i)
%!error <K must be a real scalar> __rowsmallest__ (1:3, {1})
%!test
%! for K = {0, 2.5, 4, NaN, Inf, -1, -Inf}
%!   try
%!     __rowsmallest__ (1:3, K{1});
%!     error ("K = %g was accepted", K{1});
%!   catch err
%!     assert (err.message, "__rowsmallest__: K must be an integer between 1 and columns (DIST).");
%!   end_try_catch
%! endfor
%!test
%! try
%!   __rowsmallest__ ([], 1);
%! catch err
%!   assert (err.message, "__rowsmallest__: DIST must be a real numeric matrix.");
%! end_try_catch
%! try
%!   __rowsmallest__ (1, {});
%! catch err
%!   assert (err.message, "__rowsmallest__: K must be a real scalar.");
%! end_try_catch
*/
