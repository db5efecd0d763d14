// Fast pair loop of __levelgap__ for processors with AVX-512.  Each vector
// lane is one pair; a lane adds its variables' contributions in ascending
// variable order, one rounded addition each, exactly as the plain loop of
// levelgap.h does, so the results are the same bits.  Contributions come
// from the policies themselves: either the match and mismatch values of a
// SELECT policy, or, for the other measures, a table holding the policy's
// step for every pair of levels of a variable (so lin, lin1 and burnaby
// take each logarithm once per call instead of once per pair).
#ifndef QUORVEL_LEVELGAP_FAST_H
#define QUORVEL_LEVELGAP_FAST_H

#include "levelgap.h"

#include <immintrin.h>
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
    bool absent = false;        // some code has frequency zero
  };

  inline Columns
  localColumns (const std::vector<int64_t>& codes, int64_t rows, int64_t p,
                const Stats& t, const std::vector<int64_t>& active)
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

  // All eight lanes.  The masked forms of the intrinsics below spare GCC 12
  // its false warnings about the unmasked forms' undefined pass-through.
  constexpr __mmask8 ALL = 0xFF;

  __attribute__ ((target ("avx512f"))) inline __m512i
  widen (__m256i v)
  {
    return _mm512_maskz_cvtepi32_epi64 (ALL, v);
  }

  template <typename Policy>
  __attribute__ ((target ("avx512f"))) void
  pairsAvx512 (const Policy& pol, const Stats& t,
               const std::vector<int64_t>& xCodes, const Columns& cols,
               const PairTables& tab, int64_t nx, int64_t ny, int64_t p,
               bool oneSet, const std::vector<int64_t>& active, double *out)
  {
    const int64_t na = active.size ();
    std::vector<int64_t> xl (na);
    std::vector<double> mv (na);
    std::vector<double> mm (na);
    std::vector<const double *> r1 (na);
    std::vector<const double *> r2 (na);
    alignas (64) double b1[BLOCK];
    alignas (64) double b2[BLOCK];
    bool mismatch = false;
    if constexpr (Policy::SELECT)
      mismatch = pol.hasMismatch ();
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
        for (int64_t jb = oneSet ? i + 1 : 0; jb < ny; jb += BLOCK)
          {
            __m512d s[4], u[4];
            for (int q = 0; q < 4; q++)
              s[q] = u[q] = _mm512_setzero_pd ();
            for (int64_t a = 0; a < na; a++)
              {
                const int32_t *yk = cols.code.data () + a * cols.stride + jb;
                __m256i idx32[4];
                for (int q = 0; q < 4; q++)
                  idx32[q] = _mm256_loadu_si256 (reinterpret_cast<const __m256i *> (yk + 8*q));
                if constexpr (Policy::SELECT)
                  {
                    const __m512i xv = _mm512_set1_epi64 (xl[a]);
                    const __m512d m = _mm512_set1_pd (mv[a]);
                    const __m512d n = _mm512_set1_pd (mm[a]);
                    for (int q = 0; q < 4; q++)
                      {
                        const __mmask8 eq
                          = _mm512_cmpeq_epi64_mask (widen (idx32[q]), xv);
                        s[q] = _mm512_mask_add_pd (s[q], eq, s[q], m);
                        if (mismatch)
                          s[q] = _mm512_mask_add_pd (s[q], static_cast<__mmask8> (~eq), s[q], n);
                      }
                  }
                else
                  {
                    const int64_t w = tab.width[a];
                    if (w == 8)
                      {
                        const __m512d t1 = _mm512_loadu_pd (r1[a]);
                        for (int q = 0; q < 4; q++)
                          s[q] = _mm512_add_pd (s[q], _mm512_maskz_permutexvar_pd (ALL, widen (idx32[q]), t1));
                        if (Policy::VALUES == 2)
                          {
                            const __m512d t2 = _mm512_loadu_pd (r2[a]);
                            for (int q = 0; q < 4; q++)
                              u[q] = _mm512_add_pd (u[q], _mm512_maskz_permutexvar_pd (ALL, widen (idx32[q]), t2));
                          }
                      }
                    else if (w == 16)
                      {
                        const __m512d lo1 = _mm512_loadu_pd (r1[a]);
                        const __m512d hi1 = _mm512_loadu_pd (r1[a] + 8);
                        for (int q = 0; q < 4; q++)
                          s[q] = _mm512_add_pd (s[q], _mm512_permutex2var_pd (lo1, widen (idx32[q]), hi1));
                        if (Policy::VALUES == 2)
                          {
                            const __m512d lo2 = _mm512_loadu_pd (r2[a]);
                            const __m512d hi2 = _mm512_loadu_pd (r2[a] + 8);
                            for (int q = 0; q < 4; q++)
                              u[q] = _mm512_add_pd (u[q], _mm512_permutex2var_pd (lo2, widen (idx32[q]), hi2));
                          }
                      }
                    else
                      {
                        for (int q = 0; q < 4; q++)
                          s[q] = _mm512_add_pd (s[q], _mm512_mask_i32gather_pd (_mm512_setzero_pd (), ALL, idx32[q], r1[a], 8));
                        if (Policy::VALUES == 2)
                          for (int q = 0; q < 4; q++)
                            u[q] = _mm512_add_pd (u[q], _mm512_mask_i32gather_pd (_mm512_setzero_pd (), ALL, idx32[q], r2[a], 8));
                      }
                  }
              }
            for (int q = 0; q < 4; q++)
              {
                _mm512_store_pd (b1 + 8*q, s[q]);
                _mm512_store_pd (b2 + 8*q, u[q]);
              }
            const int64_t n = std::min (BLOCK, ny - jb);
            for (int64_t l = 0; l < n; l++)
              {
                const double d = pol.finish (b1[l], b2[l]);
                if (oneSet)
                  out[c++] = d;
                else
                  out[i + (jb + l)*nx] = d;
              }
          }
      }
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
    if (nx <= 0 || ny < (oneSet ? 16 : 8)
        || ! quorvel::use_avx512 ())
      return false;
    PairTables tab;
    if constexpr (! Policy::SELECT)
      {
        const int64_t size = tableSize (t, active);
        const double work = double (nx) * double (ny) * double (active.size ());
        if (size > TABLE_CAP || double (size) > work)
          return false;
      }
    const Columns cols = localColumns (oneSet ? xCodes : yCodes, ny, p, t, active);
    // lin and lin1 set den to -Inf on an absent level: not an addition, so
    // such pairs keep the plain loop.
    if (cols.absent && (std::is_same<Policy, Lin>::value
                        || std::is_same<Policy, Lin1>::value))
      return false;
    if constexpr (! Policy::SELECT)
      tab = buildTables (pol, t, active, tableSize (t, active));
    pairsAvx512 (pol, t, xCodes, cols, tab, nx, ny, p, oneSet, active, out);
    return true;
  }
}
}

#endif
