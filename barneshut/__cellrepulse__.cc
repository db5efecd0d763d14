// __cellrepulse__: the Barnes-Hut sum of the repulsive term of the t-SNE
// gradient and its normaliser, for an embedding of one, two or three
// dimensions.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "../binding/quorvel.h"
#include "bhtree.h"

using quorvel::BHNode;
using quorvel::BHTree;
using quorvel::Embedding;

namespace
{
  // Every walk adds into one running Z, so Z's additions form one chain
  // across all points: point 0's walk first, then point 1's, and so on.
  // The fast paths below keep that chain, and each force component's
  // chain, exactly in walk order; only independent work is reordered.

  // Plain method: the recursive walk, once per point.
  void
  forces_plain (const BHTree& tree, const Embedding& Y, double theta,
                double *F, double& Z)
  {
    double f[3];
    for (int64_t i = 0; i < Y.N; i++)
      {
        std::fill_n (f, Y.D, 0.0);
        quorvel::bht_forces (tree, 0, Y, i, theta, f, Z);
        for (int j = 0; j < Y.D; j++)
          F[i + j*Y.N] = f[j];
      }
  }

#if ! defined (QUORVEL_PLAIN)

  // Leaf slot of every row: the walk of point I leaves out slot pos[I].
  std::vector<int64_t>
  leaf_slots (const BHTree& tree)
  {
    std::vector<int64_t> pos (tree.order.size ());
    for (int64_t s = 0; s < static_cast<int64_t> (tree.order.size ()); s++)
      pos[tree.order[s]] = s;
    return pos;
  }

  // The walk without recursion, for what the scan below does not take
  // (non-finite data, leaves of several distinct points).  Children are
  // pushed in reverse so they pop in increasing orthant code: the same
  // depth-first order as the plain walk.  Leaf points are read from the
  // tree's copy of Y in leaf order, so a leaf's points are adjacent.
  template <int D>
  void
  forces_walk (const BHTree& tree, const Embedding& Y, double theta,
               double *F, double& Z)
  {
    const int64_t N = Y.N;
    const std::vector<int64_t> pos = leaf_slots (tree);

    // Below every inner node lie its pending younger siblings at each of
    // at most 40 levels, so this bound is never reached.
    std::vector<int64_t> stack ((quorvel::bht_max_split_depth + 2)
                                * quorvel::bht_max_children);
    int64_t *const stk = stack.data ();
    const BHNode *const nodes = tree.nodes.data ();
    const int64_t *const kids = tree.children.data ();
    const double *const xs = tree.coords.data ();

    double z = Z;
    for (int64_t i = 0; i < N; i++)
      {
        double yi[D];
        double f[D];
        for (int j = 0; j < D; j++)
          {
            yi[j] = Y.at (i, j);
            f[j] = 0;
          }
        const int64_t self = pos[i];
        int64_t top = 0;
        stk[top++] = 0;
        while (top > 0)
          {
            const BHNode& nd = nodes[stk[--top]];
            if (nd.nchildren == quorvel::bht_coincident)
              {
                const bool inside = self >= nd.first
                                    && self < nd.first + nd.npoints;
                quorvel::bht_group (yi, xs + nd.first*D,
                                    static_cast<double> (nd.count - inside),
                                    D, f, z);
                continue;
              }
            if (nd.npoints > 0)
              {
                const int64_t end = nd.first + nd.npoints;
                for (int64_t s = nd.first; s < end; s++)
                  {
                    if (s == self)
                      continue;
                    const double *xp = xs + s*D;
                    double dx[D];
                    double d2 = 0;
                    for (int j = 0; j < D; j++)
                      {
                        dx[j] = yi[j] - xp[j];
                        d2 += dx[j] * dx[j];
                      }
                    const double q = 1 / (d2 + 1);
                    z += q;
                    const double w = q * q;
                    for (int j = 0; j < D; j++)
                      f[j] += dx[j] * w;
                  }
                continue;
              }
            double dx[D];
            double d2 = 0;
            for (int j = 0; j < D; j++)
              {
                dx[j] = yi[j] - nd.mass_center[j];
                d2 += dx[j] * dx[j];
              }
            if (std::sqrt (d2) * theta > nd.width)
              {
                const double q = 1 / (d2 + 1);
                const double m = static_cast<double> (nd.count) * q;
                z += m;
                const double w = q * m;
                for (int j = 0; j < D; j++)
                  f[j] += dx[j] * w;
                continue;
              }
            for (int64_t c = nd.first + nd.nchildren; c-- > nd.first; )
              stk[top++] = kids[c];
          }
        for (int j = 0; j < D; j++)
          F[i + j*N] = f[j];
      }
    Z = z;
  }

  // theta = 0 opens every inner cell (0 > width never holds, and a NaN
  // distance opens too), so a walk meets every leaf in arena order: it is
  // one pass over all points in leaf order, the point served left out.
  // The pair terms q and dx * q^2 of a block are independent and are
  // computed W lanes at a time; they are then added one by one, in order.
  struct ExactJob
  {
    const double *xs[3];    // coordinates in leaf order, one run per dimension
    const double *y;        // the embedding, column-major
    const int64_t *pos;     // leaf slot of every row
    int64_t N;
    double *F;
  };

  const int exact_block = 256;

  template <typename V>
  inline __attribute__ ((always_inline)) void
  splat (V& v, double x)
  {
    double lanes[sizeof (V) / sizeof (double)];
    std::fill_n (lanes, sizeof (V) / sizeof (double), x);
    std::memcpy (&v, lanes, sizeof v);
  }

  template <int D, typename V, int W>
  inline __attribute__ ((always_inline)) void
  exact_run (const ExactJob& job, int64_t lo, int64_t hi, const double *yi,
             double *f, double& z)
  {
    alignas (64) double qb[exact_block];
    alignas (64) double tb[D][exact_block];
    V y[D];
    V one;
    splat (one, 1.0);
    for (int j = 0; j < D; j++)
      splat (y[j], yi[j]);
    for (int64_t b = lo; b < hi; b += exact_block)
      {
        const int n = static_cast<int> (std::min<int64_t> (exact_block, hi - b));
        // Lanes past HI read the padding and are never added.
        for (int k = 0; k < n; k += W)
          {
            V dx[D];
            V d2 = one - one;
            for (int j = 0; j < D; j++)
              {
                V x;
                std::memcpy (&x, job.xs[j] + b + k, sizeof x);
                dx[j] = y[j] - x;
                d2 = d2 + dx[j] * dx[j];
              }
            const V q = one / (d2 + one);
            const V w = q * q;
            std::memcpy (qb + k, &q, sizeof q);
            for (int j = 0; j < D; j++)
              {
                const V t = dx[j] * w;
                std::memcpy (tb[j] + k, &t, sizeof t);
              }
          }
        for (int k = 0; k < n; k++)
          {
            z += qb[k];
            for (int j = 0; j < D; j++)
              f[j] += tb[j][k];
          }
      }
  }

  template <int D, typename V, int W>
  inline __attribute__ ((always_inline)) void
  exact_body (const ExactJob& job, double& Z)
  {
    double z = Z;
    for (int64_t i = 0; i < job.N; i++)
      {
        double yi[D];
        double f[D];
        for (int j = 0; j < D; j++)
          {
            yi[j] = job.y[i + j*job.N];
            f[j] = 0;
          }
        const int64_t self = job.pos[i];
        exact_run<D, V, W> (job, 0, self, yi, f, z);
        exact_run<D, V, W> (job, self + 1, job.N, yi, f, z);
        for (int j = 0; j < D; j++)
          job.F[i + j*job.N] = f[j];
      }
    Z = z;
  }

  typedef double V2 __attribute__ ((vector_size (16)));
  typedef double V4 __attribute__ ((vector_size (32)));
  typedef double V8 __attribute__ ((vector_size (64)));

  // The widest lanes are chosen when the machine has them.  Each lane is
  // one pair, rounded exactly as a scalar would be.
  const int exact_pad = 8;

  template <int D>
  QUORVEL_TARGET_512 void
  exact_avx512 (const ExactJob& job, double& Z)
  {
    exact_body<D, V8, 8> (job, Z);
  }

  template <int D>
  QUORVEL_TARGET_256 void
  exact_avx2 (const ExactJob& job, double& Z)
  {
    exact_body<D, V4, 4> (job, Z);
  }

  template <int D>
  void
  exact_sse2 (const ExactJob& job, double& Z)
  {
    exact_body<D, V2, 2> (job, Z);
  }

  template <int D>
  void
  forces_exact (const BHTree& tree, const Embedding& Y, double *F, double& Z)
  {
    const int64_t N = Y.N;
    const int64_t stride = N + exact_pad;
    std::vector<double> xs (stride * D, 0.0);
    for (int j = 0; j < D; j++)
      for (int64_t s = 0; s < N; s++)
        xs[j*stride + s] = tree.coords[s*D + j];
    const std::vector<int64_t> pos = leaf_slots (tree);
    ExactJob job {{nullptr, nullptr, nullptr}, Y.y, pos.data (), N, F};
    for (int j = 0; j < D; j++)
      job.xs[j] = xs.data () + j*stride;

    if (quorvel::use_avx512 ())
      exact_avx512<D> (job, Z);
    else if (quorvel::use_avx2 ())
      exact_avx2<D> (job, Z);
    else
      exact_sse2<D> (job, Z);
  }

  // The walk without branches on the opening test, for finite data.  The
  // test is the walk's costly step: taken or not about evenly, it defeats
  // branch prediction, and sqrt delays every decision.  Two changes make
  // it cheap while every result stays the same:
  //  - sqrt (d2) * theta > width holds exactly when d2 >= thr, thr being
  //    the least d2 that passes (rounded sqrt and product never decrease
  //    as d2 grows), found once per cell;
  //  - the arena is in preorder, a subtree is one run of positions, so a
  //    walk is a scan that jumps past a used cell: the next node is a
  //    select, not a branch.  Several points walk side by side so their
  //    independent chains overlap, and each walk only lists the bodies it
  //    uses, in walk order.
  // The terms of a point's list are then computed W lanes at a time and
  // added one by one in list order, so Z and every force component are
  // the same chains of additions as in the plain walk.

  // The least d2 >= 0 with sqrt (d2) * theta > w; +Inf when only Inf
  // passes; NaN when nothing does (theta = 0, or w = Inf).  Searched on
  // the bit patterns, which order non-negative doubles, from the guess
  // (w / theta)^2 outwards, so a few tests in general.
  inline double
  accept_threshold (double w, double theta)
  {
    auto passes = [w, theta] (uint64_t u)
      {
        double x;
        std::memcpy (&x, &u, sizeof x);
        return std::sqrt (x) * theta > w;
      };
    auto bits = [] (double x)
      {
        uint64_t u;
        std::memcpy (&u, &x, sizeof u);
        return u;
      };
    const double inf = std::numeric_limits<double>::infinity ();
    const uint64_t top = bits (inf);
    if (! passes (top))
      return std::numeric_limits<double>::quiet_NaN ();
    // passes (lo) is false (w >= 0, so 0 never passes), passes (hi) true
    uint64_t lo = 0;
    uint64_t hi = top;
    const double guess = (w / theta) * (w / theta);
    if (guess > 0 && guess < inf)
      {
        const uint64_t g = bits (guess);
        if (passes (g))
          {
            hi = g;
            for (uint64_t s = 1; s < g; s *= 2)
              {
                if (! passes (g - s))
                  {
                    lo = g - s;
                    break;
                  }
                hi = g - s;
              }
          }
        else
          {
            lo = g;
            for (uint64_t s = 1; s < top - g; s *= 2)
              {
                if (passes (g + s))
                  {
                    hi = g + s;
                    break;
                  }
                lo = g + s;
              }
          }
      }
    while (hi - lo > 1)
      {
        const uint64_t mid = lo + (hi - lo) / 2;
        if (passes (mid))
          hi = mid;
        else
          lo = mid;
      }
    double t;
    std::memcpy (&t, &hi, sizeof t);
    return t;
  }

  // One node as the scan reads it, one cache line.  A leaf of one point
  // (or of coincident points) holds its point in m, always passes (thr
  // -Inf) and skips to the next position.  The sentinel after the last
  // node passes and skips to itself, but never adds a body (emit NaN).
  template <int D>
  struct alignas (64) ScanNode
  {
    double m[D];            // mass centre, or a leaf's point
    double thr;             // used whole (jump past) when d2 >= thr
    double emit;            // listed when d2 >= emit: thr, NaN on the sentinel
    double count;
    const ScanNode *skip;   // the position past the subtree
  };

  // Points walked side by side: enough chains to hide a step's latency,
  // few enough to stay in registers.
  const int scan_lanes = 5;
  const int scan_block = 256;

  template <int D>
  struct ScanTree
  {
    std::vector<ScanNode<D>> nodes;   // the arena in order, then the sentinel
    std::vector<int64_t> leaf;        // the leaf holding each slot
    bool ok = true;                   // no leaf of several distinct points
  };

  template <int D>
  ScanTree<D>
  scan_tree (const BHTree& tree, double theta)
  {
    typedef ScanNode<D> Node;
    const int64_t nn = static_cast<int64_t> (tree.nodes.size ());
    ScanTree<D> st;
    st.nodes.resize (nn + 1);
    st.leaf.resize (tree.order.size ());
    const Node *const base = st.nodes.data ();
    // Backwards, so a node's last child already knows its skip.
    for (int64_t k = nn - 1; k >= 0; k--)
      {
        const BHNode& b = tree.nodes[k];
        Node& w = st.nodes[k];
        w.count = static_cast<double> (b.count);
        if (b.npoints > 0)
          {
            st.ok = st.ok && (b.npoints == 1
                              || b.nchildren == quorvel::bht_coincident);
            for (int j = 0; j < D; j++)
              w.m[j] = tree.coords[b.first*D + j];
            w.thr = -std::numeric_limits<double>::infinity ();
            w.skip = base + k + 1;
            for (int64_t s = b.first; s < b.first + b.npoints; s++)
              st.leaf[s] = k;
          }
        else
          {
            for (int j = 0; j < D; j++)
              w.m[j] = b.mass_center[j];
            w.thr = accept_threshold (b.width, theta);
            w.skip = st.nodes[tree.children[b.first + b.nchildren - 1]].skip;
          }
        w.emit = w.thr;
      }
    Node& end = st.nodes[nn];
    for (int j = 0; j < D; j++)
      end.m[j] = 0;
    end.thr = -std::numeric_limits<double>::infinity ();
    end.emit = std::numeric_limits<double>::quiet_NaN ();
    end.count = 0;
    end.skip = base + nn;
    return st;
  }

  // The terms of one point's LIST (N bodies), added to f (zeros on entry)
  // and to Z in order; returns Z.  The point's own leaf adds nothing, or
  // its group less itself.
  template <int D, typename V, int W>
  inline __attribute__ ((always_inline)) double
  scan_sum (const ScanNode<D> *const *list, int64_t n, const double *yi,
            const ScanNode<D> *self, double *f, double z)
  {
    alignas (64) double xb[D + 1][scan_block + W];
    alignas (64) double qb[scan_block + W];
    alignas (64) double tb[D][scan_block + W];
    V y[D];
    V one;
    splat (one, 1.0);
    for (int j = 0; j < D; j++)
      splat (y[j], yi[j]);
    for (int64_t b = 0; b < n; b += scan_block)
      {
        const int nb = static_cast<int> (std::min<int64_t> (scan_block, n - b));
        for (int e = 0; e < nb; e++)
          {
            for (int j = 0; j < D; j++)
              xb[j][e] = list[b + e]->m[j];
            xb[D][e] = list[b + e]->count;
          }
        // The lanes past the end compute on zeros and are never added.
        for (int e = nb; e < nb + W; e++)
          for (int j = 0; j <= D; j++)
            xb[j][e] = 0;
        for (int e = 0; e < nb; e += W)
          {
            V dx[D];
            V d2 = one - one;
            for (int j = 0; j < D; j++)
              {
                V x;
                std::memcpy (&x, xb[j] + e, sizeof x);
                dx[j] = y[j] - x;
                d2 = d2 + dx[j] * dx[j];
              }
            V c;
            std::memcpy (&c, xb[D] + e, sizeof c);
            const V q = one / (d2 + one);
            const V m = c * q;
            const V w = q * m;
            std::memcpy (qb + e, &m, sizeof m);
            for (int j = 0; j < D; j++)
              {
                const V t = dx[j] * w;
                std::memcpy (tb[j] + e, &t, sizeof t);
              }
          }
        double zs = z;
        double fs[D];
        for (int j = 0; j < D; j++)
          fs[j] = f[j];
        for (int e = 0; e < nb; e++)
          {
            if (__builtin_expect (list[b + e] == self, 0))
              {
                // as bht_group, written out so no sum's address is taken
                if (self->count > 1)
                  {
                    double dx[D];
                    double d2 = 0;
                    for (int j = 0; j < D; j++)
                      {
                        dx[j] = yi[j] - self->m[j];
                        d2 += dx[j] * dx[j];
                      }
                    const double q = 1 / (d2 + 1);
                    const double m = (self->count - 1) * q;
                    zs += m;
                    for (int j = 0; j < D; j++)
                      fs[j] += dx[j] * (q * m);
                  }
                continue;
              }
            zs += qb[e];
            for (int j = 0; j < D; j++)
              fs[j] += tb[j][e];
          }
        z = zs;
        for (int j = 0; j < D; j++)
          f[j] = fs[j];
      }
    return z;
  }

  // One function per width, out of line so that its sums stay in
  // registers rather than share them with the walk.
  template <int D>
  using ScanSum = double (*) (const ScanNode<D> *const *, int64_t,
                              const double *, const ScanNode<D> *, double *,
                              double);

  template <int D>
  QUORVEL_TARGET_512 __attribute__ ((noinline)) double
  scan_sum_avx512 (const ScanNode<D> *const *list, int64_t n, const double *yi,
                   const ScanNode<D> *self, double *f, double z)
  {
    return scan_sum<D, V8, 8> (list, n, yi, self, f, z);
  }

  template <int D>
  QUORVEL_TARGET_256 __attribute__ ((noinline)) double
  scan_sum_avx2 (const ScanNode<D> *const *list, int64_t n, const double *yi,
                 const ScanNode<D> *self, double *f, double z)
  {
    return scan_sum<D, V4, 4> (list, n, yi, self, f, z);
  }

  template <int D>
  __attribute__ ((noinline)) double
  scan_sum_sse2 (const ScanNode<D> *const *list, int64_t n, const double *yi,
                 const ScanNode<D> *self, double *f, double z)
  {
    return scan_sum<D, V2, 2> (list, n, yi, self, f, z);
  }

  template <int D>
  void
  scan_walks (const BHTree& tree, const ScanTree<D>& st, const Embedding& Y,
              ScanSum<D> sum, double *F, double& Z)
  {
    typedef ScanNode<D> Node;
    const int M = scan_lanes;
    const int64_t N = Y.N;
    const Node *const root = st.nodes.data ();
    const Node *const end = root + (st.nodes.size () - 1);
    const std::vector<int64_t> pos = leaf_slots (tree);
    // Each lane's list; a step lists one body at most, so a list is never
    // longer than the steps taken.
    int64_t cap = 1024;
    std::vector<const Node *> buf (M * cap);

    double z = Z;
    for (int64_t i0 = 0; i0 < N; i0 += M)
      {
        const Node *k[M];
        const Node **p[M];
        double yi[M][D];
#pragma GCC unroll 8
        for (int m = 0; m < M; m++)
          {
            const bool live = i0 + m < N;
            k[m] = live ? root : end;
            p[m] = buf.data () + m * cap;
            for (int j = 0; j < D; j++)
              yi[m][j] = live ? Y.at (i0 + m, j) : 0;
          }
        for (int64_t steps = 1; ; steps++)
          {
            uintptr_t busy = 0;
#pragma GCC unroll 8
            for (int m = 0; m < M; m++)
              {
                const Node& nd = *k[m];
                double d2 = (yi[m][0] - nd.m[0]) * (yi[m][0] - nd.m[0]);
                for (int j = 1; j < D; j++)
                  {
                    const double d = yi[m][j] - nd.m[j];
                    d2 += d * d;
                  }
                *p[m] = k[m];
                p[m] += d2 >= nd.emit;
                // next = used whole ? skip : k + 1, as a select
                const uintptr_t used = -static_cast<uintptr_t> (d2 >= nd.thr);
                const uintptr_t next = reinterpret_cast<uintptr_t> (k[m] + 1);
                const uintptr_t skip = reinterpret_cast<uintptr_t> (nd.skip);
                k[m] = reinterpret_cast<const Node *> (next + ((skip - next) & used));
                busy |= reinterpret_cast<uintptr_t> (end)
                        - reinterpret_cast<uintptr_t> (k[m]);
              }
            if (busy == 0)
              break;
            if (__builtin_expect (steps >= cap, 0))
              {
                std::vector<const Node *> grown (2 * M * cap);
#pragma GCC unroll 8
                for (int m = 0; m < M; m++)
                  {
                    const Node **from = buf.data () + m * cap;
                    const Node **to = grown.data () + m * 2 * cap;
                    p[m] = std::copy (from, p[m], to);
                  }
                cap *= 2;
                buf.swap (grown);
              }
          }
        for (int m = 0; m < M && i0 + m < N; m++)
          {
            double f[D] = {};
            const Node *const *list = buf.data () + m * cap;
            z = sum (list, p[m] - list, yi[m], root + st.leaf[pos[i0 + m]],
                     f, z);
            for (int j = 0; j < D; j++)
              F[i0 + m + j*N] = f[j];
          }
      }
    Z = z;
  }

  // With finite coordinates no distance is NaN, so a leaf always passes
  // and is listed, as the plain walk adds it.  False with NaN or Inf
  // anywhere, or with a leaf of distinct points (the depth limit): those
  // take the stack walk.
  template <int D>
  bool
  forces_scan (const BHTree& tree, const Embedding& Y, double theta,
               double *F, double& Z)
  {
    for (int64_t s = 0; s < Y.N * D; s++)
      if (! std::isfinite (Y.y[s]))
        return false;
    const ScanTree<D> st = scan_tree<D> (tree, theta);
    if (! st.ok)
      return false;
    const ScanSum<D> sum = quorvel::use_avx512 () ? scan_sum_avx512<D>
                           : quorvel::use_avx2 () ? scan_sum_avx2<D>
                           : scan_sum_sse2<D>;
    scan_walks<D> (tree, st, Y, sum, F, Z);
    return true;
  }

  template <int D>
  void
  forces_fast (const BHTree& tree, const Embedding& Y, double theta,
               double *F, double& Z)
  {
    // The flat pass adds a coincident group member by member; the walks
    // take it as one body, as the plain walk does.
    if (theta == 0 && ! tree.coincident)
      forces_exact<D> (tree, Y, F, Z);
    else if (! forces_scan<D> (tree, Y, theta, F, Z))
      forces_walk<D> (tree, Y, theta, F, Z);
  }

#endif

  // Frep row by row, Z one running sum over all points.
  void
  forces (const BHTree& tree, const Embedding& Y, double theta,
          double *F, double& Z)
  {
#if ! defined (QUORVEL_PLAIN)
    switch (Y.D)
      {
      case 1:
        return forces_fast<1> (tree, Y, theta, F, Z);
      case 2:
        return forces_fast<2> (tree, Y, theta, F, Z);
      default:
        return forces_fast<3> (tree, Y, theta, F, Z);
      }
#endif
    forces_plain (tree, Y, theta, F, Z);
  }
}

DEFUN_DLD (__cellrepulse__, args, ,
           QUORVEL_HELP ("@deftypefn {quorvel} {[@var{Frep}, @var{Z}] =} __cellrepulse__ (@var{Y}, @var{theta})\n",
"Barnes-Hut summation of the repulsive term of the t-SNE gradient.\n\
Internal function of the quorvel package, called by its front end; it is\n\
not meant to be used directly.\n\
\n\
@var{Y} is the N by D embedding, one point per row, with D equal to 1, 2\n\
or 3.  @var{theta} is the opening criterion, a non-negative scalar: a cell\n\
of the space-partitioning tree is taken as one body at its centre of mass\n\
when its longest side is smaller than @var{theta} times the distance to\n\
that centre.\n\
\n\
@var{Frep} is the N by D matrix of unnormalized repulsive forces and\n\
@var{Z} the normalizer, so that the force on a point is its row of\n\
@var{Frep} divided by @var{Z}.  A @var{theta} of zero opens every cell and\n\
reproduces the exact pairwise sum.\n\
\n\
Points that share every coordinate are one body of their count to every\n\
walk (the point served counts one fewer in its own group), so a group of\n\
coincident points costs one term however large it is."))
{
  if (args.length () != 2)
    print_usage ();

  if (! quorvel::is_real_matrix (args(0)))
    quorvel::fail ("__cellrepulse__: Y must be a real numeric matrix.");
  if (! quorvel::is_real_scalar (args(1)))
    quorvel::fail ("__cellrepulse__: THETA must be a real scalar.");

  const Matrix Y = args(0).matrix_value ();
  const double theta = args(1).double_value ();
  if (! (theta >= 0 && theta <= std::numeric_limits<double>::max ()))
    quorvel::fail ("__cellrepulse__: THETA must be non-negative and finite.");
  // Bounds come from the converted matrix: an N-d Y arrives reshaped.
  const int64_t D = Y.cols ();
  const int64_t N = Y.rows ();
  if (D < 1 || D > 3)
    quorvel::fail ("__cellrepulse__: Y must have 1, 2, or 3 columns.");

  const Embedding emb {Y.data (), N, static_cast<int> (D)};
  const BHTree tree = quorvel::bht_tree (emb);

  Matrix Frep (N, D, 0.0);
  double Z = 0;
  forces (tree, emb, theta, Frep.fortran_vec (), Z);
  return ovl (quorvel::wrap (Frep), quorvel::wrap (Z));
}

/*
## Reference: the tree and the walk written out in plain Octave, one
## rounded operation at a time in the order the kernel promises, so its
## results must agree with the plug-in to the last bit.
%!function [F, Z] = ref_walks (Y, theta)
%!  [N, D] = size (Y);
%!  lo = Y(1,:);
%!  hi = lo;
%!  for p = 2:N
%!    for j = 1:D
%!      if (lo(j) > Y(p,j))
%!        lo(j) = Y(p,j);
%!      endif
%!      if (Y(p,j) > hi(j))
%!        hi(j) = Y(p,j);
%!      endif
%!    endfor
%!  endfor
%!  T.center = (lo + hi) * 0.5;
%!  T.half = (hi - lo) * 0.5 + 1e-5;
%!  T.count = 0;
%!  T.mc = zeros (1, D);
%!  T.width = 0;
%!  T.points = {[]};
%!  T.kids = {[]};
%!  T.same = false;
%!  T = ref_build (T, 1, Y, 1:N, 0);
%!  F = zeros (N, D);
%!  Z = 0;
%!  for i = 1:N
%!    [f, Z] = ref_forces (T, 1, Y, i, theta, zeros (1, D), Z);
%!    F(i,:) = f;
%!  endfor
%!endfunction
%!function T = ref_build (T, k, Y, L, t)
%!  D = columns (Y);
%!  n = numel (L);
%!  T.count(k) = n;
%!  mc = zeros (1, D);
%!  for p = L
%!    mc = mc + Y(p,:);
%!  endfor
%!  T.mc(k,:) = mc / n;
%!  for j = 1:D
%!    w = T.half(k,j) + T.half(k,j);
%!    if (w > T.width(k))
%!      T.width(k) = w;
%!    endif
%!  endfor
%!  ## a cell whose points all coincide is one counted group, at any depth
%!  T.same(k) = n > 1 && all (all (Y(L,:) == Y(L(1),:)));
%!  if (t > 39 || n < 2 || T.same(k))
%!    T.points{k} = L;
%!    return;
%!  endif
%!  code = (Y(L,:) > T.center(k,:)) * (2 .^ (0:D-1))';
%!  for c = 0:2^D-1
%!    B = L(code == c);
%!    if (isempty (B))
%!      continue;
%!    endif
%!    m = numel (T.count) + 1;
%!    T.half(m,:) = T.half(k,:) * 0.5;
%!    up = bitget (c, 1:D) == 1;
%!    T.center(m,up) = T.center(k,up) + T.half(m,up);
%!    T.center(m,!up) = T.center(k,!up) - T.half(m,!up);
%!    T.count(m) = 0;
%!    T.mc(m,:) = 0;
%!    T.width(m) = 0;
%!    T.points{m} = [];
%!    T.kids{m} = [];
%!    T.same(m) = false;
%!    T.kids{k}(end+1) = m;
%!    T = ref_build (T, m, Y, B, t + 1);
%!  endfor
%!endfunction
%!function [f, Z] = ref_forces (T, k, Y, i, theta, f, Z)
%!  D = columns (Y);
%!  if (T.same(k))
%!    x = Y(T.points{k}(1),:);
%!    dx = Y(i,:) - x;
%!    d2 = 0;
%!    for j = 1:D
%!      d2 = d2 + dx(j) * dx(j);
%!    endfor
%!    q = 1 / (d2 + 1);
%!    m = (T.count(k) - all (Y(i,:) == x)) * q;
%!    Z = Z + m;
%!    f = f + dx * (q * m);
%!    return;
%!  endif
%!  if (! isempty (T.points{k}))
%!    for p = T.points{k}
%!      if (p == i)
%!        continue;
%!      endif
%!      d2 = 0;
%!      for j = 1:D
%!        d = Y(i,j) - Y(p,j);
%!        d2 = d2 + d * d;
%!      endfor
%!      q = 1 / (d2 + 1);
%!      Z = Z + q;
%!      f = f + (Y(i,:) - Y(p,:)) * (q * q);
%!    endfor
%!    return;
%!  endif
%!  d2 = 0;
%!  for j = 1:D
%!    d = Y(i,j) - T.mc(k,j);
%!    d2 = d2 + d * d;
%!  endfor
%!  if (sqrt (d2) * theta > T.width(k))
%!    q = 1 / (d2 + 1);
%!    m = T.count(k) * q;
%!    Z = Z + m;
%!    f = f + (Y(i,:) - T.mc(k,:)) * (q * m);
%!    return;
%!  endif
%!  for c = T.kids{k}
%!    [f, Z] = ref_forces (T, c, Y, i, theta, f, Z);
%!  endfor
%!endfunction

## The exact sums over ordered pairs in plain Octave, vectorised; SCALE
## bounds the size of the terms of each force element.
%!function [F, Z, scale] = exact_sums (Y)
%!  N = rows (Y);
%!  d2 = zeros (N);
%!  for j = 1:columns (Y)
%!    d2 += (Y(:,j) - Y(:,j)') .^ 2;
%!  endfor
%!  q = 1 ./ (1 + d2);
%!  q(1:N+1:end) = 0;
%!  F = zeros (size (Y));
%!  scale = zeros (size (Y));
%!  for j = 1:columns (Y)
%!    d = Y(:,j) - Y(:,j)';
%!    F(:,j) = sum (q .^ 2 .* d, 2);
%!    scale(:,j) = sum (q .^ 2 .* abs (d), 2);
%!  endfor
%!  Z = sum (q(:));
%!endfunction

## Argument count, and every message in the order of the checks
%!function msg = lasterr_of (f)
%!  msg = "";
%!  try
%!    f ();
%!  catch err
%!    msg = err.message;
%!  end_try_catch
%!endfunction
%!error <Invalid call> __cellrepulse__ ()
%!error <Invalid call> __cellrepulse__ ([0; 1])
%!error <Invalid call> __cellrepulse__ ([0; 1], 0, 0)
%!error <Invalid call> __cellrepulse__ ([], -1, 0)
%!test
%! msg = "__cellrepulse__: Y must be a real numeric matrix.";
%! for Y = {[], zeros(0, 2), zeros(5, 0), zeros(2, 0, 3), true(3, 2), ...
%!          "ab", [1+i; 2], {1; 2}, struct("a", 1)}
%!   assert (lasterr_of (@() __cellrepulse__ (Y{1}, 0.5)), msg);
%! endfor
%! ## Y is reported before anything is said about THETA
%! assert (lasterr_of (@() __cellrepulse__ ([], "x")), msg);
%! assert (lasterr_of (@() __cellrepulse__ (zeros (0, 4), -1)), msg);
%!test
%! msg = "__cellrepulse__: THETA must be a real scalar.";
%! for theta = {"a", [1 2], [], 0.5i, true, {0.5}, struct("t", 1)}
%!   assert (lasterr_of (@() __cellrepulse__ ([0; 1], theta{1})), msg);
%! endfor
%! assert (lasterr_of (@() __cellrepulse__ (ones (5, 4), "a")), msg);
%!test
%! msg = "__cellrepulse__: THETA must be non-negative and finite.";
%! for theta = {-1, -realmin/2, NaN, Inf, -Inf, single(NaN), int8(-3)}
%!   assert (lasterr_of (@() __cellrepulse__ ([0; 1], theta{1})), msg);
%! endfor
%! ## the THETA range is checked before the columns of Y
%! assert (lasterr_of (@() __cellrepulse__ (ones (5, 4), -1)), msg);
%!test
%! msg = "__cellrepulse__: Y must have 1, 2, or 3 columns.";
%! assert (lasterr_of (@() __cellrepulse__ (ones (5, 4), 0.5)), msg);
%! ## an N-d Y arrives reshaped to 2 by 12
%! assert (lasterr_of (@() __cellrepulse__ (ones (2, 3, 4), 0)), msg);

## The worked examples, to the bit
%!test
%! [F, Z] = __cellrepulse__ ([0; 1], 0);
%! assert (F, [-0.25; 0.25]);
%! assert (Z, 1);
%!test
%! ## the point at 0 takes the cell of 10 and 11 at depth 2 as one body
%! [F, Z] = __cellrepulse__ ([0; 10; 11], 0.5);
%! q = 1 / (10.5^2 + 1);
%! m = 2 * q;
%! assert (F(1), (0 - 10.5) * (q * m));
%! assert (F(2), 10 * (1/101)^2 + (-1) * 0.25);
%! assert (F(3), 11 * (1/122)^2 + 0.25);
%! ## one running sum: the walks of the points at 0, 10 and 11 in turn
%! assert (Z, (((m + 1/101) + 0.5) + 1/122) + 0.5);
%! assert (F, [-0.00169676; -0.24901970; 0.25073905], 5e-9);
%! assert (Z, 1.03607524, 5e-9);
%!test
%! ## the whole root is one body, the served point included
%! [F, Z] = __cellrepulse__ ([0; 10; 11], 5);
%! q = 1 ./ ([49; 9; 16] + 1);
%! m = 3 * q;
%! assert (F, ([0; 10; 11] - 7) .* (q .* m));
%! assert (Z, (m(1) + m(2)) + m(3));
%! assert (F, [-0.0084; 0.09; 12/289], 1e-15);
%!test
%! ## a point on a cell's centre belongs to the lower child: 0.5 shares a
%! ## cell with 0, and that cell is one body for the point at 1
%! [F, Z] = __cellrepulse__ ([0; 0.5; 1], 1);
%! q = 1 / (0.75^2 + 1);
%! assert (F(3), 0.75 * (q * (2 * q)));
%!test
%! ## coincident points are one group: every ordered pair adds 1 to Z and
%! ## nothing to the forces, whatever theta
%! for theta = [0 0.5 100]
%!   [F, Z] = __cellrepulse__ (repmat ([0.3 -2], 3, 1), theta);
%!   assert (F, zeros (3, 2));
%!   assert (Z, 6);
%! endfor
%! ## a group of 200000 is one body of its count (pair by pair, this call
%! ## would take minutes); -0 and +0 coincide
%! Y = [zeros(200000, 2); 3 4];
%! Y(7,1) = -0;
%! for theta = [0 0.5]
%!   [F, Z] = __cellrepulse__ (Y, theta);
%!   assert (isequal (F(1:end-1,:), repmat ([-3 -4] * (1/26 * (1/26)), 200000, 1)));
%!   assert (F(end,:), [3 4] * (1/26 * (200000/26)));
%!   assert (Z, 200000 * 199999 + 2 * 200000 / 26, -1e-10);
%! endfor
%!test
%! for D = 1:3
%!   for theta = [0 1]
%!     [F, Z] = __cellrepulse__ (1:D, theta);
%!     assert (F, zeros (1, D));
%!     assert (Z, 0);
%!   endfor
%! endfor

## theta = -0, other classes, and how many results are asked for
%!test
%! randn ("state", 3);
%! Y = randn (50, 2);
%! [F0, Z0] = __cellrepulse__ (Y, 0);
%! [Fm, Zm] = __cellrepulse__ (Y, -0);
%! assert (isequal (F0, Fm) && isequal (Z0, Zm));
%! [F1, Z1] = __cellrepulse__ (Y, int8 (1));
%! [F2, Z2] = __cellrepulse__ (Y, single (1));
%! assert (isequal (F1, F2) && isequal (Z1, Z2));
%! assert (isequal (__cellrepulse__ (Y, 0.5), nthargout (1, @__cellrepulse__, Y, 0.5)));
%!test
%! Y = [1 2; -3 4; 5 -6; 7 8; 0 0];
%! [Fd, Zd] = __cellrepulse__ (Y, 0.5);
%! [Fs, Zs] = __cellrepulse__ (single (Y), 0.5);
%! [Fi, Zi] = __cellrepulse__ (int32 (Y), single (0.5));
%! assert (class (Fs), "double");
%! assert (class (Zs), "double");
%! assert (class (Fi), "double");
%! assert (class (Zi), "double");
%! assert (isequal (Fs, Fd) && isequal (Zs, Zd));
%! assert (isequal (Fi, Fd) && isequal (Zi, Zd));

## Bit for bit against the plain-Octave tree and walk
%!test
%! randn ("state", 11);
%! rand ("state", 11);
%! for D = 1:3
%!   Y = [randn(30, D); repmat(randn(1, D), 4, 1); round(2 * randn(12, D)) / 2];
%!   [~, ix] = sort (rand (rows (Y), 1));
%!   Y = Y(ix,:);
%!   for theta = [0 0.3 0.8 2.5]
%!     [F, Z] = __cellrepulse__ (Y, theta);
%!     [Fr, Zr] = ref_walks (Y, theta);
%!     assert (isequal (F, Fr) && isequal (Z, Zr),
%!             sprintf ("D = %d, theta = %g", D, theta));
%!   endfor
%! endfor
%!test
%! ## clustered, spread over many orders of magnitude, and a subnormal theta
%! randn ("state", 12);
%! Y = [randn(20, 2) * 1e-9; randn(20, 2) * 1e3; randn(10, 2)];
%! for theta = [0 realmin/4 0.5]
%!   [F, Z] = __cellrepulse__ (Y, theta);
%!   [Fr, Zr] = ref_walks (Y, theta);
%!   assert (isequal (F, Fr) && isequal (Z, Zr));
%! endfor
%!test
%! ## Long walks: a theta that opens every cell meets every leaf in the
%! ## order theta = 0 does, so the sums agree to the bit, however many
%! ## nodes a walk visits and bodies it adds.
%! randn ("state", 13);
%! for D = 1:3
%!   Y = randn (900, D);
%!   [F0, Z0] = __cellrepulse__ (Y, 0);
%!   [F, Z] = __cellrepulse__ (Y, realmin);
%!   assert (isequal (F, F0) && isequal (Z, Z0), sprintf ("D = %d", D));
%! endfor

## theta = 0 is the exact sum, theta > 0 its approximation
%!test
%! randn ("state", 5);
%! for D = 1:3
%!   Y = randn (400, D) * 3;
%!   [Fx, Zx, scale] = exact_sums (Y);
%!   [F, Z] = __cellrepulse__ (Y, 0);
%!   assert (abs (F - Fx) <= 1e-12 * scale);
%!   assert (Z, Zx, -1e-12);
%!   ## the error of the approximation grows about as theta^2
%!   last = 0;
%!   for theta = [0.25 0.5 1]
%!     [F, Z] = __cellrepulse__ (Y, theta);
%!     err = norm (F - Fx, "fro") / norm (Fx, "fro");
%!     assert (err > last && err < 0.15 * theta^2);
%!     assert (Z, Zx, -0.05 * theta^2);
%!     last = err;
%!   endfor
%! endfor
%!test
%! ## a group of coincident points at the depth limit among others
%! randn ("state", 6);
%! Y = [randn(150, 3); repmat([0.1 0.2 0.3], 60, 1); randn(40, 3) + 5];
%! [Fx, Zx, scale] = exact_sums (Y);
%! [F, Z] = __cellrepulse__ (Y, 0);
%! assert (abs (F - Fx) <= 1e-12 * scale);
%! assert (Z, Zx, -1e-12);
%! [F, Z] = __cellrepulse__ (Y, 0.5);
%! assert (norm (F - Fx, "fro") / norm (Fx, "fro") < 0.15 * 0.5^2);
%! assert (Z, Zx, -0.05 * 0.5^2);

## Non-finite coordinates flow through the arithmetic; the tree still ends
%!test
%! randn ("state", 8);
%! Y = randn (40, 2);
%! Y(7,1) = NaN;
%! [F, Z] = __cellrepulse__ (Y, 0);
%! assert (isnan (Z));
%! assert (all (isnan (F(:,1))));
%! [F, Z] = __cellrepulse__ (Y, 0.5);
%! assert (size (F), [40 2]);
%! assert (isnan (Z));
%!test
%! ## Non-finite data: NaN in the first row makes that dimension's root
%! ## cell NaN; infinities; every point non-finite in 3-D.
%! cases = {[NaN 0; 1 1; 2 2; 3 3], [0 0; Inf 1; -Inf 2; 3 Inf; 4 4; 5 5], ...
%!          [NaN Inf -Inf; Inf Inf Inf; -Inf NaN 0]};
%! for c = 1:numel (cases)
%!   for theta = [0 0.5 2 10]
%!     [F, Z] = __cellrepulse__ (cases{c}, theta);
%!     [Fr, Zr] = ref_walks (cases{c}, theta);
%!     assert (isequaln (F, Fr) && isequaln (Z, Zr));
%!   endfor
%! endfor
*/
