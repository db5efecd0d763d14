// The tiled distance scan of __nearscan__, compiled once per instruction
// set.  The includer opens a "#pragma GCC target" region, defines
// NEARSCAN_ISA (512, 256 or 128) and NEARSCAN_NS, and includes this file;
// every function here is then generated for that instruction set only.
// Shared pieces (Metric, KBest, aligned storage) come from nearscan.h.
//
// Exactness: each SIMD lane holds the sum of one (reference, query) pair
// and takes that pair's coordinates in order, one subtraction, one product
// and one addition each, every operation rounded on its own -- the same
// operations, in the same order, as the plain per-pair loop.

namespace NEARSCAN_NS
{
  using quorvel::nearscan::Metric;
  using quorvel::nearscan::KBest;
  using quorvel::nearscan::AlignedBuffer;

  template <typename T> struct Lanes;

#if NEARSCAN_ISA == 512

  template <>
  struct Lanes<double>
  {
    typedef __m512d V;
    static constexpr int W = 8;
    static V zero () { return _mm512_setzero_pd (); }
    static V load (const double *p) { return _mm512_load_pd (p); }
    static V set1 (double x) { return _mm512_set1_pd (x); }
    static V sub (V a, V b) { return _mm512_sub_pd (a, b); }
    static V mul (V a, V b) { return _mm512_mul_pd (a, b); }
    static V add (V a, V b) { return _mm512_add_pd (a, b); }
    static V abs (V a) { return _mm512_abs_pd (a); }
    // A NaN difference, or one above the running maximum, replaces it.
    static V
    take_max (V acc, V a)
    {
      const __mmask8 m = _mm512_cmp_pd_mask (a, acc, _CMP_GT_OQ)
                         | _mm512_cmp_pd_mask (a, a, _CMP_UNORD_Q);
      return _mm512_mask_blend_pd (m, acc, a);
    }
    // Masked form: the plain one trips a false uninitialised warning.
    static V larger (V a, V acc) { return _mm512_maskz_max_pd (0xFF, a, acc); }
    static unsigned
    below (V a, double w)
    {
      return _mm512_cmp_pd_mask (a, _mm512_set1_pd (w), _CMP_LT_OQ);
    }
    static void store (double *p, V a) { _mm512_store_pd (p, a); }
  };

  template <>
  struct Lanes<float>
  {
    typedef __m512 V;
    static constexpr int W = 16;
    static V zero () { return _mm512_setzero_ps (); }
    static V load (const float *p) { return _mm512_load_ps (p); }
    static V set1 (float x) { return _mm512_set1_ps (x); }
    static V sub (V a, V b) { return _mm512_sub_ps (a, b); }
    static V mul (V a, V b) { return _mm512_mul_ps (a, b); }
    static V add (V a, V b) { return _mm512_add_ps (a, b); }
    static V abs (V a) { return _mm512_abs_ps (a); }
    static V
    take_max (V acc, V a)
    {
      const __mmask16 m = _mm512_cmp_ps_mask (a, acc, _CMP_GT_OQ)
                          | _mm512_cmp_ps_mask (a, a, _CMP_UNORD_Q);
      return _mm512_mask_blend_ps (m, acc, a);
    }
    static V larger (V a, V acc) { return _mm512_maskz_max_ps (0xFFFF, a, acc); }
    static unsigned
    below (V a, float w)
    {
      return _mm512_cmp_ps_mask (a, _mm512_set1_ps (w), _CMP_LT_OQ);
    }
    static void store (float *p, V a) { _mm512_store_ps (p, a); }
  };

  // Query rows per tile and vectors of reference points per tile: 4 x 4
  // accumulators leave registers for the loaded coordinates.
  constexpr int R = 4;
  constexpr int NV = 4;

#elif NEARSCAN_ISA == 256

  template <>
  struct Lanes<double>
  {
    typedef __m256d V;
    static constexpr int W = 4;
    static V zero () { return _mm256_setzero_pd (); }
    static V load (const double *p) { return _mm256_load_pd (p); }
    static V set1 (double x) { return _mm256_set1_pd (x); }
    static V sub (V a, V b) { return _mm256_sub_pd (a, b); }
    static V mul (V a, V b) { return _mm256_mul_pd (a, b); }
    static V add (V a, V b) { return _mm256_add_pd (a, b); }
    static V abs (V a) { return _mm256_andnot_pd (_mm256_set1_pd (-0.0), a); }
    static V
    take_max (V acc, V a)
    {
      const V m = _mm256_or_pd (_mm256_cmp_pd (a, acc, _CMP_GT_OQ),
                                _mm256_cmp_pd (a, a, _CMP_UNORD_Q));
      return _mm256_blendv_pd (acc, a, m);
    }
    static V larger (V a, V acc) { return _mm256_max_pd (a, acc); }
    static unsigned
    below (V a, double w)
    {
      return _mm256_movemask_pd (_mm256_cmp_pd (a, _mm256_set1_pd (w), _CMP_LT_OQ));
    }
    static void store (double *p, V a) { _mm256_store_pd (p, a); }
  };

  template <>
  struct Lanes<float>
  {
    typedef __m256 V;
    static constexpr int W = 8;
    static V zero () { return _mm256_setzero_ps (); }
    static V load (const float *p) { return _mm256_load_ps (p); }
    static V set1 (float x) { return _mm256_set1_ps (x); }
    static V sub (V a, V b) { return _mm256_sub_ps (a, b); }
    static V mul (V a, V b) { return _mm256_mul_ps (a, b); }
    static V add (V a, V b) { return _mm256_add_ps (a, b); }
    static V abs (V a) { return _mm256_andnot_ps (_mm256_set1_ps (-0.0f), a); }
    static V
    take_max (V acc, V a)
    {
      const V m = _mm256_or_ps (_mm256_cmp_ps (a, acc, _CMP_GT_OQ),
                                _mm256_cmp_ps (a, a, _CMP_UNORD_Q));
      return _mm256_blendv_ps (acc, a, m);
    }
    static V larger (V a, V acc) { return _mm256_max_ps (a, acc); }
    static unsigned
    below (V a, float w)
    {
      return _mm256_movemask_ps (_mm256_cmp_ps (a, _mm256_set1_ps (w), _CMP_LT_OQ));
    }
    static void store (float *p, V a) { _mm256_store_ps (p, a); }
  };

  // Sixteen registers: 4 x 2 accumulators, two loaded vectors, temporaries.
  constexpr int R = 4;
  constexpr int NV = 2;

#else

  template <>
  struct Lanes<double>
  {
    typedef __m128d V;
    static constexpr int W = 2;
    static V zero () { return _mm_setzero_pd (); }
    static V load (const double *p) { return _mm_load_pd (p); }
    static V set1 (double x) { return _mm_set1_pd (x); }
    static V sub (V a, V b) { return _mm_sub_pd (a, b); }
    static V mul (V a, V b) { return _mm_mul_pd (a, b); }
    static V add (V a, V b) { return _mm_add_pd (a, b); }
    static V abs (V a) { return _mm_andnot_pd (_mm_set1_pd (-0.0), a); }
    static V
    take_max (V acc, V a)
    {
      const V m = _mm_or_pd (_mm_cmpgt_pd (a, acc), _mm_cmpunord_pd (a, a));
      return _mm_or_pd (_mm_and_pd (m, a), _mm_andnot_pd (m, acc));
    }
    static V larger (V a, V acc) { return _mm_max_pd (a, acc); }
    static unsigned
    below (V a, double w)
    {
      return _mm_movemask_pd (_mm_cmplt_pd (a, _mm_set1_pd (w)));
    }
    static void store (double *p, V a) { _mm_store_pd (p, a); }
  };

  template <>
  struct Lanes<float>
  {
    typedef __m128 V;
    static constexpr int W = 4;
    static V zero () { return _mm_setzero_ps (); }
    static V load (const float *p) { return _mm_load_ps (p); }
    static V set1 (float x) { return _mm_set1_ps (x); }
    static V sub (V a, V b) { return _mm_sub_ps (a, b); }
    static V mul (V a, V b) { return _mm_mul_ps (a, b); }
    static V add (V a, V b) { return _mm_add_ps (a, b); }
    static V abs (V a) { return _mm_andnot_ps (_mm_set1_ps (-0.0f), a); }
    static V
    take_max (V acc, V a)
    {
      const V m = _mm_or_ps (_mm_cmpgt_ps (a, acc), _mm_cmpunord_ps (a, a));
      return _mm_or_ps (_mm_and_ps (m, a), _mm_andnot_ps (m, acc));
    }
    static V larger (V a, V acc) { return _mm_max_ps (a, acc); }
    static unsigned
    below (V a, float w)
    {
      return _mm_movemask_ps (_mm_cmplt_ps (a, _mm_set1_ps (w)));
    }
    static void store (float *p, V a) { _mm_store_ps (p, a); }
  };

  constexpr int R = 4;
  constexpr int NV = 2;

#endif

  // One coordinate's term added to a pair's accumulated distance.  With
  // FINITE data no difference is NaN, and the plain rule "replace when
  // larger" is exactly the max instruction (a > acc ? a : acc).
  template <Metric MT, bool FINITE, typename L>
  inline typename L::V
  step (typename L::V acc, typename L::V x, typename L::V y)
  {
    const typename L::V diff = L::sub (x, y);
    if (MT == Metric::euclidean)
      return L::add (acc, L::mul (diff, diff));
    else if (MT == Metric::cityblock)
      return L::add (acc, L::abs (diff));
    else if (FINITE)
      return L::larger (L::abs (diff), acc);
    else
      return L::take_max (acc, L::abs (diff));
  }

  // Scans reference panels against a block of query tiles.  XP holds the
  // panels: panel b, coordinate c, lane j at (b*d + c)*P + j, point b*P + j.
  // YT holds the tiles: tile t, coordinate c, row r at (t*d + c)*R + r.
  // Rows of BEST are the block's queries; rows at NQ and above are padding.
  template <typename T, Metric MT, bool FINITE>
  void
  scan_block (const T *xp, int64_t N, int64_t d, const T *yt, int64_t nq,
              KBest<T>& best)
  {
    typedef Lanes<T> L;
    typedef typename L::V V;
    constexpr int W = L::W;
    constexpr int64_t P = NV * W;
    const int64_t npanels = (N + P - 1) / P;
    const int64_t ntiles = (nq + R - 1) / R;
    alignas (64) T spill[P];

    for (int64_t b = 0; b < npanels; b++)
      {
        const T *panel = xp + b*P*d;
        const int64_t i0 = b * P;
        const int64_t valid = std::min (P, N - i0);
        for (int64_t t = 0; t < ntiles; t++)
          {
            const T *yq = yt + t*d*R;
            V acc[R][NV];
#pragma GCC unroll 16
            for (int r = 0; r < R; r++)
#pragma GCC unroll 16
              for (int v = 0; v < NV; v++)
                acc[r][v] = L::zero ();

            // Coordinates strictly in order: lane sums are never split.
            const T *xc = panel;
            for (int64_t c = 0; c < d; c++, xc += P)
              {
                V x[NV];
#pragma GCC unroll 16
                for (int v = 0; v < NV; v++)
                  x[v] = L::load (xc + v*W);
#pragma GCC unroll 16
                for (int r = 0; r < R; r++)
                  {
                    const V y = L::set1 (yq[c*R + r]);
#pragma GCC unroll 16
                    for (int v = 0; v < NV; v++)
                      acc[r][v] = step<MT, FINITE, L> (acc[r][v], x[v], y);
                  }
              }

            // Offer candidates in increasing point order.  With a full
            // buffer whose last entry is a number, a candidate can only
            // enter if it is below that entry: one vector comparison
            // rejects W candidates.
#pragma GCC unroll 16
            for (int r = 0; r < R; r++)
              {
                const int64_t row = t*R + r;
                if (row >= nq)
                  break;
                if (valid == P && best.gated (row))
                  {
#pragma GCC unroll 16
                    for (int v = 0; v < NV; v++)
                      {
                        unsigned m = L::below (acc[r][v], best.worst (row));
                        if (m == 0)
                          continue;
                        L::store (spill, acc[r][v]);
                        do
                          {
                            const int lane = __builtin_ctz (m);
                            m &= m - 1;
                            best.offer (row, spill[lane], i0 + v*W + lane);
                          }
                        while (m != 0);
                      }
                  }
                else
                  {
#pragma GCC unroll 16
                    for (int v = 0; v < NV; v++)
                      L::store (spill + v*W, acc[r][v]);
                    for (int64_t j = 0; j < valid; j++)
                      best.offer (row, spill[j], i0 + j);
                  }
              }
          }
      }
  }

  // Lane count of one panel, for the packing done by the caller.
  template <typename T>
  constexpr int64_t
  panel_width ()
  {
    return NV * Lanes<T>::W;
  }

  constexpr int tile_rows () { return R; }

  // FINITE: every coordinate of X and Y is finite (only chebychev asks).
  template <typename T>
  void
  scan (Metric metric, bool finite, const T *xp, int64_t N, int64_t d,
        const T *yt, int64_t nq, KBest<T>& best)
  {
    switch (metric)
      {
      case Metric::euclidean:
        scan_block<T, Metric::euclidean, false> (xp, N, d, yt, nq, best);
        break;
      case Metric::cityblock:
        scan_block<T, Metric::cityblock, false> (xp, N, d, yt, nq, best);
        break;
      default:
        if (finite)
          scan_block<T, Metric::chebychev, true> (xp, N, d, yt, nq, best);
        else
          scan_block<T, Metric::chebychev, false> (xp, N, d, yt, nq, best);
        break;
      }
  }
}
