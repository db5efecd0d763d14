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

  // The 512-bit operations for each precision, so one loop serves both.
  struct Lanes8
  {
    typedef double S;
    typedef __m512d V;
    static constexpr int L = 8;
    __attribute__ ((target ("avx512f"))) static V set1 (S a) { return _mm512_set1_pd (a); }
    __attribute__ ((target ("avx512f"))) static V sub (V a, V b) { return _mm512_sub_pd (a, b); }
    __attribute__ ((target ("avx512f"))) static V mul (V a, V b) { return _mm512_mul_pd (a, b); }
    __attribute__ ((target ("avx512f"))) static V add (V a, V b) { return _mm512_add_pd (a, b); }
  };

  struct Lanes16
  {
    typedef float S;
    typedef __m512 V;
    static constexpr int L = 16;
    __attribute__ ((target ("avx512f"))) static V set1 (S a) { return _mm512_set1_ps (a); }
    __attribute__ ((target ("avx512f"))) static V sub (V a, V b) { return _mm512_sub_ps (a, b); }
    __attribute__ ((target ("avx512f"))) static V mul (V a, V b) { return _mm512_mul_ps (a, b); }
    __attribute__ ((target ("avx512f"))) static V add (V a, V b) { return _mm512_add_ps (a, b); }
  };

  // Terms acc += (x - y)^2, every operation rounded on its own: 12 vectors
  // of reference values and 12 accumulators stay in registers while each
  // query coordinate is broadcast from an L1-resident array, the shape of
  // a neighbour scan's inner loop.  Returns terms per second.
  template <typename W>
  __attribute__ ((target ("avx512f"))) double
  term_rate (int64_t reps, typename W::S *sink)
  {
    typedef typename W::S S;
    typedef typename W::V V;
    V acc[12], x[12];
    S y[64];
    for (int j = 0; j < 64; j++)
      y[j] = S (j) * S (1e-3);
    for (int k = 0; k < 12; k++)
      {
        acc[k] = W::set1 (0);
        x[k] = W::set1 (S (k + 1) * S (1e-2));
      }
    auto t0 = std::chrono::steady_clock::now ();
    for (int64_t r = 0; r < reps; r++)
      {
        const V q = W::set1 (y[r & 63]);
#pragma GCC unroll 12
        for (int k = 0; k < 12; k++)
          {
            const V d = W::sub (x[k], q);
            acc[k] = W::add (acc[k], W::mul (d, d));
          }
      }
    const double t = seconds_since (t0);
    for (int k = 1; k < 12; k++)
      acc[0] = W::add (acc[0], acc[k]);
    S out[W::L];
    __builtin_memcpy (out, &acc[0], sizeof (out));
    *sink = out[0];
    return double (reps) * 12 * W::L / t;
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
      drate = term_rate<Lanes8> (20000000, &dsink);
      srate = term_rate<Lanes16> (20000000, &ssink);
    }
  return ovl (best, drate, srate);
}
