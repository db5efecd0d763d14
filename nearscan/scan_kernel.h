// The tiled distance scan of __nearscan__, compiled once per vector width.
// The includer defines NEARSCAN_ISA (512, 256 or 128) and NEARSCAN_NS and
// includes this file, on x86 inside a "#pragma GCC target" region for that
// width's instruction set.
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

  // Lanes of T in one vector of NEARSCAN_ISA bits, written with the
  // compiler's generic vectors: each operator is one lane-wise IEEE
  // operation, whatever the target turns it into.
  template <typename T>
  struct Lanes
  {
    typedef T V __attribute__ ((vector_size (NEARSCAN_ISA / 8)));
    typedef decltype (V {} < V {}) M;
    static constexpr int W = NEARSCAN_ISA / 8 / sizeof (T);
    static V zero () { return V {}; }
    static V
    load (const T *p)
    {
      V v;
      __builtin_memcpy (&v, __builtin_assume_aligned (p, 64), sizeof v);
      return v;
    }
    // x - (+0) is x for every x, the zeros' signs included.
    static V set1 (T x) { return x - V {}; }
    static V sub (V a, V b) { return a - b; }
    static V mul (V a, V b) { return a * b; }
    static V add (V a, V b) { return a + b; }
    static V
    abs (V a)
    {
      const M sign = reinterpret_cast<M> (T (-0.0) - V {});
      return reinterpret_cast<V> (reinterpret_cast<M> (a) & ~sign);
    }
    // A NaN difference, or one above the running maximum, replaces it.
    static V take_max (V acc, V a) { return (a > acc) | (a != a) ? a : acc; }
    // The max instruction's own rule.
    static V larger (V a, V acc) { return a > acc ? a : acc; }
    static unsigned below (V a, T w) { return quorvel::lane_mask (a < set1 (w)); }
    static void
    store (T *p, V a)
    {
      __builtin_memcpy (__builtin_assume_aligned (p, 64), &a, sizeof a);
    }
  };

#if NEARSCAN_ISA == 512
  // Query rows per tile and vectors of reference points per tile: 4 x 4
  // accumulators leave registers for the loaded coordinates.
  constexpr int R = 4;
  constexpr int NV = 4;
#else
  // Sixteen registers: 4 x 2 accumulators, two loaded vectors, temporaries.
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
