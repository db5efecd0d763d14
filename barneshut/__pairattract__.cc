// __pairattract__: the attractive term of the t-SNE gradient, summed over
// the stored entries of a sparse affinity matrix in a fixed order.

#include <cstdint>
#include <vector>

#include "../binding/quorvel.h"

namespace
{
  // F(i,:) = sum over the stored entries P(j, i) of column i, in stored
  // (increasing row) order, of P(j, i) q (y_i - y_j), q = 1 / (1 + |y_i - y_j|^2).
  // Each point's sum is its own chain of additions, so the result does not
  // depend on how the work could be split.  D is a template argument up to
  // 3, so the coordinates stay in registers; wider embeddings take the
  // general loop, with the same operations in the same order.
  template <int D>
  void
  attract_fixed (const double *y, int64_t N, const octave_idx_type *cidx,
                 const octave_idx_type *ridx, const double *v, double *F)
  {
    for (int64_t i = 0; i < N; i++)
      {
        double yi[D];
        double f[D];
        for (int c = 0; c < D; c++)
          {
            yi[c] = y[i + c*N];
            f[c] = 0;
          }
        for (octave_idx_type k = cidx[i]; k < cidx[i+1]; k++)
          {
            const int64_t j = ridx[k];
            double dx[D];
            double d2 = 0;
            for (int c = 0; c < D; c++)
              {
                dx[c] = yi[c] - y[j + c*N];
                d2 += dx[c] * dx[c];
              }
            const double w = v[k] * (1 / (d2 + 1));
            for (int c = 0; c < D; c++)
              f[c] += dx[c] * w;
          }
        for (int c = 0; c < D; c++)
          F[i + c*N] = f[c];
      }
  }

  void
  attract (const double *y, int64_t N, int64_t D, const octave_idx_type *cidx,
           const octave_idx_type *ridx, const double *v, double *F)
  {
    switch (D)
      {
      case 1:
        return attract_fixed<1> (y, N, cidx, ridx, v, F);
      case 2:
        return attract_fixed<2> (y, N, cidx, ridx, v, F);
      case 3:
        return attract_fixed<3> (y, N, cidx, ridx, v, F);
      }
    std::vector<double> yi (D), dx (D), f (D);
    for (int64_t i = 0; i < N; i++)
      {
        for (int64_t c = 0; c < D; c++)
          {
            yi[c] = y[i + c*N];
            f[c] = 0;
          }
        for (octave_idx_type k = cidx[i]; k < cidx[i+1]; k++)
          {
            const int64_t j = ridx[k];
            double d2 = 0;
            for (int64_t c = 0; c < D; c++)
              {
                dx[c] = yi[c] - y[j + c*N];
                d2 += dx[c] * dx[c];
              }
            const double w = v[k] * (1 / (d2 + 1));
            for (int64_t c = 0; c < D; c++)
              f[c] += dx[c] * w;
          }
        for (int64_t c = 0; c < D; c++)
          F[i + c*N] = f[c];
      }
  }
}

DEFUN_DLD (__pairattract__, args, ,
           QUORVEL_HELP ("@deftypefn {quorvel} {@var{Fattr} =} __pairattract__ (@var{Y}, @var{P})\n",
"Attractive term of the t-SNE gradient over a sparse affinity matrix.\n\
Internal function of the quorvel package, called by its front end; it is\n\
not meant to be used directly.\n\
\n\
@var{Y} is the N by D embedding, one point per row, any D.  @var{P} is\n\
an N by N real sparse matrix of affinities, normally symmetric.  Row i of\n\
@var{Fattr} is the sum over the stored entries P(j, i) of column i, in\n\
increasing j, of P(j, i) q (y_i - y_j) with q = 1 / (1 + |y_i - y_j|^2).\n\
Every sum is formed in that order, so the result is reproducible to the\n\
bit."))
{
  if (args.length () != 2)
    print_usage ();

  if (! quorvel::is_real_matrix (args(0)))
    quorvel::fail ("__pairattract__: Y must be a real numeric matrix.");
  if (! args(1).issparse () || args(1).iscomplex () || args(1).islogical ())
    quorvel::fail ("__pairattract__: P must be a real sparse matrix.");

  const Matrix Y = args(0).matrix_value ();
  const SparseMatrix P = args(1).sparse_matrix_value ();
  const int64_t N = Y.rows ();
  const int64_t D = Y.cols ();
  if (P.rows () != N || P.cols () != N)
    quorvel::fail ("__pairattract__: P must be N by N, N the number of rows of Y.");

  Matrix F (N, D, 0.0);
  attract (Y.data (), N, D, P.cidx (), P.ridx (), P.data (), F.fortran_vec ());
  return ovl (quorvel::wrap (F));
}

/*
## Reference: the same sums in plain Octave, one rounded operation at a
## time in the kernel's order.
%!function F = ref_attract (Y, P)
%!  [N, D] = size (Y);
%!  F = zeros (N, D);
%!  for i = 1:N
%!    [j, ~, v] = find (P(:,i));
%!    f = zeros (1, D);
%!    for k = 1:numel (j)
%!      dx = Y(i,:) - Y(j(k),:);
%!      d2 = 0;
%!      for c = 1:D
%!        d2 = d2 + dx(c) * dx(c);
%!      endfor
%!      f = f + dx * (v(k) * (1 / (d2 + 1)));
%!    endfor
%!    F(i,:) = f;
%!  endfor
%!endfunction

%!error <Invalid call> __pairattract__ ()
%!error <Invalid call> __pairattract__ (1, sparse (1), 2)
%!error <Y must be a real numeric matrix> __pairattract__ (zeros (0, 2), sparse (0, 0))
%!error <Y must be a real numeric matrix> __pairattract__ ([1i 2], sparse (1))
%!error <P must be a real sparse matrix> __pairattract__ ([1 2], 1)
%!error <P must be a real sparse matrix> __pairattract__ ([1 2], sparse (1i))
%!error <P must be a real sparse matrix> __pairattract__ ([1 2], sparse (true))
%!error <P must be N by N> __pairattract__ ([1 2; 3 4], sparse (3, 3))
%!error <P must be N by N> __pairattract__ ([1 2; 3 4], sparse (2, 3))

%!test
%! ## bit for bit against the reference, in 1 to 4 dimensions, with a
%! ## row of no entries, an explicit coincident pair and a NaN coordinate
%! rand ("state", 2);
%! randn ("state", 2);
%! for D = 1:4
%!   Y = randn (40, D);
%!   Y(7,:) = Y(3,:);
%!   P = sprand (40, 40, 0.2);
%!   P = P + P';
%!   P(:,5) = 0;
%!   P(5,:) = 0;
%!   P(3,7) = 0.5;
%!   P(7,3) = 0.5;
%!   F = __pairattract__ (Y, P);
%!   assert (isequal (F, ref_attract (Y, P)));
%!   assert (F(5,:), zeros (1, D));
%!   Y(9,1) = NaN;
%!   assert (isequaln (__pairattract__ (Y, P), ref_attract (Y, P)));
%! endfor
%! ## the worked pair: y = 0 and 1, P = 1 both ways
%! assert (__pairattract__ ([0; 1], sparse ([0 1; 1 0])), [-0.5; 0.5]);
%! assert (__pairattract__ (single ([0; 1]), sparse ([0 1; 1 0])), [-0.5; 0.5]);
*/
