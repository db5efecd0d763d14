// __mergetree__: agglomerative hierarchical clustering (average, complete
// or single linkage) of a condensed dissimilarity vector, with the pair
// order fixed by the cluster numbers whenever dissimilarities tie.

#include <cmath>
#include <cstring>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "../binding/quorvel.h"

namespace
{
  enum Method { AVERAGE, COMPLETE, SINGLE };

  // The square matrix costs n^2 doubles; 100000 rows would be 80 GB.
  constexpr int64_t MAX_ROWS = 100000;

  // Working state of one call.  Slot s holds one live cluster; merging b
  // into a keeps slot a.  nnv[s] and nni[s] are the nearest live slot of s
  // and its dissimilarity: exact when fresh[s], otherwise nnv[s] is only a
  // lower bound of the row's smallest value.
  struct Tree
  {
    int64_t n;
    quorvel::WorkBuffer<double> W;     // column-major n x n, symmetric
    std::vector<char> alive;
    std::vector<char> fresh;
    std::vector<double> lab;           // cluster number of each slot
    std::vector<double> size;
    std::vector<double> nnv;
    std::vector<int64_t> nni;
    std::vector<int64_t> head, next, first;   // member list of each slot
  };

  // The square lies on huge pages: the row writes of every merge stride
  // through the whole matrix.
  quorvel::WorkBuffer<double>
  squareArray (int64_t n)
  {
    return quorvel::work_buffer<double> (n * n);
  }

  // Nearest live slot of slot r: the smallest value, then the smallest
  // cluster number.  Returns false when r has no live partner.
  bool
  nearest (Tree& t, int64_t r)
  {
    const double *col = t.W.get () + r * t.n;
    int64_t best = -1;
    double bv = 0;
    for (int64_t x = 0; x < t.n; x++)
      {
        if (! t.alive[x] || x == r)
          continue;
        const double v = col[x];
        if (best < 0 || v < bv || (v == bv && t.lab[x] < t.lab[best]))
          {
            best = x;
            bv = v;
          }
      }
    t.fresh[r] = 1;
    if (best < 0)
      return false;
    t.nni[r] = best;
    t.nnv[r] = bv;
    return true;
  }

  // The live slot that starts the next merge: the smallest value, then
  // the smallest cluster number; stale slots met at the front are brought
  // up to date first.
  int64_t
  frontSlot (Tree& t)
  {
    for (;;)
      {
        int64_t a = -1;
        for (int64_t x = 0; x < t.n; x++)
          if (t.alive[x] && (a < 0 || t.nnv[x] < t.nnv[a]
                             || (t.nnv[x] == t.nnv[a] && t.lab[x] < t.lab[a])))
            a = x;
        if (t.fresh[a])
          return a;
        nearest (t, a);
      }
  }

  // New dissimilarity of the merged cluster (a, b) to a cluster at values
  // u from a and v from b.  The average is taken from the smaller value up,
  // so rounding never brings it below that value and heights never fall.
  inline double
  linked (Method method, double u, double v, double sa, double sb)
  {
    switch (method)
      {
      case COMPLETE:
        return u < v ? v : u;
      case SINGLE:
        return v < u ? v : u;
      default:
        {
          const double lo = v < u ? v : u;
          const double hi = v < u ? u : v;
          const double mhi = v > u ? sb : sa;
          const double gap = hi == lo ? 0.0 : hi - lo;
          return lo + (mhi * gap) / (sa + sb);
        }
      }
  }

  void
  writeParts (const Tree& t, double *P)
  {
    for (int64_t s = 0; s < t.n; s++)
      if (t.alive[s])
        for (int64_t m = t.head[s]; m >= 0; m = t.next[m])
          P[m] = static_cast<double> (t.first[s] + 1);
  }

  void
  mergeAll (Tree& t, Method method, const std::vector<int64_t>& steps,
            double *Z, double *P)
  {
    const int64_t n = t.n;
    double *W = t.W.get ();
    for (size_t c = 0; c < steps.size (); c++)
      if (steps[c] == 0)
        writeParts (t, P + c * n);

    for (int64_t step = 1; step < n; step++)
      {
        OCTAVE_QUIT;
        const int64_t a = frontSlot (t);
        const int64_t b = t.nni[a];
        Z[step - 1] = t.lab[a];
        Z[step - 1 + (n - 1)] = t.lab[b];
        Z[step - 1 + 2 * (n - 1)] = t.nnv[a];

        t.alive[b] = 0;
        double *ca = W + a * n;
        const double *cb = W + b * n;
        const double sa = t.size[a];
        const double sb = t.size[b];
        for (int64_t x = 0; x < n; x++)
          {
            if (! t.alive[x] || x == a)
              continue;
            const double d = linked (method, ca[x], cb[x], sa, sb);
            ca[x] = d;
            W[a + x * n] = d;
            // A row that pointed at a or b keeps a lower bound; the new
            // cluster takes over any row it is strictly nearer to.  On a
            // tie the old neighbour stays: its number is smaller.
            const bool lost = t.nni[x] == a || t.nni[x] == b;
            if (d < t.nnv[x])
              {
                t.nnv[x] = d;
                t.nni[x] = a;
                t.fresh[x] = 1;
              }
            else if (lost)
              t.fresh[x] = 0;
          }
        t.size[a] = sa + sb;
        t.lab[a] = static_cast<double> (n + step);
        // Member lists: b's rows follow a's.
        int64_t tail = t.head[a];
        while (t.next[tail] >= 0)
          tail = t.next[tail];
        t.next[tail] = t.head[b];
        if (t.first[b] < t.first[a])
          t.first[a] = t.first[b];
        nearest (t, a);                // false for the last cluster
        for (size_t c = 0; c < steps.size (); c++)
          if (steps[c] == step)
            writeParts (t, P + c * n);
      }
  }
}

DEFUN_DLD (__mergetree__, args, nargout,
           QUORVEL_HELP ("@deftypefn {quorvel} {[@var{Z}, @var{P}, @var{S}] =} __mergetree__ (@var{D}, @var{n}, @var{method}, @var{steps})\n",
"Internal function of the quorvel package, called by @code{nomcluster};\n\
it is not meant to be called directly.\n\
\n\
@var{D} holds the dissimilarities of every pair of @var{n} objects in the\n\
order (2,1), (3,1), @dots{}, (n,1), (3,2), @dots{}, without NaN.\n\
@var{method} is @qcode{\"average\"}, @qcode{\"complete\"} or\n\
@qcode{\"single\"}.  At each step the two clusters at the smallest\n\
dissimilarity merge; among equal values, the pair whose smaller cluster\n\
number is smallest, then whose larger one is smallest.  Objects are\n\
clusters 1 to @var{n}, and merge i creates cluster @var{n}+i.\n\
\n\
@var{Z} has one row per merge: the two cluster numbers, the smaller\n\
first, and the dissimilarity at which they merged.  @var{steps} holds\n\
numbers of merges from 0 to @var{n}-1; column c of @var{P} gives, for each\n\
object, the smallest object number of its cluster after @var{steps}(c)\n\
merges.  @var{S}, made only when asked for, is @var{D} as the symmetric\n\
@var{n}-by-@var{n} matrix with a zero diagonal."))
{
  if (args.length () != 4)
    print_usage ();

  if (! quorvel::is_two_dim_real (args(0)))
    quorvel::fail ("__mergetree__: D must be a real numeric vector.");
  if (! quorvel::is_real_scalar (args(1)))
    quorvel::fail ("__mergetree__: N must be a real scalar.");
  const double nd = args(1).double_value ();
  if (! (nd >= 1 && nd <= MAX_ROWS && nd == std::floor (nd)))
    quorvel::fail ("__mergetree__: N must be a whole number from 1 to 100000.");
  const int64_t n = static_cast<int64_t> (nd);
  const NDArray D = args(0).array_value ();
  if (D.numel () != n * (n - 1) / 2 || (D.numel () > 0 && D.rows () != 1 && D.cols () != 1))
    quorvel::fail ("__mergetree__: D must hold N*(N-1)/2 values.");
  const double *dv = D.data ();
  for (octave_idx_type i = 0; i < D.numel (); i++)
    if (std::isnan (dv[i]))
      quorvel::fail ("__mergetree__: D must not hold NaN.");
  if (! quorvel::is_string (args(2)))
    quorvel::fail ("__mergetree__: METHOD must be a character vector.");
  const std::string ms = args(2).string_value ();
  Method method;
  if (ms == "average")
    method = AVERAGE;
  else if (ms == "complete")
    method = COMPLETE;
  else if (ms == "single")
    method = SINGLE;
  else
    quorvel::fail ("__mergetree__: METHOD must be average, complete or single.");
  if (! quorvel::is_two_dim_real (args(3)))
    quorvel::fail ("__mergetree__: STEPS must be a real numeric vector.");
  const NDArray S = args(3).array_value ();
  std::vector<int64_t> steps (S.numel ());
  for (octave_idx_type c = 0; c < S.numel (); c++)
    {
      const double s = S(c);
      if (! (s >= 0 && s <= nd - 1 && s == std::floor (s)))
        quorvel::fail ("__mergetree__: STEPS must hold whole numbers from 0 to N-1.");
      steps[c] = static_cast<int64_t> (s);
    }

  Tree t;
  t.n = n;
  t.W = squareArray (n);
  double *W = t.W.get ();
  int64_t c = 0;
  for (int64_t j = 0; j < n; j++)
    {
      OCTAVE_QUIT;
      W[j + j * n] = 0;
      for (int64_t i = j + 1; i < n; i++, c++)
        {
          W[i + j * n] = dv[c];
          W[j + i * n] = dv[c];
        }
    }
  t.alive.assign (n, 1);
  t.fresh.assign (n, 1);
  t.lab.resize (n);
  t.size.assign (n, 1.0);
  t.nnv.assign (n, 0.0);
  t.nni.assign (n, 0);
  t.head.resize (n);
  t.next.assign (n, -1);
  t.first.resize (n);
  for (int64_t s = 0; s < n; s++)
    {
      t.lab[s] = static_cast<double> (s + 1);
      t.head[s] = s;
      t.first[s] = s;
    }
  for (int64_t s = 0; s < n; s++)
    {
      OCTAVE_QUIT;
      nearest (t, s);
    }

  // The square form is copied out before the merges overwrite it.
  NDArray Sq (dim_vector (0, 0));
  if (nargout > 2)
    {
      Sq = quorvel::unfilled_array (dim_vector (n, n));
      std::memcpy (Sq.fortran_vec (), W, sizeof (double) * n * n);
    }
  Matrix Z (n - 1, 3);
  Matrix P (n, steps.size ());
  mergeAll (t, method, steps, Z.fortran_vec (), P.fortran_vec ());
  return ovl (quorvel::wrap (Z), quorvel::wrap (P), quorvel::wrap (Sq));
}

/*
%!test
%! ## Six objects (0 within {1,2}, 0.5 for near pairs, 1 otherwise): ties at
%! ## 0.5 go by cluster number, (3,4) before (3,7); the three methods
%! S = [0 0 .5 1 1 1; 0 0 .5 1 1 1; .5 .5 0 .5 1 1; 1 1 .5 0 .5 1;
%!      1 1 1 .5 0 .5; 1 1 1 1 .5 0];
%! D = S(tril (true (6), -1)).';
%! [Z, P, T] = __mergetree__ (D, 6, "single", [0 3 4 5]);
%! assert (T, S);
%! assert (Z, [1 2 0; 3 4 .5; 5 6 .5; 7 8 .5; 9 10 .5]);
%! assert (P, [(1:6)', [1 1 3 3 5 5]', [1 1 1 1 5 5]', ones(6,1)]);
%! assert (__mergetree__ (D, 6, "complete", []), [1 2 0; 3 4 .5; 5 6 .5; 7 8 1; 9 10 1]);
%! assert (__mergetree__ (D, 6, "average", []), [1 2 0; 3 4 .5; 5 6 .5; 7 8 .75; 9 10 .9375]);
%! ## equal objects pair up in number order; infinite values merge last
%! assert (__mergetree__ (zeros (1, 6), 4, "average", []), [1 2 0; 3 4 0; 5 6 0]);
%! Z = __mergetree__ ([Inf 1 Inf], 3, "average", 1);
%! assert (Z, [1 3 1; 2 4 Inf]);
%! [Z, P] = __mergetree__ ([], 1, "single", 0);
%! assert (size (Z), [0 3]);
%! assert (P, 1);

%!test
%! ## Average linkage equals the mean over the members' pairs, heights rise
%! rand ("seed", 7);
%! n = 60;
%! S = rand (n);
%! S = round (8 * (S + S.')) / 8;     # many ties
%! S(1:n+1:end) = 0;
%! D = S(tril (true (n), -1)).';
%! Z = __mergetree__ (D, n, "average", []);
%! assert (all (diff (Z(:,3)) >= 0));
%! assert (all (Z(:,1) < Z(:,2)));
%! members = num2cell (1:n);
%! for i = 1:n-1
%!   A = members{Z(i,1)};
%!   B = members{Z(i,2)};
%!   assert (Z(i,3), mean (mean (S(A,B))), 1e-13);
%!   members{n+i} = [A B];
%! endfor

%!error <Invalid call> __mergetree__ (1, 2, 3)
%!error <__mergetree__: D must be a real numeric vector> __mergetree__ ({1}, 2, "single", 0)
%!error <__mergetree__: N must be a whole number from 1 to 100000> __mergetree__ (1, 0, "single", 0)
%!error <__mergetree__: D must hold N\*\(N-1\)/2 values> __mergetree__ ([1 2], 2, "single", 0)
%!error <__mergetree__: D must not hold NaN> __mergetree__ (NaN, 2, "single", 0)
%!error <__mergetree__: METHOD must be average, complete or single> __mergetree__ (1, 2, "ward", 0)
%!error <__mergetree__: METHOD must be a character vector> __mergetree__ (1, 2, ["single"; "averag"], 0)
%!error <__mergetree__: STEPS must hold whole numbers from 0 to N-1> __mergetree__ (1, 2, "single", 2)
*/
