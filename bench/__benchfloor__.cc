// Machine floors for the benchmark: the read bandwidth of one core, and the
// rate of independent subtract-multiply-add terms in the widest vectors.
// Benchmark tooling only; no plug-in uses it.

#include <octave/oct.h>

#include <chrono>
#include <cstdint>
#include <immintrin.h>

namespace
{
  double
  seconds_since (std::chrono::steady_clock::time_point t0)
  {
    return std::chrono::duration<double> (std::chrono::steady_clock::now () - t0).count ();
  }

  // Eight independent sums keep the loads, not the adds, the limit.
  __attribute__ ((target ("avx2"))) double
  read_all (const double *x, int64_t n)
  {
    __m256d s[4] = {_mm256_setzero_pd (), _mm256_setzero_pd (),
                    _mm256_setzero_pd (), _mm256_setzero_pd ()};
    int64_t i = 0;
    for (; i + 16 <= n; i += 16)
      for (int k = 0; k < 4; k++)
        s[k] = _mm256_add_pd (s[k], _mm256_loadu_pd (x + i + 4*k));
    double out[4];
    _mm256_storeu_pd (out, _mm256_add_pd (_mm256_add_pd (s[0], s[1]),
                                          _mm256_add_pd (s[2], s[3])));
    double t = out[0] + out[1] + out[2] + out[3];
    for (; i < n; i++)
      t += x[i];
    return t;
  }

  // Terms acc += (x - y)^2, every operation rounded on its own: 12 vectors
  // of reference values and 12 accumulators stay in registers while each
  // query coordinate is broadcast from an L1-resident array, the shape of
  // a neighbour scan's inner loop.  Returns terms per second.
  __attribute__ ((target ("avx512f"))) double
  double_term_rate (int64_t reps, double *sink)
  {
    __m512d acc[12], x[12];
    double y[64];
    for (int j = 0; j < 64; j++)
      y[j] = j * 1e-3;
    for (int k = 0; k < 12; k++)
      {
        acc[k] = _mm512_setzero_pd ();
        x[k] = _mm512_set1_pd ((k + 1) * 1e-2);
      }
    auto t0 = std::chrono::steady_clock::now ();
    for (int64_t r = 0; r < reps; r++)
      {
        const __m512d q = _mm512_set1_pd (y[r & 63]);
#pragma GCC unroll 12
        for (int k = 0; k < 12; k++)
          {
            const __m512d d = _mm512_sub_pd (x[k], q);
            acc[k] = _mm512_add_pd (acc[k], _mm512_mul_pd (d, d));
          }
      }
    const double t = seconds_since (t0);
    for (int k = 1; k < 12; k++)
      acc[0] = _mm512_add_pd (acc[0], acc[k]);
    double out[8];
    _mm512_storeu_pd (out, acc[0]);
    *sink = out[0];
    return double (reps) * 12 * 8 / t;
  }

  __attribute__ ((target ("avx512f"))) double
  single_term_rate (int64_t reps, float *sink)
  {
    __m512 acc[12], x[12];
    float y[64];
    for (int j = 0; j < 64; j++)
      y[j] = j * 1e-3f;
    for (int k = 0; k < 12; k++)
      {
        acc[k] = _mm512_setzero_ps ();
        x[k] = _mm512_set1_ps ((k + 1) * 1e-2f);
      }
    auto t0 = std::chrono::steady_clock::now ();
    for (int64_t r = 0; r < reps; r++)
      {
        const __m512 q = _mm512_set1_ps (y[r & 63]);
#pragma GCC unroll 12
        for (int k = 0; k < 12; k++)
          {
            const __m512 d = _mm512_sub_ps (x[k], q);
            acc[k] = _mm512_add_ps (acc[k], _mm512_mul_ps (d, d));
          }
      }
    const double t = seconds_since (t0);
    for (int k = 1; k < 12; k++)
      acc[0] = _mm512_add_ps (acc[0], acc[k]);
    float out[16];
    _mm512_storeu_ps (out, acc[0]);
    *sink = out[0];
    return double (reps) * 12 * 16 / t;
  }
}

DEFUN_DLD (__benchfloor__, args, ,
           "-*- texinfo -*-\n\
@deftypefn {quorvel} {[@var{bytes_per_s}, @var{dterms_per_s}, @var{sterms_per_s}] =} __benchfloor__ (@var{x})\n\
\n\
Benchmark tooling: the one-core read rate over @var{x} (double), and the\n\
rates of subtract-square-add terms in double and single precision in the\n\
widest vectors, or 0 where AVX-512 is missing.\n\
\n\
@end deftypefn\n")
{
  if (args.length () != 1)
    print_usage ();
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
  if (__builtin_cpu_supports ("avx512f"))
    {
      double dsink;
      float ssink;
      drate = double_term_rate (20000000, &dsink);
      srate = single_term_rate (20000000, &ssink);
    }
  return ovl (best, drate, srate);
}
