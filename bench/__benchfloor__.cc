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

  // Terms of (a - b)^2 + acc with every operation rounded on its own, 16
  // independent accumulators of 512-bit vectors; returns terms per second.
  template <typename V, typename S, int L>
  __attribute__ ((target ("avx512f"))) double
  term_rate (int64_t reps, V (*sub) (V, V), V (*mul) (V, V), V (*add) (V, V),
             V (*set1) (S), S *sink)
  {
    V acc[16], a[16];
    const V b = set1 (S (0.5));
    for (int k = 0; k < 16; k++)
      {
        acc[k] = set1 (S (0));
        a[k] = set1 (S (k + 1) * S (1e-3));
      }
    auto t0 = std::chrono::steady_clock::now ();
    for (int64_t r = 0; r < reps; r++)
      for (int k = 0; k < 16; k++)
        {
          V d = sub (a[k], b);
          acc[k] = add (acc[k], mul (d, d));
        }
    const double t = seconds_since (t0);
    S out[L];
    V tot = acc[0];
    for (int k = 1; k < 16; k++)
      tot = add (tot, acc[k]);
    __builtin_memcpy (out, &tot, sizeof (out));
    *sink = out[0];
    return double (reps) * 16 * L / t;
  }

  __attribute__ ((target ("avx512f"))) __m512d sub8 (__m512d a, __m512d b) { return _mm512_sub_pd (a, b); }
  __attribute__ ((target ("avx512f"))) __m512d mul8 (__m512d a, __m512d b) { return _mm512_mul_pd (a, b); }
  __attribute__ ((target ("avx512f"))) __m512d add8 (__m512d a, __m512d b) { return _mm512_add_pd (a, b); }
  __attribute__ ((target ("avx512f"))) __m512d set8 (double a) { return _mm512_set1_pd (a); }
  __attribute__ ((target ("avx512f"))) __m512 sub16 (__m512 a, __m512 b) { return _mm512_sub_ps (a, b); }
  __attribute__ ((target ("avx512f"))) __m512 mul16 (__m512 a, __m512 b) { return _mm512_mul_ps (a, b); }
  __attribute__ ((target ("avx512f"))) __m512 add16 (__m512 a, __m512 b) { return _mm512_add_ps (a, b); }
  __attribute__ ((target ("avx512f"))) __m512 set16 (float a) { return _mm512_set1_ps (a); }
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
      drate = term_rate<__m512d, double, 8> (20000000, sub8, mul8, add8, set8, &dsink);
      srate = term_rate<__m512, float, 16> (20000000, sub16, mul16, add16, set16, &ssink);
    }
  return ovl (best, drate, srate);
}
