// __rowsmallest__: the K smallest entries of each row of a distance matrix,
// in the order a full sort of the row would give, found by partial selection.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <type_traits>
#include <vector>

#include "../binding/quorvel.h"
#include "validxless.h"

using quorvel::ValIdx;
using quorvel::ValIdxLess;

namespace
{
  // Plain method, one row at a time: gather the row into the work vector,
  // select the first K pairs with nth_element, then sort those K.  Row I
  // of the result is row I of DIST; STRIDE is the matrix's row count.
  template <typename T>
  void
  select_row_plain (const T *dist, int64_t stride, int64_t N, int64_t K,
                    int64_t i, std::vector<ValIdx<T>>& work, double *idx, T *D)
  {
    const ValIdxLess<T> less;
    for (int64_t j = 0; j < N; j++)
      work[j] = ValIdx<T> {dist[i + j*stride], j};
    if (K < N)
      std::nth_element (work.begin (), work.begin () + K, work.end (), less);
    std::sort (work.begin (), work.begin () + K, less);
    for (int64_t j = 0; j < K; j++)
      {
        idx[i + j*stride] = static_cast<double> (work[j].idx + 1);
        D[i + j*stride] = work[j].val;
      }
  }

  template <typename T>
  void
  select_rows_plain (const T *dist, int64_t M, int64_t N, int64_t K,
                     double *idx, T *D)
  {
    std::vector<ValIdx<T>> work (N);
    for (int64_t i = 0; i < M; i++)
      select_row_plain (dist, M, N, K, i, work, idx, D);
  }

#if ! defined (QUORVEL_PLAIN)

  // The full-sort row order as unsigned integers: numbers ascending, both
  // zeros equal, every NaN last and equal to every other.  Pairs taken in
  // column order and sorted stably by this key come out in that order.
  template <typename T>
  struct OrderKey
  {
    typedef typename std::conditional<sizeof (T) == 8, uint64_t, uint32_t>::type U;
    static constexpr int BITS = 8 * sizeof (U);

    static U
    of (T v)
    {
      if (std::isnan (v))
        return ~U (0);
      if (v == 0)
        v = 0;
      U u;
      std::memcpy (&u, &v, sizeof u);
      return (u >> (BITS - 1)) ? ~u : u | (U (1) << (BITS - 1));
    }
  };

  // A stable sort of N pairs, in column order, by their order keys: a
  // least-significant-digit radix sort over bytes, skipping the bytes all
  // keys share.  Its passes are branch-free, where a comparison sort of
  // random values mispredicts about every other step.  The first K pairs
  // in order are written to row I of the results.
  template <typename T>
  class KeySort
  {
  public:
    void
    first (const ValIdx<T> *b, int64_t n, int64_t K, int64_t i, int64_t M,
           double *idx, T *D)
    {
      typedef typename OrderKey<T>::U U;
      constexpr int BYTES = sizeof (U);
      m_a.resize (n);
      m_b.resize (n);
      uint32_t count[BYTES][256] = {};
      for (int64_t k = 0; k < n; k++)
        {
          const U key = OrderKey<T>::of (b[k].val);
          m_a[k] = Item {key, k};
          for (int d = 0; d < BYTES; d++)
            count[d][(key >> (8*d)) & 255]++;
        }
      for (int d = 0; d < BYTES; d++)
        {
          const int lead = (m_a[0].key >> (8*d)) & 255;
          if (count[d][lead] == uint64_t (n))
            continue;
          uint32_t start = 0;
          for (int c = 0; c < 256; c++)
            {
              const uint32_t here = count[d][c];
              count[d][c] = start;
              start += here;
            }
          for (int64_t k = 0; k < n; k++)
            m_b[count[d][(m_a[k].key >> (8*d)) & 255]++] = m_a[k];
          m_a.swap (m_b);
        }
      for (int64_t j = 0; j < K; j++)
        {
          const ValIdx<T>& p = b[m_a[j].pos];
          idx[i + j*M] = static_cast<double> (p.idx + 1);
          D[i + j*M] = p.val;
        }
    }

  private:
    struct Item
    {
      typename OrderKey<T>::U key;
      int64_t pos;
    };

    std::vector<Item> m_a, m_b;
  };

  // Filtered method.  A block of rows is read column by column, so every
  // pass over the columns reads contiguous runs of the column-major matrix.
  // Each row keeps a candidate buffer and a threshold; one vector
  // comparison rejects a vector of rows' values that cannot enter, and the
  // rare survivors go to the buffer.  For a small K the buffer holds the K
  // best so far in order, so the threshold is always the exact K-th best
  // and the fewest values get in.  For a larger K it gathers CAP pairs in
  // column order and a full buffer is cut back to its K best, still in
  // column order, whose K-th value becomes the threshold, so even a row
  // that admits every entry costs time linear in N; the buffer is sorted
  // once at the end.  The K best under a total order are unique, so the
  // result is the plain method's.
  template <typename T>
  class RowFilter
  {
  public:
    // SORTED keeps each buffer as the K best so far in order: about K/2
    // moves per admission, paid back by the tighter threshold while K is
    // small.
    RowFilter (int64_t rows, int64_t K, bool sorted)
      : m_K (K), m_sorted (sorted), m_cap (capacity (K, sorted)),
        m_buf (new ValIdx<T> [rows * m_cap]),
        m_count (rows), m_worst (rows + 64), m_full (rows), m_numbers (rows)
    { }

    static int64_t
    capacity (int64_t K, bool sorted)
    {
      return sorted ? K : 2*K + 32;
    }

    // Rows 0 .. ROWS-1 start empty, with thresholds that admit everything
    // (NaN fails every ">="), or with SEED's where given.
    void
    start (int64_t rows, const T *seed = nullptr)
    {
      std::fill_n (m_count.begin (), rows, 0);
      std::fill_n (m_full.begin (), rows, false);
      std::fill_n (m_numbers.begin (), rows, 0);
      if (seed)
        std::copy_n (seed, rows, m_worst.begin ());
      else
        std::fill_n (m_worst.begin (), rows, std::numeric_limits<T>::quiet_NaN ());
    }

    // Column J of the block, COL pointing at its first row, BITS wide
    // vectors.  Each lane is one row, tested against that row's threshold:
    // admitting a value changes only its own row's threshold.  AHEAD, when
    // not zero, is how far ahead the same rows of a later column lie: short
    // runs of rows are fetched before the hardware would start on them.
    template <int BITS>
    inline __attribute__ ((always_inline)) void
    scan (const T *col, int64_t rows, int64_t j, int64_t ahead)
    {
      typedef T V __attribute__ ((vector_size (BITS / 8)));
      constexpr int W = BITS / 8 / sizeof (T);
      const T *worst = m_worst.data ();
      int64_t r = 0;
      for (; r + 2*W <= rows; r += 2*W)
        {
          if (ahead != 0)
            {
              __builtin_prefetch (col + r + ahead);
              __builtin_prefetch (col + r + ahead + 2*W - 1);
            }
          V v0, v1, w0, w1;
          __builtin_memcpy (&v0, col + r, sizeof v0);
          __builtin_memcpy (&v1, col + r + W, sizeof v1);
          __builtin_memcpy (&w0, worst + r, sizeof w0);
          __builtin_memcpy (&w1, worst + r + W, sizeof w1);
          // Superset test: a lane passes every value that may beat the
          // worst, NaN included.
          const auto keep0 = v0 >= w0;
          const auto keep1 = v1 >= w1;
          if (__builtin_expect (quorvel::lane_mask (keep0 & keep1) == (1u << W) - 1, 1))
            continue;
          unsigned m = ~quorvel::lane_mask (keep0) & ((1u << W) - 1);
          m |= (~quorvel::lane_mask (keep1) & ((1u << W) - 1)) << W;
          do
            {
              const int lane = __builtin_ctz (m);
              m &= m - 1;
              admit (r + lane, col[r + lane], j);
            }
          while (m != 0);
        }
      for (; r < rows; r++)
        if (! (col[r] >= worst[r]))
          admit (r, col[r], j);
    }

    // Whether row R holds its K best: unseeded rows always do; a seeded
    // row does when at least K numbers passed its seed.
    bool
    complete (int64_t r) const
    {
      return m_numbers[r] >= m_K;
    }

    // The K-th best value held for row R, the next threshold above it (so
    // that a value equal to it still passes), or NaN when it is not a
    // finite number.
    T
    seed (int64_t r)
    {
      ValIdx<T> *b = m_buf.get () + r * m_cap;
      if (m_count[r] < m_K)
        return std::numeric_limits<T>::quiet_NaN ();
      const ValIdxLess<T> less;
      std::nth_element (b, b + m_K - 1, b + m_count[r], less);
      const T t = b[m_K - 1].val;
      if (! std::isfinite (t))
        return std::numeric_limits<T>::quiet_NaN ();
      return std::nextafter (t, std::numeric_limits<T>::infinity ());
    }

    // Sorted K best of row R, written to row I of the results.
    void
    finish (int64_t r, int64_t i, int64_t M, double *idx, T *D)
    {
      ValIdx<T> *b = m_buf.get () + r * m_cap;
      if (! m_sorted)
        return m_keysort.first (b, m_count[r], m_K, i, M, idx, D);
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
      if (m_sorted)
        return insert (r, v, j);
      if (m_full[r] && ! ValIdxLess<T>::later_beats (v, m_worst[r]))
        return;
      m_numbers[r] += ! std::isnan (v);
      ValIdx<T> *b = m_buf.get () + r * m_cap;
      b[m_count[r]++] = ValIdx<T> {v, j};
      if (m_count[r] == m_cap)
        {
          // The K-th best pair, found on a copy; the K best are the pairs
          // not after it, kept in place and in order.
          const ValIdxLess<T> less;
          m_cut.assign (b, b + m_cap);
          std::nth_element (m_cut.begin (), m_cut.begin () + m_K - 1, m_cut.end (), less);
          const ValIdx<T> kth = m_cut[m_K - 1];
          int64_t kept = 0;
          for (int64_t k = 0; k < m_cap; k++)
            if (! less (kth, b[k]))
              b[kept++] = b[k];
          m_count[r] = kept;
          m_worst[r] = kth.val;
          m_full[r] = true;
        }
    }

    // V, from column J, goes in its place among the K best so far, the
    // last of them dropping out once K are held.  Every index held is
    // below J, so V goes before exactly the values it beats.
    void
    insert (int64_t r, T v, int64_t j)
    {
      if (m_full[r] && ! ValIdxLess<T>::later_beats (v, m_worst[r]))
        return;
      ValIdx<T> *b = m_buf.get () + r * m_cap;
      int64_t pos = m_full[r] ? m_K - 1 : m_count[r]++;
      for (; pos > 0 && ValIdxLess<T>::later_beats (v, b[pos-1].val); pos--)
        b[pos] = b[pos-1];
      b[pos] = ValIdx<T> {v, j};
      if (m_count[r] == m_K)
        {
          m_worst[r] = b[m_K - 1].val;
          m_full[r] = true;
        }
    }

    int64_t m_K;
    bool m_sorted;
    int64_t m_cap;
    // Written before read: left uninitialised, it costs no pass of its own.
    std::unique_ptr<ValIdx<T> []> m_buf;
    std::vector<int64_t> m_count;
    std::vector<T> m_worst;
    std::vector<char> m_full;
    std::vector<int64_t> m_numbers;
    std::vector<ValIdx<T>> m_cut;
    KeySort<T> m_keysort;
  };

  // Every column of a block of rows through FILTER, every STEP-th column
  // from column 0 when sampling.
  template <typename T, int BITS>
  inline __attribute__ ((always_inline)) void
  sweep (RowFilter<T>& filter, const T *block, int64_t M, int64_t nr,
         int64_t N, int64_t step)
  {
    const int64_t ahead = nr < M ? 4*step*M : 0;
    for (int64_t j = 0; j < N; j += step)
      filter.template scan<BITS> (block + j*M, nr, step == 1 ? j : j / step, ahead);
  }

  template <typename T>
  QUORVEL_TARGET_512 void
  sweep512 (RowFilter<T>& f, const T *b, int64_t M, int64_t nr, int64_t N, int64_t s)
  {
    sweep<T, 512> (f, b, M, nr, N, s);
  }

  template <typename T>
  QUORVEL_TARGET_256 void
  sweep256 (RowFilter<T>& f, const T *b, int64_t M, int64_t nr, int64_t N, int64_t s)
  {
    sweep<T, 256> (f, b, M, nr, N, s);
  }

  template <typename T>
  QUORVEL_TARGET_128 void
  sweep128 (RowFilter<T>& f, const T *b, int64_t M, int64_t nr, int64_t N, int64_t s)
  {
    sweep<T, 128> (f, b, M, nr, N, s);
  }

  // Columns sampled per column kept when seeding, the least K seeded, and
  // the largest K kept in order; past about these the other way is faster.
  constexpr int64_t SAMPLE_STEP = 8;
  constexpr int64_t SEED_MIN_K = 48;
  constexpr int64_t SORTED_MAX_K = 64;

  template <typename T>
  void
  select_rows_filtered (const T *dist, int64_t M, int64_t N, int64_t K,
                        double *idx, T *D)
  {
    typedef void (*Sweep) (RowFilter<T>&, const T *, int64_t, int64_t, int64_t, int64_t);
    const int bits = quorvel::vector_bits ();
    const Sweep sweep = bits >= 512 ? sweep512<T> : (bits >= 256 ? sweep256<T>
                                                                  : sweep128<T>);
    // For a larger K the thresholds start loose and most of the work is
    // admitting; a first sweep over every STEP-th column finds each row a
    // value that, with high probability, at least K entries do not exceed:
    // the sample's Ks-th best for Ks well above K / STEP.  A row where
    // fewer than K numbers pass turns out to be rare and takes the plain
    // method, so the seed never changes the result.
    const int64_t ncols = (N + SAMPLE_STEP - 1) / SAMPLE_STEP;
    const double mean = double (K) / SAMPLE_STEP;
    const int64_t Ks = std::min (ncols, int64_t (mean + 4 * std::sqrt (mean) + 8));
    const bool seeded = K > SEED_MIN_K && 4*Ks <= ncols;
    const bool sorted = ! seeded && K <= SORTED_MAX_K;

    // Read as many rows per pass over the columns as the candidate buffers
    // allow within a fixed budget: long contiguous runs of each column, and
    // for moderate M one sequential sweep of the whole matrix.
    const int64_t per_row = RowFilter<T>::capacity (K, sorted) * int64_t (sizeof (ValIdx<T>));
    const int64_t budget = int64_t (4) << 20;
    const int64_t rows = std::min (M, std::max (int64_t (64), budget / per_row));
    RowFilter<T> filter (rows, K, sorted);
    std::unique_ptr<RowFilter<T>> sampler;
    std::vector<T> seed;
    if (seeded)
      {
        sampler.reset (new RowFilter<T> (rows, Ks, Ks <= SORTED_MAX_K));
        seed.resize (rows);
      }
    std::vector<ValIdx<T>> work;

    for (int64_t i0 = 0; i0 < M; i0 += rows)
      {
        const int64_t nr = std::min (rows, M - i0);
        if (seeded)
          {
            sampler->start (nr);
            sweep (*sampler, dist + i0, M, nr, N, SAMPLE_STEP);
            for (int64_t r = 0; r < nr; r++)
              seed[r] = sampler->seed (r);
          }
        filter.start (nr, seeded ? seed.data () : nullptr);
        sweep (filter, dist + i0, M, nr, N, 1);
        for (int64_t r = 0; r < nr; r++)
          if (! seeded || std::isnan (seed[r]) || filter.complete (r))
            filter.finish (r, i0 + r, M, idx, D);
          else
            {
              work.resize (N);
              select_row_plain (dist, M, N, K, i0 + r, work, idx, D);
            }
      }
  }

#endif

  template <typename T>
  void
  select_rows (const T *dist, int64_t M, int64_t N, int64_t K,
               double *idx, T *D)
  {
#if ! defined (QUORVEL_PLAIN)
    if (4*K <= N && M > 1)
      return select_rows_filtered (dist, M, N, K, idx, D);
#endif
    select_rows_plain (dist, M, N, K, idx, D);
  }

  template <typename MT>
  octave_value_list
  smallest (const MT& dist, int64_t K)
  {
    const int64_t M = dist.rows ();
    const int64_t N = dist.cols ();
    // K was checked against the argument's own second dimension, and the
    // conversion only ever folds further dimensions into the columns.
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
## NaN only at the front, and small values only in every eighth column
## (so that a threshold taken from those columns lets too few through);
## K chosen so that each way of filtering runs, in both classes.
%!test
%! N = 1000;
%! dist = [N:-1:1; zeros(1, N); NaN(1, N); NaN(1, 10) 1:N-10; -(1:N); N+1:2*N];
%! dist(end,1:8:N) = -(1:125);
%! dist(2,1:2:N) = -0;
%! for cls = {"double", "single"}
%!   for K = [1 3 48 49 64 65 100 250]
%!     d = cast (dist, cls{1});
%!     [idx, D] = __rowsmallest__ (d, K);
%!     [ridx, rD] = full_sort_cut (d, K);
%!     assert (isequaln (idx, ridx) && isequaln (D, rD), true);
%!     assert (signbit (D(2,:)), signbit (rD(2,:)));
%!   endfor
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
