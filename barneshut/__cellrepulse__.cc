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

  // The walk without recursion.  Children are pushed in reverse so they
  // pop in increasing orthant code: the same depth-first order as the
  // plain walk.  Leaf points are read from the tree's copy of Y in leaf
  // order, so a leaf's points are adjacent in memory.
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
  __attribute__ ((target ("avx512f"))) void
  exact_avx512 (const ExactJob& job, double& Z)
  {
    exact_body<D, V8, 8> (job, Z);
  }

  template <int D>
  __attribute__ ((target ("avx2"))) void
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

  template <int D>
  void
  forces_fast (const BHTree& tree, const Embedding& Y, double theta,
               double *F, double& Z)
  {
    if (theta == 0)
      forces_exact<D> (tree, Y, F, Z);
    else
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
reproduces the exact pairwise sum."))
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
  if (N < 1)
    quorvel::fail ("__cellrepulse__: Y must be a real numeric matrix.");

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
%!  if (t > 39 || n < 2)
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
%!    T.kids{k}(end+1) = m;
%!    T = ref_build (T, m, Y, B, t + 1);
%!  endfor
%!endfunction
%!function [f, Z] = ref_forces (T, k, Y, i, theta, f, Z)
%!  D = columns (Y);
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
%! ## coincident points share the leaf at the depth limit: every ordered
%! ## pair adds 1 to Z and nothing to the forces, whatever theta
%! for theta = [0 0.5 100]
%!   [F, Z] = __cellrepulse__ (repmat ([0.3 -2], 3, 1), theta);
%!   assert (F, zeros (3, 2));
%!   assert (Z, 6);
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
%!     assert (isequal (F, Fr), true, sprintf ("D = %d, theta = %g", D, theta));
%!     assert (isequal (Z, Zr), true, sprintf ("D = %d, theta = %g", D, theta));
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
