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
  // Pair P as entry J of row I of the results: its column number, one
  // based, and its value.  M is the results' row count.
  template <typename T>
  inline void
  put (const ValIdx<T>& p, int64_t i, int64_t j, int64_t M, double *idx, T *D)
  {
    idx[i + j*M] = static_cast<double> (p.idx + 1);
    D[i + j*M] = p.val;
  }

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
      put (work[j], i, j, stride, idx, D);
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

  // The signed integer as wide as T: the lanes of column numbers and of
  // shuffle indices that move alongside a vector of values.
  template <typename T>
  using LaneInt = typename std::conditional<sizeof (T) == 8, int64_t, int32_t>::type;

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

  // Pairs as the sorts below read them: the filter's, and the seeded
  // sweep's survivors.
  template <typename T>
  struct Together
  {
    const ValIdx<T> *b;
    T val (int64_t k) const { return b[k].val; }
    ValIdx<T> pair (int64_t k) const { return b[k]; }
  };

  // A survivor of the seeded sweep: its value and its 32-bit column.
  template <typename T>
  struct Survivor
  {
    T val;
    int32_t col;
  };

  template <typename T>
  struct Survivors
  {
    const Survivor<T> *b;
    T val (int64_t k) const { return b[k].val; }
    ValIdx<T> pair (int64_t k) const { return ValIdx<T> {b[k].val, b[k].col}; }
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
    template <typename P>
    void
    first (const P& b, int64_t n, int64_t K, int64_t i, int64_t M,
           double *idx, T *D)
    {
      typedef typename OrderKey<T>::U U;
      constexpr int BYTES = sizeof (U);
      m_a.resize (n);
      m_b.resize (n);
      uint32_t count[BYTES][256] = {};
      for (int64_t k = 0; k < n; k++)
        {
          const U key = OrderKey<T>::of (b.val (k));
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
        put (b.pair (m_a[j].pos), i, j, M, idx, D);
    }

  private:
    struct Item
    {
      typename OrderKey<T>::U key;
      int64_t pos;
    };

    std::vector<Item> m_a, m_b;
  };

  // The first K of N pairs in column order, none NaN, in the full-sort
  // order: a counting sort on the leading bits in which the order keys
  // differ, which for values spread over their range leaves a pair or two
  // per bucket, then one insertion pass over the buckets that hold the
  // first K.  Returns false, having written nothing, when keys crowd into
  // a bucket.
  template <typename T>
  class LeadSort
  {
  public:
    template <typename P>
    bool
    first (const P& b, int64_t n, int64_t K, int64_t i, int64_t M,
           double *idx, T *D)
    {
      typedef typename OrderKey<T>::U U;
      m_key.resize (n);
      m_pos.resize (n);
      U lo = ~U (0), hi = 0;
      for (int64_t k = 0; k < n; k++)
        {
          const U key = OrderKey<T>::of (b.val (k));
          m_key[k] = key;
          lo = std::min (lo, key);
          hi = std::max (hi, key);
        }
      int shift = 0;
      while (((hi - lo) >> shift) >= U (BUCKETS))
        shift++;
      const int64_t nb = int64_t ((hi - lo) >> shift) + 1;
      uint32_t end[BUCKETS];
      std::fill_n (end, nb, 0);
      for (int64_t k = 0; k < n; k++)
        end[(m_key[k] - lo) >> shift]++;
      // UPTO: the pairs in the buckets up to the one that holds the K-th.
      uint32_t sum = 0, upto = 0;
      for (int64_t c = 0; c < nb; c++)
        {
          if (end[c] > CROWD)
            return false;
          sum += end[c];
          end[c] = sum - end[c];
          if (upto == 0 && sum >= uint32_t (K))
            upto = sum;
        }
      for (int64_t k = 0; k < n; k++)
        m_pos[end[(m_key[k] - lo) >> shift]++] = uint32_t (k);
      // In bucket order, one insertion pass puts those pairs in full
      // order: a pair moves only past pairs of its own bucket.
      uint32_t *p = m_pos.data ();
      const U *key = m_key.data ();
      for (int64_t e = 1; e < upto; e++)
        {
          const uint32_t q = p[e];
          const U kq = key[q];
          int64_t f = e;
          for (; f > 0 && key[p[f-1]] > kq; f--)
            p[f] = p[f-1];
          p[f] = q;
        }
      for (int64_t j = 0; j < K; j++)
        put (b.pair (p[j]), i, j, M, idx, D);
      return true;
    }

  private:
    static constexpr int BUCKETS = 1024;
    static constexpr uint32_t CROWD = 24;
    std::vector<typename OrderKey<T>::U> m_key;
    std::vector<uint32_t> m_pos;
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
    // SORTED keeps each buffer as the K best so far in order, paid back
    // by the tighter threshold while K is small.  Its values and column
    // numbers lie apart, in whole vectors of the widest kind, so that an
    // admission finds its place and moves the rest up with a few vector
    // steps and no branch.
    RowFilter (int64_t rows, int64_t K, bool sorted)
      : m_K (K), m_sorted (sorted), m_cap (capacity (K, sorted)),
        m_buf (quorvel::work_buffer<ValIdx<T>> (sorted ? 0 : rows * m_cap)),
        m_vals (quorvel::work_buffer<T> (sorted ? rows * m_cap : 0)),
        m_cols (quorvel::work_buffer<Col> (sorted ? rows * m_cap : 0)),
        m_count (rows), m_worst (rows + 64), m_full (rows)
    { }

    // Entries a row's buffer holds.
    static int64_t
    capacity (int64_t K, bool sorted)
    {
      constexpr int64_t lanes = 64 / sizeof (T);
      return sorted ? (K + lanes - 1) / lanes * lanes : 2*K + 32;
    }

    static int64_t
    row_bytes (int64_t K, bool sorted)
    {
      return capacity (K, sorted) * int64_t (sorted ? sizeof (T) + sizeof (Col)
                                                     : sizeof (ValIdx<T>));
    }

    // Column numbers in a sorted buffer are as wide as the values, so that
    // a vector of each moves alike: single precision needs N below 2^31.
    static bool
    can_sort (int64_t N)
    {
      return sizeof (T) == 8 || N <= std::numeric_limits<int32_t>::max ();
    }

    // Rows 0 .. ROWS-1 start empty, with thresholds that admit everything
    // (NaN fails every ">="); a sorted buffer's empty places hold NaN,
    // and column 0 so that no moved lane is undefined.
    void
    start (int64_t rows)
    {
      std::fill_n (m_count.begin (), rows, 0);
      std::fill_n (m_full.begin (), rows, false);
      std::fill_n (m_worst.begin (), rows, std::numeric_limits<T>::quiet_NaN ());
      if (m_sorted)
        {
          std::fill_n (m_vals.get (), rows * m_cap, std::numeric_limits<T>::quiet_NaN ());
          std::fill_n (m_cols.get (), rows * m_cap, Col (0));
        }
    }

    // Column J of the block, COL pointing at its first row, vectors of at
    // most BITS.  Each lane is one row, tested against that row's
    // threshold: admitting a value changes only its own row's threshold.
    // A test takes two vectors of at most 256 bits: with more lanes it
    // passes a survivor more often, and two 512-bit vectors of doubles a
    // test read the matrix more slowly.  AHEAD, when not zero, is how far
    // ahead the same rows of a later column lie: short runs of rows are
    // fetched before the hardware would start on them.
    template <int BITS>
    inline __attribute__ ((always_inline)) void
    scan (const T *col, int64_t rows, int64_t j, int64_t ahead)
    {
      constexpr int W = std::min (BITS, 256) / 8 / int (sizeof (T));
      typedef T V __attribute__ ((vector_size (W * sizeof (T))));
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
              admit<BITS> (r + lane, col[r + lane], j);
            }
          while (m != 0);
        }
      for (; r < rows; r++)
        if (! (col[r] >= worst[r]))
          admit<BITS> (r, col[r], j);
    }

    // Sorted K best of row R, written to row I of the results.
    void
    finish (int64_t r, int64_t i, int64_t M, double *idx, T *D)
    {
      if (! m_sorted)
        return m_keysort.first (Together<T> {m_buf.get () + r * m_cap}, m_count[r], m_K,
                                i, M, idx, D);
      const T *vals = m_vals.get () + r * m_cap;
      const Col *cols = m_cols.get () + r * m_cap;
      for (int64_t j = 0; j < m_K; j++)
        put (ValIdx<T> {vals[j], cols[j]}, i, j, M, idx, D);
    }

  private:
    typedef LaneInt<T> Col;

    template <int BITS>
    inline __attribute__ ((always_inline)) void
    admit (int64_t r, T v, int64_t j)
    {
      if (m_sorted)
        return insert<BITS> (r, v, j);
      if (m_full[r] && ! ValIdxLess<T>::later_beats (v, m_worst[r]))
        return;
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
    // last of them dropping out once K are held.  Every column held is
    // below J, so V goes after exactly the values it does not beat: the
    // numbers not above it, as NaN sorts last and empty places hold NaN.
    // A place past the K-th takes what drops out, which every later
    // admission beats, so it is never counted.  Vectors of BITS.
    template <int BITS>
    inline __attribute__ ((always_inline)) void
    insert (int64_t r, T v, int64_t j)
    {
      if (m_full[r] && ! ValIdxLess<T>::later_beats (v, m_worst[r]))
        return;
      constexpr int W = BITS / 8 / int (sizeof (T));
      typedef T V __attribute__ ((vector_size (W * sizeof (T))));
      typedef Col C __attribute__ ((vector_size (W * sizeof (T))));
      T *vals = m_vals.get () + r * m_cap;
      Col *cols = m_cols.get () + r * m_cap;
      // A broadcast, not V {} + v, which would turn -0 into +0.
      V vv;
      for (int l = 0; l < W; l++)
        vv[l] = v;
      int64_t pos = m_count[r];
      if (! std::isnan (v))
        {
          pos = 0;
          for (int64_t c = 0; c < m_cap; c += W)
            {
              V old;
              __builtin_memcpy (&old, vals + c, sizeof old);
              pos += __builtin_popcount (quorvel::lane_mask (old <= vv));
            }
        }
      // Each lane past the place takes its left neighbour: the last lane
      // of the vector before, then lanes 0 .. W-2 of its own.
      C lane, left;
      for (int l = 0; l < W; l++)
        {
          lane[l] = Col (l);
          left[l] = Col (W - 1 + l);
        }
      V vprev = {};
      C cprev = {};
      for (int64_t c = pos / W * W; c < m_cap; c += W)
        {
          V old;
          C oldc;
          __builtin_memcpy (&old, vals + c, sizeof old);
          __builtin_memcpy (&oldc, cols + c, sizeof oldc);
          const V up = __builtin_shuffle (vprev, old, left);
          const C upc = __builtin_shuffle (cprev, oldc, left);
          vprev = old;
          cprev = oldc;
          const C at = lane + Col (c);
          const auto keep = at < Col (pos);
          const auto here = at == Col (pos);
          const V nv = keep ? old : (here ? vv : up);
          const C nc = keep ? oldc : (here ? C {} + Col (j) : upc);
          __builtin_memcpy (vals + c, &nv, sizeof nv);
          __builtin_memcpy (cols + c, &nc, sizeof nc);
        }
      if (! m_full[r] && ++m_count[r] == m_K)
        m_full[r] = true;
      if (m_full[r])
        m_worst[r] = vals[m_K - 1];
    }

    int64_t m_K;
    bool m_sorted;
    int64_t m_cap;
    // Written before read: left uninitialised, it costs no pass of its own.
    quorvel::WorkBuffer<ValIdx<T>> m_buf;
    quorvel::WorkBuffer<T> m_vals;
    quorvel::WorkBuffer<Col> m_cols;
    std::vector<int64_t> m_count;
    std::vector<T> m_worst;
    std::vector<char> m_full;
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

  // Seeds for a larger K.  About one column in eight is sampled: the
  // first WIDTH columns of every 8 * WIDTH, side by side, so that they are
  // read together.  The blocks of sampled columns fall into RUNS runs, and
  // a row's seed lies just above the RANK-th smallest of its runs' minima:
  // at least RANK entries are not above it, and RANK is set so that,
  // whatever the order of a row's values, at least K are not with
  // overwhelming probability.  A run's minimum costs one branch-free
  // vector step per sampled column.  With K / 2 runs (128 at least) a
  // run's minimum is among the K best about one time in five, for any K
  // and N.

  struct SeedPlan
  {
    int64_t width, blocks, runs, rank;
  };

  inline SeedPlan
  seed_plan (int64_t N, int64_t K)
  {
    const int64_t step = 8;
    int64_t runs = std::min (std::max (int64_t (128), K / 2), (N + step - 1) / step);
    const int64_t width = std::max (int64_t (1), std::min (int64_t (8), N / step / runs));
    const int64_t group = width * step;
    const int64_t blocks = (N + group - 1) / group;
    const int64_t ns = N / group * width + std::min (width, N % group);
    runs = std::min (runs, blocks);
    // The chance that a run's minimum is among the row's K best, the mean
    // number of such runs, and five of its standard deviations above.
    const double p = 1 - std::pow (1 - double (K) / N, double (ns) / runs);
    const double sd = std::sqrt (runs * p * (1 - p));
    return SeedPlan {width, blocks, runs, int64_t (std::ceil (runs * p + 5 * sd)) + 1};
  }

  // Row R's seed from the minima: just above the plan's rank-th smallest,
  // or NaN where that is not a finite number.
  template <typename T>
  T
  seed_of (const T *mins, int64_t nr, int64_t r, const SeedPlan& plan,
           std::vector<T>& work)
  {
    work.resize (plan.runs);
    for (int64_t k = 0; k < plan.runs; k++)
      work[k] = mins[k*nr + r];
    std::nth_element (work.begin (), work.begin () + plan.rank - 1, work.end ());
    const T t = work[plan.rank - 1];
    if (! std::isfinite (t))
      return std::numeric_limits<T>::quiet_NaN ();
    return std::nextafter (t, std::numeric_limits<T>::infinity ());
  }

  // The minima of the plan's runs for rows 0 .. NR-1 of BLOCK, run by run:
  // MINS[k*NR + r] for run K and row R.  A block's sampled columns are
  // taken together, so a run's minima are read and written once a block.
  // NaN never wins, so a run of NaN and infinities leaves infinity.
  template <typename T, int BITS>
  inline __attribute__ ((always_inline)) void
  run_minima (const T *block, int64_t M, int64_t nr, int64_t N,
              const SeedPlan& plan, T *mins)
  {
    typedef T V __attribute__ ((vector_size (BITS / 8)));
    constexpr int W = BITS / 8 / sizeof (T);
    const T inf = std::numeric_limits<T>::infinity ();
    const int64_t group = plan.width * 8;
    for (int64_t k = 0; k < plan.runs; k++)
      {
        T *m = mins + k*nr;
        const int64_t b0 = k*plan.blocks / plan.runs;
        for (int64_t b = b0; b < (k+1)*plan.blocks / plan.runs; b++)
          {
            const T *col = block + b*group*M;
            const int64_t nc = std::min (plan.width, N - b*group);
            int64_t r = 0;
            for (; r + W <= nr; r += W)
              {
                V w = V {} + inf;
                if (b > b0)
                  __builtin_memcpy (&w, m + r, sizeof w);
                for (int64_t c = 0; c < nc; c++)
                  {
                    V v;
                    __builtin_memcpy (&v, col + c*M + r, sizeof v);
                    w = v < w ? v : w;
                  }
                __builtin_memcpy (m + r, &w, sizeof w);
              }
            for (; r < nr; r++)
              {
                T w = b > b0 ? m[r] : inf;
                for (int64_t c = 0; c < nc; c++)
                  w = col[c*M + r] < w ? col[c*M + r] : w;
                m[r] = w;
              }
          }
      }
  }

  // The seeds of rows 0 .. NR-1 of BLOCK from their runs' minima, a
  // vector of rows at a time: a search on the order keys (as integers)
  // for the least key that at least RANK minima do not exceed, each step
  // halving every lane's interval.  The steps stop short of the exact
  // value, always above it and within a small fraction of its binade,
  // which is all a seed needs.  Rows past the last whole vector select
  // exactly.
  template <typename T, int BITS>
  inline __attribute__ ((always_inline)) void
  run_seeds (const T *block, int64_t M, int64_t nr, int64_t N,
             const SeedPlan& plan, T *mins, T *seed)
  {
    typedef typename OrderKey<T>::U U;
    typedef typename std::make_signed<U>::type S;
    typedef U VU __attribute__ ((vector_size (BITS / 8)));
    typedef S VS __attribute__ ((vector_size (BITS / 8)));
    constexpr int W = BITS / 8 / sizeof (T);
    constexpr int B = 8 * sizeof (U);
    run_minima<T, BITS> (block, M, nr, N, plan, mins);
    const VS rank = VS {} + S (plan.rank);
    std::unique_ptr<U []> keys (new U [plan.runs * W]);
    int64_t r = 0;
    for (; r + W <= nr; r += W)
      {
        // No minimum is NaN, so the key is the bits with the sign bit
        // flipped for a number of either sign, and all bits flipped for
        // a negative one.
        VU lo = ~VU {}, hi = VU {};
        for (int64_t k = 0; k < plan.runs; k++)
          {
            VU u;
            __builtin_memcpy (&u, mins + k*nr + r, sizeof u);
            u ^= VU ((VS) u >> (B - 1)) | (U (1) << (B - 1));
            __builtin_memcpy (keys.get () + k*W, &u, sizeof u);
            lo = u < lo ? u : lo;
            hi = u > hi ? u : hi;
          }
        for (int step = 0; step < 24; step++)
          {
            const VU mid = lo + ((hi - lo) >> 1);
            VS count = {};
            for (int64_t k = 0; k < plan.runs; k++)
              {
                VU key;
                __builtin_memcpy (&key, keys.get () + k*W, sizeof key);
                count -= VS (key <= mid);
              }
            const VS enough = count >= rank;
            hi = enough ? mid : hi;
            lo = enough ? lo : mid + 1;
          }
        for (int l = 0; l < W; l++)
          {
            const U k = hi[l];
            const U u = (k >> (B - 1)) ? k ^ (U (1) << (B - 1)) : ~k;
            T t;
            __builtin_memcpy (&t, &u, sizeof t);
            seed[r + l] = std::isfinite (t)
                          ? std::nextafter (t, std::numeric_limits<T>::infinity ())
                          : std::numeric_limits<T>::quiet_NaN ();
          }
      }
    std::vector<T> work;
    for (; r < nr; r++)
      seed[r] = seed_of (mins, nr, r, plan, work);
  }

  template <typename T>
  QUORVEL_TARGET_512 void
  seeds512 (const T *b, int64_t M, int64_t nr, int64_t N, const SeedPlan& p, T *m, T *s)
  {
    run_seeds<T, 512> (b, M, nr, N, p, m, s);
  }

  template <typename T>
  QUORVEL_TARGET_256 void
  seeds256 (const T *b, int64_t M, int64_t nr, int64_t N, const SeedPlan& p, T *m, T *s)
  {
    run_seeds<T, 256> (b, M, nr, N, p, m, s);
  }

  template <typename T>
  QUORVEL_TARGET_128 void
  seeds128 (const T *b, int64_t M, int64_t nr, int64_t N, const SeedPlan& p, T *m, T *s)
  {
    run_seeds<T, 128> (b, M, nr, N, p, m, s);
  }

  // For each mask of W lanes, the lanes set, in order, then zeros: the
  // shuffle that packs a vector's chosen lanes to its front.
  template <typename I, int W>
  struct PackTable
  {
    I lanes[1 << W][W];

    constexpr PackTable ()
      : lanes ()
    {
      for (int m = 0; m < (1 << W); m++)
        for (int l = 0, k = 0; l < W; l++)
          if (m >> l & 1)
            lanes[m][k++] = I (l);
    }
  };

  // A seed as the sweep reads it: a double's as a float, a single's as
  // the upper half of its bits, either rounded up, so that the thresholds
  // take less of the cache beside the matrix streaming past.  A threshold
  // not below the seed lets a few more values survive and changes nothing
  // else.
  template <typename T>
  struct Cut
  {
    typedef T type;
    static T of (T t) { return t; }
    static T value (T c) { return c; }
  };

  template <>
  struct Cut<double>
  {
    typedef float type;

    static float
    of (double t)
    {
      float c = float (t);
      if (double (c) < t)
        c = std::nextafter (c, std::numeric_limits<float>::infinity ());
      return c;
    }

    static double value (float c) { return c; }
  };

  template <>
  struct Cut<float>
  {
    typedef uint16_t type;

    static uint16_t
    of (float t)
    {
      if (std::isnan (t))
        return 0x7fc0;
      uint32_t u;
      std::memcpy (&u, &t, sizeof u);
      // Dropping the low bits raises a negative number; a positive one's
      // are rounded up.
      return (u >> 31) ? uint16_t (u >> 16) : uint16_t ((uint64_t (u) + 0xffff) >> 16);
    }

    static float
    value (uint16_t c)
    {
      const uint32_t u = uint32_t (c) << 16;
      float t;
      std::memcpy (&t, &u, sizeof t);
      return t;
    }
  };

  // W, the thresholds of a vector of rows, from their cuts at C.
  template <typename VH, typename T>
  inline __attribute__ ((always_inline)) void
  cut_vector (VH& w, const T *c)
  {
    __builtin_memcpy (&w, c, sizeof w);
  }

  template <typename VH>
  inline __attribute__ ((always_inline)) void
  cut_vector (VH& w, const float *c)
  {
    typename quorvel::Vec<float, sizeof (VH) * 4>::type f;
    __builtin_memcpy (&f, c, sizeof f);
    w = __builtin_convertvector (f, VH);
  }

  template <typename VH>
  inline __attribute__ ((always_inline)) void
  cut_vector (VH& w, const uint16_t *c)
  {
    constexpr int H = sizeof (VH) / 4;
    typedef typename quorvel::Vec<uint32_t, 32 * H>::type U;
    typename quorvel::Vec<uint16_t, 16 * H>::type h;
    __builtin_memcpy (&h, c, sizeof h);
    const U u = __builtin_convertvector (h, U) << 16;
    __builtin_memcpy (&w, &u, sizeof w);
  }

  // Survivors of fixed seeds, for a larger K.  With the thresholds fixed a
  // survivor needs no row state, so the sweep packs each vector's
  // survivors and their rows to the end of one sequential log, without a
  // branch, and the log is dealt out to the rows afterwards, in column
  // order.  The strict test lets no NaN through: where K numbers pass, no
  // NaN is among the K best.  Every CENSUS columns the new survivors are
  // counted by row; a row that reaches CAP stops admitting (its threshold
  // drops to minus infinity) and is left to the full filter.
  template <typename T>
  struct SeedLog
  {
    static constexpr int64_t CENSUS = 64;

    SeedLog (int64_t rows, int64_t K, int64_t N)
      : cap (capacity (K)), thresh (rows + 64), cut (rows + 64), count (rows + 64),
        start (rows + 1),
        colpos (N + 1), size (rows * (cap + CENSUS) + 64),
        val (quorvel::work_buffer<T> (size)), row (quorvel::work_buffer<int32_t> (size))
    { }

    // Survivors a row may hold, far above the seeds' usual 2K or so.
    static int64_t
    capacity (int64_t K)
    {
      return 8*K + 256;
    }

    // Log entries FROM .. TO-1 counted by row.
    void
    census (int64_t from, int64_t to)
    {
      for (int64_t e = from; e < to; e++)
        if (++count[row[e]] == cap)
          cut[row[e]] = Cut<T>::of (-std::numeric_limits<T>::infinity ());
    }

    // The log dealt out: row R's survivors in column order from
    // SV + START[R] onwards, each written with one store.
    void
    deal (int64_t nr, int64_t N)
    {
      const int64_t n = colpos[N];
      if (n > held)
        {
          sv = quorvel::work_buffer<Survivor<T>> (n);
          quorvel::map_pages (sv.get (), n);
          held = n;
        }
      std::vector<int64_t>& at = start;
      int64_t sum = 0;
      for (int64_t r = 0; r < nr; r++)
        {
          at[r] = sum;
          sum += count[r];
        }
      at[nr] = sum;
      for (int64_t j = 0; j < N; j++)
        for (int64_t e = colpos[j]; e < colpos[j+1]; e++)
          {
            const int64_t to = at[row[e]]++;
            sv[to] = Survivor<T> {val[e], int32_t (j)};
          }
      for (int64_t r = nr; r > 0; r--)
        at[r] = at[r-1];
      at[0] = 0;
    }

    int64_t cap;
    std::vector<T> thresh;
    std::vector<typename Cut<T>::type> cut;
    std::vector<int64_t> count;
    std::vector<int64_t> start, colpos;
    int64_t size;
    quorvel::WorkBuffer<T> val;
    quorvel::WorkBuffer<int32_t> row;
    quorvel::WorkBuffer<Survivor<T>> sv;
    int64_t held = 0;
  };

  template <typename T, int BITS>
  inline __attribute__ ((always_inline)) void
  log_sweep (SeedLog<T>& L, const T *block, int64_t M, int64_t nr, int64_t N)
  {
    // At most eight lanes: with more, a vector holds a survivor more
    // often, and the table of packing shuffles grows as 2 to the lanes.
    constexpr int W = std::min (BITS / 8 / int (sizeof (T)), 8);
    // Matrix and thresholds are read and compared in halves of 256 bits:
    // eight doubles in one 512-bit load read the matrix more slowly.
    constexpr int H = std::min (W, 32 / int (sizeof (T)));
    typedef T V __attribute__ ((vector_size (W * sizeof (T))));
    typedef T VH __attribute__ ((vector_size (H * sizeof (T))));
    typedef decltype (V {} < V {}) C;
    typedef int32_t R __attribute__ ((vector_size (W * 4)));
    typedef LaneInt<T> I;
    static_assert (sizeof (C) == W * sizeof (I), "shuffle lanes match the values'");
    static constexpr PackTable<I, W> pack {};
    const typename Cut<T>::type *cut = L.cut.data ();
    T *val = L.val.get ();
    int32_t *row = L.row.get ();
    int64_t n = 0, counted = 0;
    for (int64_t j = 0; j < N; j++)
      {
        if (j % SeedLog<T>::CENSUS == 0)
          {
            L.census (counted, n);
            counted = n;
          }
        L.colpos[j] = n;
        const T *col = block + j*M;
        int64_t r = 0;
        for (; r + W <= nr; r += W)
          {
            V v;
            unsigned m;
            if constexpr (H == W)
              {
                V w;
                __builtin_memcpy (&v, col + r, sizeof v);
                cut_vector (w, cut + r);
                m = quorvel::lane_mask (v < w);
              }
            else
              {
                VH a, b, ta, tb;
                __builtin_memcpy (&a, col + r, sizeof a);
                __builtin_memcpy (&b, col + r + H, sizeof b);
                cut_vector (ta, cut + r);
                cut_vector (tb, cut + r + H);
                m = quorvel::lane_mask (a < ta) | quorvel::lane_mask (b < tb) << H;
                v = __builtin_shufflevector (a, b, 0, 1, 2, 3, 4, 5, 6, 7);
              }
            C p;
            __builtin_memcpy (&p, pack.lanes[m], sizeof p);
            const V packed = __builtin_shuffle (v, p);
            const R rows = __builtin_convertvector (p, R) + int32_t (r);
            __builtin_memcpy (val + n, &packed, sizeof packed);
            __builtin_memcpy (row + n, &rows, sizeof rows);
            n += __builtin_popcount (m);
          }
        for (; r < nr; r++)
          if (col[r] < Cut<T>::value (cut[r]))
            {
              val[n] = col[r];
              row[n++] = int32_t (r);
            }
      }
    L.census (counted, n);
    L.colpos[N] = n;
  }

  template <typename T>
  QUORVEL_TARGET_512 void
  logsweep512 (SeedLog<T>& L, const T *b, int64_t M, int64_t nr, int64_t N)
  {
    log_sweep<T, 512> (L, b, M, nr, N);
  }

  template <typename T>
  QUORVEL_TARGET_256 void
  logsweep256 (SeedLog<T>& L, const T *b, int64_t M, int64_t nr, int64_t N)
  {
    log_sweep<T, 256> (L, b, M, nr, N);
  }

  template <typename T>
  QUORVEL_TARGET_128 void
  logsweep128 (SeedLog<T>& L, const T *b, int64_t M, int64_t nr, int64_t N)
  {
    log_sweep<T, 128> (L, b, M, nr, N);
  }

  // The least K seeded, and the largest K kept in order; past about these
  // the other way is faster.
  constexpr int64_t SEED_MIN_K = 48;
  constexpr int64_t SORTED_MAX_K = 64;

  // Rows I0 .. I0+NR-1 through the full filter, unseeded; only the rows
  // flagged in WANTED (all where none is given) are written.
  template <typename T>
  void
  filter_rows (const T *dist, int64_t M, int64_t N, int64_t K, int64_t i0,
               int64_t nr, const std::vector<char> *wanted, double *idx, T *D)
  {
    typedef void (*Sweep) (RowFilter<T>&, const T *, int64_t, int64_t, int64_t, int64_t);
    const int bits = quorvel::vector_bits ();
    const Sweep sweep = bits >= 512 ? sweep512<T> : (bits >= 256 ? sweep256<T>
                                                                  : sweep128<T>);
    const bool sorted = K <= SORTED_MAX_K && RowFilter<T>::can_sort (N);
    // Read as many rows per pass over the columns as the candidate buffers
    // allow within a fixed budget: long contiguous runs of each column, and
    // for moderate M one sequential sweep of the whole matrix.
    const int64_t per_row = RowFilter<T>::row_bytes (K, sorted);
    const int64_t budget = int64_t (4) << 20;
    const int64_t rows = std::min (nr, std::max (int64_t (64), budget / per_row));
    RowFilter<T> filter (rows, K, sorted);
    for (int64_t b0 = 0; b0 < nr; b0 += rows)
      {
        OCTAVE_QUIT;
        const int64_t nb = std::min (rows, nr - b0);
        filter.start (nb);
        sweep (filter, dist + i0 + b0, M, nb, N, 1);
        for (int64_t r = 0; r < nb; r++)
          if (! wanted || (*wanted)[b0 + r])
            filter.finish (r, i0 + b0 + r, M, idx, D);
      }
  }

  template <typename T>
  void
  select_rows_seeded (const T *dist, int64_t M, int64_t N, int64_t K,
                      const SeedPlan& plan, double *idx, T *D)
  {
    typedef void (*Seeds) (const T *, int64_t, int64_t, int64_t, const SeedPlan&, T *, T *);
    typedef void (*LogSweep) (SeedLog<T>&, const T *, int64_t, int64_t, int64_t);
    const int bits = quorvel::vector_bits ();
    const Seeds seeds = bits >= 512 ? seeds512<T> : (bits >= 256 ? seeds256<T>
                                                                  : seeds128<T>);
    const LogSweep log_sweep = bits >= 512 ? logsweep512<T>
                               : (bits >= 256 ? logsweep256<T> : logsweep128<T>);
    // Rows per sweep: as many as a log of bounded size holds.  Only the
    // part written is ever mapped, so one sweep covers the matrix as a
    // rule, reading it in order.
    const int64_t per_row = (SeedLog<T>::capacity (K) + SeedLog<T>::CENSUS)
                            * int64_t (sizeof (T) + 4);
    const int64_t budget = int64_t (128) << 20;
    const int64_t rows = std::min (M, std::max (int64_t (8), budget / per_row));
    SeedLog<T> L (rows, K, N);
    quorvel::WorkBuffer<T> mins = quorvel::work_buffer<T> (plan.runs * rows);
    std::vector<char> failed (rows);
    KeySort<T> keysort;
    LeadSort<T> leadsort;
    std::vector<ValIdx<T>> work;
    for (int64_t i0 = 0; i0 < M; i0 += rows)
      {
        OCTAVE_QUIT;
        const int64_t nr = std::min (rows, M - i0);
        seeds (dist + i0, M, nr, N, plan, mins.get (), L.thresh.data ());
        for (int64_t r = 0; r < nr; r++)
          L.cut[r] = Cut<T>::of (L.thresh[r]);
        std::fill_n (L.count.begin (), nr, 0);
        log_sweep (L, dist + i0, M, nr, N);
        L.deal (nr, N);
        int64_t nfailed = 0;
        for (int64_t r = 0; r < nr; r++)
          {
            const int64_t n = L.count[r];
            failed[r] = n < K || n >= L.cap;
            if (failed[r])
              nfailed++;
            else
              {
                const Survivors<T> b {L.sv.get () + L.start[r]};
                if (! leadsort.first (b, n, K, i0 + r, M, idx, D))
                  keysort.first (b, n, K, i0 + r, M, idx, D);
              }
          }
        // The rows the seeds failed: one by one when few, else by a sweep
        // of the full filter.
        if (nfailed * 32 > nr)
          filter_rows (dist, M, N, K, i0, nr, &failed, idx, D);
        else if (nfailed > 0)
          for (int64_t r = 0; r < nr; r++)
            if (failed[r])
              {
                work.resize (N);
                select_row_plain (dist, M, N, K, i0 + r, work, idx, D);
              }
      }
  }

  template <typename T>
  void
  select_rows_filtered (const T *dist, int64_t M, int64_t N, int64_t K,
                        double *idx, T *D)
  {
    // For a larger K the thresholds start loose and most of the work is
    // admitting; a first pass over a sample of the columns finds each row
    // a seed that, with high probability, at least K entries do not
    // exceed.  A row where fewer than K numbers pass turns out to be rare
    // and takes another way, so the seed never changes the result.  K
    // stays below 2^26, so that a row's candidates have 32-bit positions,
    // and N within 32 bits, the survivors' column numbers.
    const SeedPlan plan = seed_plan (N, K);
    if (K > SEED_MIN_K && K < (int64_t (1) << 26) && 2*plan.rank <= plan.runs
        && N <= std::numeric_limits<int32_t>::max ())
      return select_rows_seeded (dist, M, N, K, plan, idx, D);
    filter_rows (dist, M, N, K, 0, M, nullptr, idx, D);
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
    // The results are written in full: no zero fill, and their pages
    // mapped up front, which costs a large K less than a fault per page.
    Matrix idx = quorvel::unfilled_array<Matrix> (dim_vector (M, K));
    MT D = quorvel::unfilled_array<MT> (dim_vector (M, K));
    quorvel::map_pages (idx.fortran_vec (), idx.numel ());
    quorvel::map_pages (D.fortran_vec (), D.numel ());
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
## K chosen so that each way of filtering runs, in both classes.  Alone,
## and among many ordinary rows, so that rows the thresholds fail are
## redone both together and one by one; then ordinary rows wide enough
## that a seed's run spans several blocks of sampled columns.
%!test
%! N = 1000;
%! odd = [N:-1:1; zeros(1, N); NaN(1, N); NaN(1, 10) 1:N-10; -(1:N); N+1:2*N];
%! odd(end,1:8:N) = -(1:125);
%! odd(2,1:2:N) = -0;
%! rand ("seed", 2);
%! wide = rand (21, 9000);
%! wide(rand (21, 9000) < 0.01) = NaN;
%! for dist = {odd, [odd; rand(94, N)], wide}
%!   for cls = {"double", "single"}
%!     for K = [1 3 48 49 64 65 100 250]
%!       d = cast (dist{1}, cls{1});
%!       [idx, D] = __rowsmallest__ (d, K);
%!       [ridx, rD] = full_sort_cut (d, K);
%!       assert (isequaln (idx, ridx) && isequaln (D, rD), true);
%!       assert (signbit (D(2,:)), signbit (rD(2,:)));
%!     endfor
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
