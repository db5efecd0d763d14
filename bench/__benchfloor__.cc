// Machine floors for the benchmark: the read bandwidth of one core, and the
// rate of independent subtract-multiply-add terms in the widest vectors.
// Benchmark tooling only; no plug-in uses it.

#include <chrono>
#include <algorithm>
#include <cstdint>
#include <vector>

#include "../binding/quorvel.h"

namespace
{
  double
  seconds_since (std::chrono::steady_clock::time_point t0)
  {
    return std::chrono::duration<double> (std::chrono::steady_clock::now () - t0).count ();
  }

  typedef double V4 __attribute__ ((vector_size (32)));

  // Sixteen independent sums keep the loads, not the adds, the limit.
  QUORVEL_TARGET_256 double
  read_all (const double *x, int64_t n)
  {
    V4 s[4] = {};
    int64_t i = 0;
    for (; i + 16 <= n; i += 16)
      for (int k = 0; k < 4; k++)
        {
          V4 v;
          __builtin_memcpy (&v, x + i + 4*k, sizeof v);
          s[k] += v;
        }
    const V4 u = (s[0] + s[1]) + (s[2] + s[3]);
    double t = u[0] + u[1] + u[2] + u[3];
    for (; i < n; i++)
      t += x[i];
    return t;
  }

  // Terms acc += (x - y)^2, every operation rounded on its own: 12 vectors
  // of reference values and 12 accumulators stay in registers while each
  // query coordinate is broadcast from an L1-resident array, the shape of
  // a neighbour scan's inner loop.  Returns terms per second.
  template <typename S, int BITS>
  inline __attribute__ ((always_inline)) double
  term_rate (int64_t reps, volatile S *sink)
  {
    typedef S V __attribute__ ((vector_size (BITS / 8)));
    constexpr int L = BITS / 8 / sizeof (S);
    V acc[12], x[12];
    S y[64];
    for (int j = 0; j < 64; j++)
      y[j] = S (j) * S (1e-3);
    for (int k = 0; k < 12; k++)
      {
        acc[k] = V {};
        x[k] = S (k + 1) * S (1e-2) - V {};
      }
    auto t0 = std::chrono::steady_clock::now ();
    for (int64_t r = 0; r < reps; r++)
      {
        const V q = y[r & 63] - V {};
#pragma GCC unroll 12
        for (int k = 0; k < 12; k++)
          {
            const V d = x[k] - q;
            acc[k] = acc[k] + d * d;
          }
      }
    const double t = seconds_since (t0);
    for (int k = 1; k < 12; k++)
      acc[0] = acc[0] + acc[k];
    *sink = acc[0][0];          // a volatile store: the loop is not dead
    return double (reps) * 12 * L / t;
  }

  QUORVEL_TARGET_512 void
  rates512 (double& drate, double& srate)
  {
    volatile double dsink;
    volatile float ssink;
    drate = term_rate<double, 512> (20000000, &dsink);
    srate = term_rate<float, 512> (20000000, &ssink);
  }

  QUORVEL_TARGET_256 void
  rates256 (double& drate, double& srate)
  {
    volatile double dsink;
    volatile float ssink;
    drate = term_rate<double, 256> (20000000, &dsink);
    srate = term_rate<float, 256> (20000000, &ssink);
  }

  void
  rates128 (double& drate, double& srate)
  {
    volatile double dsink;
    volatile float ssink;
    drate = term_rate<double, 128> (20000000, &dsink);
    srate = term_rate<float, 128> (20000000, &ssink);
  }

  template <typename T, int BYTES>
  struct VectorOf
  {
    typedef T type __attribute__ ((vector_size (BYTES)));
  };

  // The compare floor of a one-set pair loop over nominal codes: every
  // pair (i, j > i) of the N rows of CODES (column-major, P columns) and
  // every column, one lane-wise equality test and one count per element
  // of the result, codes and counts as 32-bit integers.  With RESULT set,
  // the same loop also writes each pair's count, as a double, into a
  // fresh result of N(N-1)/2 entries, taken the way a kernel takes its
  // own: the work any one-set result needs beyond its compares.  With
  // COMPARE clear, only that result is taken and written.  Seconds, best
  // of three.
  template <int BITS>
  inline __attribute__ ((always_inline)) double
  compare_floor (const int32_t *codes, int64_t N, int64_t P, bool compare,
                 bool result)
  {
    typedef int32_t I __attribute__ ((vector_size (BITS / 8)));
    typedef typename VectorOf<double, BITS / 4>::type D;
    constexpr int W = BITS / 32;
    std::vector<int32_t> count (N + W);
    volatile int32_t sink = 0;
    double best = 1e300;
    for (int rep = 0; rep < 3; rep++)
      {
        auto t0 = std::chrono::steady_clock::now ();
        NDArray out;
        double *o = nullptr;
        if (result)
          {
            out = quorvel::unfilled_array (dim_vector (1, N * (N - 1) / 2));
            o = out.fortran_vec ();
            quorvel::map_pages (o, out.numel ());
          }
        int64_t c = 0;
        for (int64_t i = 0; i + 1 < N; i++)
          {
            std::fill (count.begin (), count.end (), 0);
            for (int64_t k = 0; compare && k < P; k++)
              {
                const int32_t *col = codes + k*N;
                const I x = I {} + col[i];
                for (int64_t j = i + 1; j < N; j += W)
                  {
                    I n, v;
                    __builtin_memcpy (&v, col + std::min (j, N - W), sizeof v);
                    __builtin_memcpy (&n, count.data () + j, sizeof n);
                    n -= (v == x);
                    __builtin_memcpy (count.data () + j, &n, sizeof n);
                  }
              }
            if (result)
              {
                int64_t j = i + 1;
                for (; j + W <= N; j += W, c += W)
                  {
                    I v;
                    __builtin_memcpy (&v, count.data () + j, sizeof v);
                    const D d = __builtin_convertvector (v, D);
                    __builtin_memcpy (o + c, &d, sizeof d);
                  }
                for (; j < N; j++)
                  o[c++] = count[j];
              }
            sink = sink + count[N - 1];
          }
        best = std::min (best, seconds_since (t0));
      }
    return best;
  }

  QUORVEL_TARGET_512 double
  compare512 (const int32_t *c, int64_t N, int64_t P, bool compare, bool result)
  {
    return compare_floor<512> (c, N, P, compare, result);
  }

  QUORVEL_TARGET_256 double
  compare256 (const int32_t *c, int64_t N, int64_t P, bool compare, bool result)
  {
    return compare_floor<256> (c, N, P, compare, result);
  }

  double
  compare128 (const int32_t *c, int64_t N, int64_t P, bool compare, bool result)
  {
    return compare_floor<128> (c, N, P, compare, result);
  }

  double
  compare_any (const int32_t *c, int64_t N, int64_t P, bool compare, bool result)
  {
    const int bits = quorvel::vector_bits ();
    return bits >= 512 ? compare512 (c, N, P, compare, result)
           : (bits >= 256 ? compare256 (c, N, P, compare, result)
              : compare128 (c, N, P, compare, result));
  }
}

DEFUN_DLD (__benchfloor__, args, ,
           "-*- texinfo -*-\n\
@deftypefn {quorvel} {[@var{bytes_per_s}, @var{dterms_per_s}, @var{sterms_per_s}] =} __benchfloor__ (@var{x})\n\
@deftypefnx {quorvel} {[@var{seconds}, @var{compares}, @var{result}] =} __benchfloor__ (@var{codes})\n\
\n\
Benchmark tooling: the one-core read rate over @var{x} (double), and the\n\
rates of subtract-square-add terms in double and single precision in the\n\
widest vectors the machine has.  Given an int32 matrix of @var{codes}, the\n\
time of a loop of vector compares over every pair of its rows and every\n\
column that also writes each pair's count into a fresh result, the floor\n\
of a one-set simple-matching pass; then the compares alone and the fresh\n\
result alone.\n\
\n\
@end deftypefn\n")
{
  if (args.length () != 1)
    print_usage ();
  if (args(0).is_int32_type ())
    {
      const int32NDArray c = args(0).int32_array_value ();
      const int64_t N = c.rows ();
      const int64_t P = c.numel () / std::max<int64_t> (N, 1);
      const int32_t *d = reinterpret_cast<const int32_t *> (c.data ());
      if (N < 64)
        return ovl (0.0, 0.0, 0.0);
      const double both = compare_any (d, N, P, true, true);
      const double compares = compare_any (d, N, P, true, false);
      const double result = compare_any (d, N, P, false, true);
      return ovl (both, compares, result);
    }
  const NDArray x = args(0).array_value ();
  const int64_t n = x.numel ();
  read_all (x.data (), n);            // warm the page tables
  double best = 0;
  for (int r = 0; r < 3; r++)
    {
      auto t0 = std::chrono::steady_clock::now ();
      volatile double s = read_all (x.data (), n);
      (void) s;
      const double t = seconds_since (t0);
      best = std::max (best, n * 8.0 / t);
    }
  double drate = 0, srate = 0;
  const int bits = quorvel::vector_bits ();
  if (bits >= 512)
    rates512 (drate, srate);
  else if (bits >= 256)
    rates256 (drate, srate);
  else
    rates128 (drate, srate);
  return ovl (best, drate, srate);
}
