// Fast pair loop of __levelgap__, written once with the compiler's generic
// vectors and built for 512, 256 and 128 bits.  Each vector lane is one
// pair; a lane adds its variables' contributions in ascending
// variable order, one rounded addition each, exactly as the plain loop of
// levelgap.h does, so the results are the same bits.  Contributions come
// from the policies themselves: either the match and mismatch values of a
// SELECT policy, or, for the other measures, a table holding the policy's
// step for every pair of levels of a variable (so lin, lin1 and burnaby
// take each logarithm once per call instead of once per pair).  Every
// lane leaves through its policy's finish, taken lane by lane.  sm under
// whole-number weights has a loop of its own that counts in small integer
// lanes.
#ifndef QUORVEL_LEVELGAP_FAST_H
#define QUORVEL_LEVELGAP_FAST_H

#include "levelgap.h"

#include <type_traits>

namespace quorvel
{
namespace nominal
{
  // Most pairs per block: eight vectors of eight lanes.
  constexpr int64_t BLOCK = 64;

  // Largest pair table built, in entries of each running value.
  constexpr int64_t TABLE_CAP = int64_t (1) << 20;

  // Levels of a variable whose codes fit a byte; a table's variable has
  // fewer than 2^16 levels (TABLE_CAP bounds its square).
  constexpr int64_t BYTE_LEVELS = 256;

  // The second set, one column per active variable, as codes local to the
  // variable (slot - offset), padded with BLOCK zeros so that a block may
  // read past the last row.  Table reads take them as bytes, or as 16-bit
  // words where a variable has more levels: 64-bit indices would be eight
  // times the memory, and a call would spend much of its time mapping fresh
  // pages for them and streaming them through the cache.
  struct Columns
  {
    int64_t stride = 0;
    std::vector<double> dcode;  // as doubles, for compares not of bytes
    std::vector<uint8_t> code;  // or as bytes or words
    std::vector<int64_t> at;    // where each variable's column starts in code
    bool absent = false;        // some code has frequency zero
  };

  inline Columns
  localColumns (const std::vector<int64_t>& codes, int64_t rows, int64_t p,
                const Stats& t, const std::vector<int64_t>& active, bool compares,
                int bits)
  {
    Columns c;
    c.stride = rows + BLOCK;
    const int64_t na = active.size ();
    const auto wide = [&t] (int64_t k) { return t.offset[k+1] - t.offset[k] > BYTE_LEVELS; };
    // Compares take bytes too at 512 bits, where every code fits one;
    // narrower vectors have no cheap compare of 64-bit integer lanes.
    bool asDouble = compares && bits < 512;
    for (const int64_t k : active)
      if (compares && wide (k))
        asDouble = true;
    if (asDouble)
      c.dcode.assign (na * c.stride, 0);
    else
      {
        c.at.resize (na + 1, 0);
        for (int64_t a = 0; a < na; a++)
          {
            c.at[a+1] = c.at[a] + c.stride * (wide (active[a]) ? 2 : 1);
          }
        c.code.assign (c.at[na], 0);
      }
    for (int64_t a = 0; a < na; a++)
      {
        const int64_t k = active[a];
        const bool twoBytes = wide (k);
        for (int64_t r = 0; r < rows; r++)
          {
            const int64_t s = codes[r*p + k];
            if (asDouble)
              c.dcode[a * c.stride + r] = static_cast<double> (s - t.offset[k]);
            else if (twoBytes)
              {
                const uint16_t v = static_cast<uint16_t> (s - t.offset[k]);
                __builtin_memcpy (&c.code[c.at[a] + 2*r], &v, sizeof v);
              }
            else
              c.code[c.at[a] + r] = static_cast<uint8_t> (s - t.offset[k]);
            if (t.freq[s] == 0)
              c.absent = true;
          }
      }
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

  // How far byte L of a word of BYTES bytes, as loaded from memory, lies
  // from the word's low end.
  constexpr int
  byteShift (int l, int bytes)
  {
    return __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? 8 * l : 8 * (bytes - 1 - l);
  }

  // The byte codes at Y as the 64-bit lanes of a permute's index: lane l
  // holds code l in its low byte and the later codes above it, which the
  // permute ignores, as it reads an index modulo the table's length.  One
  // load and one shift, where widening each byte takes a conversion per
  // lane.  (Vectors pass by reference, as in addEntries below.)
  template <int BITS, typename I>
  inline __attribute__ ((always_inline)) void
  spreadBytes (const uint8_t *y, I& code)
  {
    typedef typename Vec<uint64_t, BITS>::type U;
    constexpr int W = BITS / 64;
    U shift;
    for (int l = 0; l < W; l++)
      shift[l] = byteShift (l, 8);
    uint64_t word = 0;
    __builtin_memcpy (&word, y, W);
    code = (I) ((word - U {}) >> shift);
  }

  // Adds each lane's table entries to the lanes of S (and of U, for a
  // policy of two running values), R1 and R2 being the rows of the two
  // tables, for the W lanes whose codes start at lane FIRST of the column
  // Y: one permute of one or two vectors per row where the row fits, else
  // one load per lane.  (Vectors pass by reference: this is inlined into
  // each width's loop and never has a calling convention of its own.)
  template <int BITS, int VALUES, typename V>
  inline __attribute__ ((always_inline)) void
  addEntries (V& s, V& u, const double *r1, const double *r2, int64_t w,
              const uint8_t *y, int first)
  {
    constexpr int W = BITS / 64;
    if constexpr (BITS == 512)
      {
        if (w <= 16)
          {
            typedef typename Vec<int64_t, BITS>::type I;
            I code;
            spreadBytes<BITS> (y + first, code);
            V lo, hi;
            if (w == 8)
              {
                __builtin_memcpy (&lo, r1, sizeof lo);
                s = s + __builtin_shuffle (lo, code);
                if constexpr (VALUES == 2)
                  {
                    __builtin_memcpy (&lo, r2, sizeof lo);
                    u = u + __builtin_shuffle (lo, code);
                  }
                return;
              }
            __builtin_memcpy (&lo, r1, sizeof lo);
            __builtin_memcpy (&hi, r1 + W, sizeof hi);
            s = s + __builtin_shuffle (lo, hi, code);
            if constexpr (VALUES == 2)
              {
                __builtin_memcpy (&lo, r2, sizeof lo);
                __builtin_memcpy (&hi, r2 + W, sizeof hi);
                u = u + __builtin_shuffle (lo, hi, code);
              }
            return;
          }
      }
    if constexpr (BITS == 256)
      {
        if (w == 8)
          {
            // AVX2 permutes by variable indices in 32-bit lanes only: a
            // double is two of them, so lanes 2l and 2l + 1 take the row's
            // halves 2c and 2c + 1, c being lane l's code, spread from a
            // word of four codes by one shift as in spreadBytes.
            typedef typename Vec<uint32_t, BITS>::type S;
            S shift;
            for (int l = 0; l < 8; l++)
              shift[l] = byteShift (l / 2, 4);
            uint32_t word;
            __builtin_memcpy (&word, y + first, sizeof word);
            S half = (word - S {}) >> shift;
            half = half + half + S {0, 1, 0, 1, 0, 1, 0, 1};
            S lo, hi, got;
            __builtin_memcpy (&lo, r1, sizeof lo);
            __builtin_memcpy (&hi, r1 + W, sizeof hi);
            got = __builtin_shuffle (lo, hi, half);
            V v;
            __builtin_memcpy (&v, &got, sizeof v);
            s = s + v;
            if constexpr (VALUES == 2)
              {
                __builtin_memcpy (&lo, r2, sizeof lo);
                __builtin_memcpy (&hi, r2 + W, sizeof hi);
                got = __builtin_shuffle (lo, hi, half);
                __builtin_memcpy (&v, &got, sizeof v);
                u = u + v;
              }
            return;
          }
      }
    int64_t at[W];
    if (w > BYTE_LEVELS)
      {
        for (int l = 0; l < W; l++)
          {
            uint16_t c;
            __builtin_memcpy (&c, y + 2 * (first + l), sizeof c);
            at[l] = c;
          }
      }
    else
      {
        for (int l = 0; l < W; l++)
          at[l] = y[first + l];
      }
    V v;
#pragma GCC unroll 8
    for (int l = 0; l < W; l++)
      v[l] = r1[at[l]];
    s = s + v;
    if constexpr (VALUES == 2)
      {
#pragma GCC unroll 8
        for (int l = 0; l < W; l++)
          v[l] = r2[at[l]];
        u = u + v;
      }
  }

  // Each policy's finish () lane by lane: the same operations in the same
  // order, each rounded on its own, with every branch a lane-wise choice
  // (a lane the choice discards may divide by zero; nothing traps).
  // Vectors pass by reference, as in addEntries.

  template <typename V>
  inline __attribute__ ((always_inline)) void
  finishLanes (const Sm& pol, const V& a, const V&, V& d)
  {
    d = 1 + a * pol.negInv;
  }

  template <typename V>
  inline __attribute__ ((always_inline)) void
  finishLanes (const MatchOnly& pol, const V& a, const V&, V& d)
  {
    d = 1 + a * pol.negInv;
  }

  template <typename V>
  inline __attribute__ ((always_inline)) void
  finishLanes (const Eskin& pol, const V& a, const V&, V& d)
  {
    d = 1 / (a * pol.inv) - 1;
  }

  template <typename V>
  inline __attribute__ ((always_inline)) void
  finishLanes (const Iof& pol, const V& a, const V&, V& d)
  {
    d = 1 / (a * pol.inv) - 1;
  }

  template <typename V>
  inline __attribute__ ((always_inline)) void
  finishLanes (const Of& pol, const V& a, const V&, V& d)
  {
    const V r = 1 / (a * pol.inv) - 1;
    d = a == 0 ? inf - V {} : r;
  }

  template <typename V>
  inline __attribute__ ((always_inline)) void
  finishLanes (const Smirnov& pol, const V& a, const V&, V& d)
  {
    d = 1 / (a * pol.inv + 1);
  }

  template <typename V>
  inline __attribute__ ((always_inline)) void
  finishLanes (const Anderberg&, const V& a, const V& b, V& d)
  {
    d = 1 - a / (b + a);
  }

  template <typename V>
  inline __attribute__ ((always_inline)) void
  finishLanes (const Burnaby& pol, const V& a, const V&, V& d)
  {
    d = 1 - a / pol.stats.weightSum;
  }

  // linFinish lane by lane; ATZERO is lin's 0 or lin1's 1.
  template <typename V>
  inline __attribute__ ((always_inline)) void
  linLanes (const V& num, const V& den, double atZero, V& d)
  {
    typedef int64_t I __attribute__ ((vector_size (sizeof (V))));
    const V s = (1 / den) * num;
    V r = 1 / s - 1;
    r = s == 0 ? inf - V {} : r;
    r = den == 0 ? atZero - V {} : r;
    // |den| by its bits: the two tests against infinity, or a library
    // absolute value, would each be taken lane by lane.
    I bits;
    __builtin_memcpy (&bits, &den, sizeof bits);
    bits &= INT64_MAX;
    V size;
    __builtin_memcpy (&size, &bits, sizeof size);
    d = size == inf ? inf - V {} : r;
  }

  template <typename V>
  inline __attribute__ ((always_inline)) void
  finishLanes (const Lin&, const V& num, const V& den, V& d)
  {
    linLanes (num, den, 0, d);
  }

  template <typename V>
  inline __attribute__ ((always_inline)) void
  finishLanes (const Lin1&, const V& num, const V& den, V& d)
  {
    linLanes (num, den, 1, d);
  }

  // The pair loop for vectors of BITS bits: eight or four vectors of lanes
  // per block of pairs, each lane one pair.  A lane's running values change
  // only by the additions the plain loop makes, in the same order.
  template <typename Policy, int BITS>
  inline __attribute__ ((always_inline)) void
  pairsVec (const Policy& pol, const Stats& t,
            const std::vector<int64_t>& xCodes, const Columns& cols,
            const PairTables& tab, int64_t nx, int64_t ny, int64_t p,
            bool oneSet, const std::vector<int64_t>& active, double *out)
  {
    typedef typename Vec<double, BITS>::type V;
    constexpr int W = BITS / 64;
    // Eight vectors per block where 32 registers hold them, else four.
    constexpr int Q = BITS == 512 ? 8 : 4;
    constexpr int64_t B = Q * W;
    static_assert (B <= BLOCK, "a block reads at most the padding past the last row");

    const int64_t na = active.size ();
    std::vector<int64_t> xl (na);
    std::vector<double> mv (na);
    std::vector<double> mm (na);
    std::vector<const double *> r1 (na);
    std::vector<const double *> r2 (na);
    double done[B];
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
            V s[Q] = {}, u[Q] = {};
            for (int64_t a = 0; a < na; a++)
              {
                if constexpr (Policy::SELECT && BITS == 512)
                  if (cols.dcode.empty ())
                    {
                      // Byte codes: the first row's code in every byte,
                      // and lane l tests byte l of the difference.
                      typedef typename Vec<uint64_t, BITS>::type U;
                      U byteOf;
                      for (int l = 0; l < W; l++)
                        byteOf[l] = uint64_t (0xff) << byteShift (l, 8);
                      const uint8_t *y = cols.code.data () + cols.at[a] + jb;
                      const U xv = uint64_t (xl[a]) * 0x0101010101010101u - U {};
                      const V m = mv[a] - V {};
                      const V n = mm[a] - V {};
#pragma GCC unroll 8
                      for (int q = 0; q < Q; q++)
                        {
                          uint64_t word = 0;
                          __builtin_memcpy (&word, y + W*q, W);
                          const auto eq = (((word - U {}) ^ xv) & byteOf) == 0;
                          // One addition of the value the compare picks:
                          // the same bits as adding either, in one step.
                          s[q] = mismatch ? s[q] + (eq ? m : n)
                                          : (eq ? s[q] + m : s[q]);
                        }
                      continue;
                    }
                if constexpr (Policy::SELECT)
                  {
                    // Codes compared as doubles (exact below 2^31): one
                    // load and one compare every width has.
                    const double *yd = cols.dcode.data () + a * cols.stride + jb;
                    const V xv = double (xl[a]) - V {};
                    const V m = mv[a] - V {};
                    const V n = mm[a] - V {};
#pragma GCC unroll 8
                    for (int q = 0; q < Q; q++)
                      {
                        V cd;
                        __builtin_memcpy (&cd, yd + W*q, sizeof cd);
                        const auto eq = cd == xv;
                        s[q] = mismatch ? s[q] + (eq ? m : n)
                                        : (eq ? s[q] + m : s[q]);
                      }
                  }
                else
                  {
                    const int64_t w = tab.width[a];
                    const uint8_t *y = cols.code.data () + cols.at[a]
                                       + jb * (w > BYTE_LEVELS ? 2 : 1);
#pragma GCC unroll 8
                    for (int q = 0; q < Q; q++)
                      addEntries<BITS, Policy::VALUES> (s[q], u[q], r1[a], r2[a], w, y, W*q);
                  }
              }
            const int64_t n = std::min (B, ny - jb);
            double *to = oneSet && n == B ? out + c : done;
#pragma GCC unroll 8
            for (int q = 0; q < Q; q++)
              {
                V d;
                finishLanes (fin, s[q], u[q], d);
                __builtin_memcpy (to + W*q, &d, sizeof d);
              }
            if (to != done)
              {
                c += B;
                continue;
              }
            for (int64_t l = 0; l < n; l++)
              if (oneSet)
                out[c++] = done[l];
              else
                out[i + (jb + l)*nx] = done[l];
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

  // sm under whole-number weights whose magnitudes sum to at most the
  // largest value of a small integer type: every partial sum of the plain
  // loop is then a whole number, exact in a double, so no order of the
  // additions can change a bit and a lane may sum in 8 or 16-bit integers,
  // eight or four times the lanes of doubles.  Returns that width in bits,
  // or 0 where the weights or the level counts do not allow it.
  inline int
  countWidth (const Stats& t, const std::vector<int64_t>& active)
  {
    double total = 0;
    int64_t levels = 0;
    for (const int64_t k : active)
      {
        const double w = t.weight[k];
        if (! (std::fabs (w) <= 32767 && w == std::floor (w)))
          return 0;
        total += std::fabs (w);
        levels = std::max (levels, t.offset[k+1] - t.offset[k]);
      }
    if (total <= 127 && levels <= 127)
      return 8;
    return total <= 32767 && levels <= 32767 ? 16 : 0;
  }

  // Pairs per block of the counting loop, in every width.
  constexpr int64_t COUNT_BLOCK = 64;

  // The second set as local codes of type T, one column per active
  // variable, padded so that a block may read past the last row.
  template <typename T>
  std::vector<T>
  countColumns (const std::vector<int64_t>& codes, int64_t rows, int64_t p,
                const Stats& t, const std::vector<int64_t>& active)
  {
    const int64_t stride = rows + COUNT_BLOCK;
    std::vector<T> col (active.size () * stride, 0);
    for (size_t a = 0; a < active.size (); a++)
      {
        const int64_t k = active[a];
        for (int64_t r = 0; r < rows; r++)
          col[a * stride + r] = static_cast<T> (codes[r*p + k] - t.offset[k]);
      }
    return col;
  }

  // The counting loop for vectors of BITS bits: each lane of type T one
  // pair, adding a variable's weight where the codes match.
  template <typename T, int BITS>
  inline __attribute__ ((always_inline)) void
  countVec (const Sm& pol, const std::vector<int64_t>& xCodes,
            const std::vector<T>& cols, int64_t nx, int64_t ny, int64_t p,
            bool oneSet, const std::vector<int64_t>& active, const Stats& t,
            double *out)
  {
    // Small lanes in at most 256 bits: AVX-512 without its byte-and-word
    // extension has no 8 or 16-bit compare, and the halves cost the same.
    constexpr int CB = BITS > 256 ? 256 : BITS;
    typedef T C __attribute__ ((vector_size (CB / 8)));
    // Eight lanes at a time leave as doubles, in whatever vectors the
    // width has.
    typedef typename Vec<int32_t, 256>::type H;
    typedef typename Vec<double, 512>::type V;
    constexpr int L = CB / 8 / sizeof (T);
    constexpr int Q = COUNT_BLOCK / L;

    const int64_t na = active.size ();
    const int64_t stride = ny + COUNT_BLOCK;
    std::vector<T> xl (na);
    std::vector<T> wl (na);
    for (int64_t a = 0; a < na; a++)
      wl[a] = static_cast<T> (t.weight[active[a]]);
    T cnt[COUNT_BLOCK];
    int32_t wide[COUNT_BLOCK];
    const Sm fin = pol;

    int64_t c = 0;
    for (int64_t i = 0; i < nx; i++)
      {
        OCTAVE_QUIT;
        for (int64_t a = 0; a < na; a++)
          {
            const int64_t k = active[a];
            xl[a] = static_cast<T> (xCodes[i*p + k] - t.offset[k]);
          }
        for (int64_t jb = oneSet ? i + 1 : 0; jb < ny; jb += COUNT_BLOCK)
          {
            C s[Q] = {};
            for (int64_t a = 0; a < na; a++)
              {
                const T *yk = cols.data () + a * stride + jb;
                const C xv = xl[a] - C {};
                const C wv = wl[a] - C {};
#pragma GCC unroll 8
                for (int q = 0; q < Q; q++)
                  {
                    C v;
                    __builtin_memcpy (&v, yk + L*q, sizeof v);
                    s[q] += (v == xv) & wv;
                  }
              }
            __builtin_memcpy (cnt, s, sizeof cnt);
            const int64_t n = std::min (COUNT_BLOCK, ny - jb);
            if (oneSet && n == COUNT_BLOCK)
              {
                // Widened to 32 bits first: every width converts those to
                // doubles in vectors, but not smaller integers.
                for (int l = 0; l < COUNT_BLOCK; l++)
                  wide[l] = cnt[l];
#pragma GCC unroll 8
                for (int l = 0; l < COUNT_BLOCK; l += 8)
                  {
                    H h;
                    __builtin_memcpy (&h, wide + l, sizeof h);
                    V d;
                    finishLanes (fin, __builtin_convertvector (h, V), V {}, d);
                    __builtin_memcpy (out + c + l, &d, sizeof d);
                  }
                c += COUNT_BLOCK;
                continue;
              }
            for (int64_t l = 0; l < n; l++)
              {
                const double d = fin.finish (cnt[l], 0);
                if (oneSet)
                  out[c++] = d;
                else
                  out[i + (jb + l)*nx] = d;
              }
          }
      }
  }

  template <typename T>
  QUORVEL_TARGET_512 void
  count512 (const Sm& pol, const std::vector<int64_t>& xc,
            const std::vector<T>& cols, int64_t nx, int64_t ny, int64_t p,
            bool oneSet, const std::vector<int64_t>& active, const Stats& t,
            double *out)
  {
    countVec<T, 512> (pol, xc, cols, nx, ny, p, oneSet, active, t, out);
  }

  template <typename T>
  QUORVEL_TARGET_256 void
  count256 (const Sm& pol, const std::vector<int64_t>& xc,
            const std::vector<T>& cols, int64_t nx, int64_t ny, int64_t p,
            bool oneSet, const std::vector<int64_t>& active, const Stats& t,
            double *out)
  {
    countVec<T, 256> (pol, xc, cols, nx, ny, p, oneSet, active, t, out);
  }

  template <typename T>
  void
  count128 (const Sm& pol, const std::vector<int64_t>& xc,
            const std::vector<T>& cols, int64_t nx, int64_t ny, int64_t p,
            bool oneSet, const std::vector<int64_t>& active, const Stats& t,
            double *out)
  {
    countVec<T, 128> (pol, xc, cols, nx, ny, p, oneSet, active, t, out);
  }

  template <typename T>
  void
  countPairs (const Sm& pol, int bits, const std::vector<int64_t>& xCodes,
              const std::vector<int64_t>& yCodes, int64_t nx, int64_t ny,
              int64_t p, bool oneSet, const std::vector<int64_t>& active,
              const Stats& t, double *out)
  {
    const std::vector<T> cols
      = countColumns<T> (oneSet ? xCodes : yCodes, ny, p, t, active);
    if (bits >= 512)
      count512<T> (pol, xCodes, cols, nx, ny, p, oneSet, active, t, out);
    else if (bits >= 256)
      count256<T> (pol, xCodes, cols, nx, ny, p, oneSet, active, t, out);
    else
      count128<T> (pol, xCodes, cols, nx, ny, p, oneSet, active, t, out);
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
    if constexpr (std::is_same<Policy, Sm>::value)
      if (const int width = countWidth (t, active))
        {
          if (width == 8)
            countPairs<int8_t> (pol, bits, xCodes, yCodes, nx, ny, p, oneSet, active, t, out);
          else
            countPairs<int16_t> (pol, bits, xCodes, yCodes, nx, ny, p, oneSet, active, t, out);
          return true;
        }
    PairTables tab;
    if constexpr (! Policy::SELECT)
      {
        const int64_t size = tableSize (t, active);
        const double work = double (nx) * double (ny) * double (active.size ());
        if (size > TABLE_CAP || double (size) > work)
          return false;
      }
    const Columns cols = localColumns (oneSet ? xCodes : yCodes, ny, p, t, active,
                                       Policy::SELECT, bits);
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
