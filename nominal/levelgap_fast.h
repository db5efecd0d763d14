// Fast pair loop of __levelgap__, written once with the compiler's generic
// vectors and built for 512, 256 and 128 bits.  Each vector lane is one
// pair; a lane adds its variables' contributions in ascending
// variable order, one rounded addition each, exactly as the plain loop of
// levelgap.h does, so the results are the same bits.  Contributions come
// from the policies themselves: either the match and mismatch values of a
// SELECT policy, or, for the other measures, a table holding the policy's
// step for every pair of levels of a variable (so lin, lin1 and burnaby
// take each logarithm once per call instead of once per pair).
#ifndef QUORVEL_LEVELGAP_FAST_H
#define QUORVEL_LEVELGAP_FAST_H

#include "levelgap.h"

#include <type_traits>

namespace quorvel
{
namespace nominal
{
  // Pairs per block: four vectors of eight lanes.
  constexpr int64_t BLOCK = 32;

  // Largest pair table built, in entries of each running value.
  constexpr int64_t TABLE_CAP = int64_t (1) << 20;

  // The second set, one column per active variable, as codes local to the
  // variable (slot - offset), padded with BLOCK zeros so that a block may
  // read past the last row.
  struct Columns
  {
    int64_t stride = 0;
    std::vector<int32_t> code;
    std::vector<double> dcode;  // the same codes as doubles, for compares
    bool absent = false;        // some code has frequency zero
  };

  inline Columns
  localColumns (const std::vector<int64_t>& codes, int64_t rows, int64_t p,
                const Stats& t, const std::vector<int64_t>& active, bool asDouble)
  {
    Columns c;
    c.stride = rows + BLOCK;
    c.code.assign (active.size () * c.stride, 0);
    for (size_t a = 0; a < active.size (); a++)
      {
        const int64_t k = active[a];
        int32_t *col = c.code.data () + a * c.stride;
        for (int64_t r = 0; r < rows; r++)
          {
            const int64_t s = codes[r*p + k];
            col[r] = static_cast<int32_t> (s - t.offset[k]);
            if (t.freq[s] == 0)
              c.absent = true;
          }
      }
    if (asDouble)
      c.dcode.assign (c.code.begin (), c.code.end ());
    return c;
  }

  // Row width of a variable's table: one vector, two vectors (both read by
  // permutes), or the level count (read by gathers).
  inline int64_t
  tableWidth (int64_t levels)
  {
    return levels <= 8 ? 8 : (levels <= 16 ? 16 : levels);
  }

  // Entry (x, y) of variable k's table is the policy's step for a first
  // level x and a second level y, taken from running values of zero.  The
  // running values start at +0 and only ever grow by additions, so they are
  // never -0 and adding a step equals taking it.  The two "set" steps of
  // these measures also equal an addition: iof's NaN absorbs everything
  // after it, and anderberg's B, a sum of positive terms, stays +Inf.
  struct PairTables
  {
    std::vector<int64_t> start;
    std::vector<int64_t> width;
    std::vector<double> first;
    std::vector<double> second;
  };

  inline int64_t
  tableSize (const Stats& t, const std::vector<int64_t>& active)
  {
    int64_t total = 0;
    for (const int64_t k : active)
      {
        const int64_t L = t.offset[k+1] - t.offset[k];
        total += L * tableWidth (L);
        if (total > TABLE_CAP)
          break;
      }
    return total;
  }

  template <typename Policy>
  PairTables
  buildTables (const Policy& pol, const Stats& t,
               const std::vector<int64_t>& active, int64_t total)
  {
    PairTables tab;
    tab.start.resize (active.size ());
    tab.width.resize (active.size ());
    tab.first.assign (total, 0.0);
    if (Policy::VALUES == 2)
      tab.second.assign (total, 0.0);
    int64_t at = 0;
    for (size_t a = 0; a < active.size (); a++)
      {
        const int64_t k = active[a];
        const int64_t off = t.offset[k];
        const int64_t L = t.offset[k+1] - off;
        const int64_t w = tableWidth (L);
        tab.start[a] = at;
        tab.width[a] = w;
        for (int64_t x = 0; x < L; x++)
          {
            if (t.freq[off + x] == 0)
              continue;         // never a first level: X's levels are present
            for (int64_t y = 0; y < L; y++)
              {
                double v1 = 0;
                double v2 = 0;
                pol.add (k, off + x, off + y, v1, v2);
                tab.first[at + x*w + y] = v1;
                if (Policy::VALUES == 2)
                  tab.second[at + x*w + y] = v2;
              }
          }
        at += L * w;
      }
    return tab;
  }

  template <typename T, int BITS>
  struct Vec
  {
    typedef T type __attribute__ ((vector_size (BITS / 8)));
  };

  // Adds a lane's table entry to each lane of ACC: one permute of one or
  // two vectors where the row fits, else one load per lane.  (Vectors pass
  // by reference: this is inlined into each width's loop and never has a
  // calling convention of its own.)
  template <int BITS, typename V, typename I>
  inline __attribute__ ((always_inline)) void
  addEntry (V& acc, const double *row, int64_t w, const I& code)
  {
    constexpr int W = BITS / 64;
    if constexpr (BITS == 512)
      {
        V lo;
        __builtin_memcpy (&lo, row, sizeof lo);
        if (w == 8)
          {
            acc = acc + __builtin_shuffle (lo, code);
            return;
          }
        if (w == 16)
          {
            V hi;
            __builtin_memcpy (&hi, row + W, sizeof hi);
            acc = acc + __builtin_shuffle (lo, hi, code);
            return;
          }
      }
    else if constexpr (BITS == 256)
      if (w == 8)
        {
          V lo, hi;
          __builtin_memcpy (&lo, row, sizeof lo);
          __builtin_memcpy (&hi, row + W, sizeof hi);
          acc = acc + __builtin_shuffle (lo, hi, code);
          return;
        }
    V v;
#pragma GCC unroll 8
    for (int l = 0; l < W; l++)
      v[l] = row[code[l]];
    acc = acc + v;
  }

  // The pair loop for vectors of BITS bits: four vectors of lanes per
  // block of pairs, each lane one pair.  A lane's running values change
  // only by the additions the plain loop makes, in the same order.
  template <typename Policy, int BITS>
  inline __attribute__ ((always_inline)) void
  pairsVec (const Policy& pol, const Stats& t,
            const std::vector<int64_t>& xCodes, const Columns& cols,
            const PairTables& tab, int64_t nx, int64_t ny, int64_t p,
            bool oneSet, const std::vector<int64_t>& active, double *out)
  {
    typedef typename Vec<double, BITS>::type V;
    typedef typename Vec<int64_t, BITS>::type I;
    typedef typename Vec<int32_t, BITS / 2>::type I32;
    constexpr int W = BITS / 64;
    constexpr int64_t B = 4 * W;
    static_assert (B <= BLOCK, "a block reads at most the padding past the last row");

    const int64_t na = active.size ();
    std::vector<int64_t> xl (na);
    std::vector<double> mv (na);
    std::vector<double> mm (na);
    std::vector<const double *> r1 (na);
    std::vector<const double *> r2 (na);
    double b1[B];
    double b2[B];
    bool mismatch = false;
    if constexpr (Policy::SELECT)
      mismatch = pol.hasMismatch ();
    // A copy no store can reach: its constants stay in registers.
    const Policy fin = pol;

    int64_t c = 0;
    for (int64_t i = 0; i < nx; i++)
      {
        OCTAVE_QUIT;
        for (int64_t a = 0; a < na; a++)
          {
            const int64_t k = active[a];
            const int64_t x = xCodes[i*p + k];
            xl[a] = x - t.offset[k];
            if constexpr (Policy::SELECT)
              {
                mv[a] = pol.match (k, x);
                mm[a] = pol.mismatch (k);
              }
            else
              {
                const int64_t at = tab.start[a] + xl[a] * tab.width[a];
                r1[a] = tab.first.data () + at;
                if (Policy::VALUES == 2)
                  r2[a] = tab.second.data () + at;
              }
          }
        for (int64_t jb = oneSet ? i + 1 : 0; jb < ny; jb += B)
          {
            V s[4] = {}, u[4] = {};
            for (int64_t a = 0; a < na; a++)
              {
                const int32_t *yk = cols.code.data () + a * cols.stride + jb;
                if constexpr (Policy::SELECT)
                  {
                    // Codes compared as doubles (exact below 2^31): one
                    // load and one compare every width has.
                    const double *yd = cols.dcode.data () + a * cols.stride + jb;
                    const V xv = double (xl[a]) - V {};
                    const V m = mv[a] - V {};
                    const V n = mm[a] - V {};
#pragma GCC unroll 4
                    for (int q = 0; q < 4; q++)
                      {
                        V cd;
                        __builtin_memcpy (&cd, yd + W*q, sizeof cd);
                        const auto eq = cd == xv;
                        s[q] = eq ? s[q] + m : s[q];
                        if (mismatch)
                          s[q] = eq ? s[q] : s[q] + n;
                      }
                  }
                else
                  {
                    const int64_t w = tab.width[a];
#pragma GCC unroll 4
                    for (int q = 0; q < 4; q++)
                      {
                        I32 c32;
                        __builtin_memcpy (&c32, yk + W*q, sizeof c32);
                        const I code = __builtin_convertvector (c32, I);
                        addEntry<BITS> (s[q], r1[a], w, code);
                        if (Policy::VALUES == 2)
                          addEntry<BITS> (u[q], r2[a], w, code);
                      }
                  }
              }
#pragma GCC unroll 4
            for (int q = 0; q < 4; q++)
              {
                __builtin_memcpy (b1 + W*q, &s[q], sizeof s[q]);
                __builtin_memcpy (b2 + W*q, &u[q], sizeof u[q]);
              }
            const int64_t n = std::min (B, ny - jb);
            if (oneSet && n == B)
              {
                // A whole block: a fixed count the compiler may vectorise.
                for (int64_t l = 0; l < B; l++)
                  out[c + l] = fin.finish (b1[l], b2[l]);
                c += B;
                continue;
              }
            for (int64_t l = 0; l < n; l++)
              {
                const double d = fin.finish (b1[l], b2[l]);
                if (oneSet)
                  out[c++] = d;
                else
                  out[i + (jb + l)*nx] = d;
              }
          }
      }
  }

  template <typename Policy>
  QUORVEL_TARGET_512 void
  pairs512 (const Policy& pol, const Stats& t, const std::vector<int64_t>& xc,
            const Columns& cols, const PairTables& tab, int64_t nx, int64_t ny,
            int64_t p, bool oneSet, const std::vector<int64_t>& active, double *out)
  {
    pairsVec<Policy, 512> (pol, t, xc, cols, tab, nx, ny, p, oneSet, active, out);
  }

  template <typename Policy>
  QUORVEL_TARGET_256 void
  pairs256 (const Policy& pol, const Stats& t, const std::vector<int64_t>& xc,
            const Columns& cols, const PairTables& tab, int64_t nx, int64_t ny,
            int64_t p, bool oneSet, const std::vector<int64_t>& active, double *out)
  {
    pairsVec<Policy, 256> (pol, t, xc, cols, tab, nx, ny, p, oneSet, active, out);
  }

  template <typename Policy>
  void
  pairs128 (const Policy& pol, const Stats& t, const std::vector<int64_t>& xc,
            const Columns& cols, const PairTables& tab, int64_t nx, int64_t ny,
            int64_t p, bool oneSet, const std::vector<int64_t>& active, double *out)
  {
    pairsVec<Policy, 128> (pol, t, xc, cols, tab, nx, ny, p, oneSet, active, out);
  }

  // Runs the fast loop when it applies and pays; false leaves the pairs to
  // the plain loop.
  template <typename Policy>
  bool
  fastPairs (const Policy& pol, const Stats& t,
             const std::vector<int64_t>& xCodes,
             const std::vector<int64_t>& yCodes, int64_t nx, int64_t ny,
             int64_t p, bool oneSet, const std::vector<int64_t>& active,
             double *out)
  {
    if (oneSet)
      ny = nx;
    // Short rows fill too few lanes to repay the setup.
    const int bits = quorvel::vector_bits ();
    if (nx <= 0 || ny < (oneSet ? 16 : 8) || bits == 0)
      return false;
    PairTables tab;
    if constexpr (! Policy::SELECT)
      {
        const int64_t size = tableSize (t, active);
        const double work = double (nx) * double (ny) * double (active.size ());
        if (size > TABLE_CAP || double (size) > work)
          return false;
      }
    const Columns cols = localColumns (oneSet ? xCodes : yCodes, ny, p, t, active,
                                       Policy::SELECT);
    // lin and lin1 set den to -Inf on an absent level: not an addition, so
    // such pairs keep the plain loop.
    if (cols.absent && (std::is_same<Policy, Lin>::value
                        || std::is_same<Policy, Lin1>::value))
      return false;
    if constexpr (! Policy::SELECT)
      tab = buildTables (pol, t, active, tableSize (t, active));
    if (bits >= 512)
      pairs512 (pol, t, xCodes, cols, tab, nx, ny, p, oneSet, active, out);
    else if (bits >= 256)
      pairs256 (pol, t, xCodes, cols, tab, nx, ny, p, oneSet, active, out);
    else
      pairs128 (pol, t, xCodes, cols, tab, nx, ny, p, oneSet, active, out);
    return true;
  }
}
}

#endif
