// Conventions every quorvel plug-in shares: the argument tests, the message
// form, the help-text frame and the wrapping of results.  Each plug-in
// compiles its own copy; no plug-in links against another.
#ifndef QUORVEL_BINDING_H
#define QUORVEL_BINDING_H

#include <octave/oct.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <memory>
#include <string>

#if defined (__linux__)
#  include <sys/mman.h>
#  include <unistd.h>
#endif

// Help text frame: the Texinfo marker, the calling forms, a blank line, the
// body paragraphs and the closing line.  USAGE holds the @deftypefn line and
// any @deftypefnx lines, each ending in "\n".
#define QUORVEL_HELP(USAGE, BODY) \
  "-*- texinfo -*-\n" USAGE "\n" BODY "\n\n@end deftypefn\n"

// The widest vectors a fast path may use, in bits: 512, 256 or 128.  Every
// fast path is written once with GCC vector extensions and instantiated per
// width; vector_bits () picks the width at run time.  On x86 the CPU decides
// (AVX-512, AVX2, or the SSE2 every x86-64 has); elsewhere the 128-bit form
// runs, which the compiler maps onto the target's own vectors (NEON on
// aarch64).  A build may lower the cap so that the narrower paths are tested
// on one machine; QUORVEL_PLAIN keeps the reference loops only.
#if ! defined (QUORVEL_MAX_ISA)
#  define QUORVEL_MAX_ISA 512
#endif

#if defined (__x86_64__)
#  define QUORVEL_X86 1
#  include <immintrin.h>
// Code generation for one width; FMA is never enabled, so every product
// and sum stays rounded on its own.
#  define QUORVEL_TARGET_512 __attribute__ ((target ("avx512f")))
#  define QUORVEL_TARGET_256 __attribute__ ((target ("avx2")))
#else
#  define QUORVEL_TARGET_512
#  define QUORVEL_TARGET_256
#endif
#define QUORVEL_TARGET_128

namespace quorvel
{
  // The vector width of this run, in bits; 0 in a plain build.
  inline int
  vector_bits ()
  {
#if defined (QUORVEL_PLAIN)
    return 0;
#elif defined (QUORVEL_X86)
    __builtin_cpu_init ();
    if (QUORVEL_MAX_ISA >= 512 && __builtin_cpu_supports ("avx512f"))
      return 512;
    if (QUORVEL_MAX_ISA >= 256 && __builtin_cpu_supports ("avx2"))
      return 256;
    return 128;
#else
    return 128;
#endif
  }

  inline bool
  use_avx512 ()
  {
    return vector_bits () >= 512;
  }

  inline bool
  use_avx2 ()
  {
    return vector_bits () >= 256;
  }

  // A vector of BITS bits of T, named through a class: GCC 12 refuses a
  // local typedef whose vector size depends on a template argument as the
  // operand of a vector conversion.
  template <typename T, int BITS>
  struct Vec
  {
    typedef T type __attribute__ ((vector_size (BITS / 8)));
  };

  // Lane I of a comparison result (all ones or all zeros) as bit I.  This
  // is the one step with no portable vector form: x86 has an instruction
  // per width, any other target reads the lanes.  A width without one
  // stops the build.
  template <typename M>
  inline unsigned
  lane_mask_generic (M m)
  {
    constexpr int n = sizeof (M) / sizeof (m[0]);
    unsigned bits = 0;
    for (int i = 0; i < n; i++)
      bits |= (m[i] != 0 ? 1u : 0u) << i;
    return bits;
  }

#if defined (QUORVEL_X86)
  // The types comparisons of double and of float vectors yield.
  template <typename T, int BYTES>
  struct CompareOf
  {
    typedef T V __attribute__ ((vector_size (BYTES)));
    typedef decltype (V {} < V {}) type;
  };
  typedef CompareOf<double, 16>::type LaneMask64x2;
  typedef CompareOf<double, 32>::type LaneMask64x4;
  typedef CompareOf<double, 64>::type LaneMask64x8;
  typedef CompareOf<float, 16>::type LaneMask32x4;
  typedef CompareOf<float, 32>::type LaneMask32x8;
  typedef CompareOf<float, 64>::type LaneMask32x16;

  inline unsigned
  lane_mask (LaneMask64x2 m)
  {
    return _mm_movemask_pd (reinterpret_cast<__m128d> (m));
  }

  inline unsigned
  lane_mask (LaneMask32x4 m)
  {
    return _mm_movemask_ps (reinterpret_cast<__m128> (m));
  }

  QUORVEL_TARGET_256 inline unsigned
  lane_mask (LaneMask64x4 m)
  {
    return _mm256_movemask_pd (reinterpret_cast<__m256d> (m));
  }

  QUORVEL_TARGET_256 inline unsigned
  lane_mask (LaneMask32x8 m)
  {
    return _mm256_movemask_ps (reinterpret_cast<__m256> (m));
  }

  QUORVEL_TARGET_512 inline unsigned
  lane_mask (LaneMask64x8 m)
  {
    const __m512i v = reinterpret_cast<__m512i> (m);
    return _mm512_test_epi64_mask (v, v);
  }

  QUORVEL_TARGET_512 inline unsigned
  lane_mask (LaneMask32x16 m)
  {
    const __m512i v = reinterpret_cast<__m512i> (m);
    return _mm512_test_epi32_mask (v, v);
  }

  // Any other comparison type has no instruction here: refuse to build.
  template <typename M>
  inline unsigned
  lane_mask (M m)
  {
    static_assert (sizeof (M) == 0, "no lane mask extraction for this vector width");
    return lane_mask_generic (m);
  }
#else
  template <typename M>
  inline unsigned
  lane_mask (M m)
  {
    return lane_mask_generic (m);
  }
#endif
}

namespace quorvel
{
  // Raise the host's error with MSG as the whole message.  Every message
  // is "<function>: <sentence>." and never contains a format directive.
  [[noreturn]] inline void
  fail (const char *msg)
  {
    error ("%s", msg);
  }

  // Numeric, not complex, and no extent of zero in any dimension.
  inline bool
  is_real_matrix (const octave_value& v)
  {
    if (! v.isnumeric () || v.iscomplex ())
      return false;
    const dim_vector dv = v.dims ();
    for (int k = 0; k < dv.ndims (); k++)
      if (dv(k) == 0)
        return false;
    return true;
  }

  // Numeric, not complex, exactly two dimensions; empty values pass.
  inline bool
  is_two_dim_real (const octave_value& v)
  {
    return v.isnumeric () && ! v.iscomplex () && v.ndims () == 2;
  }

  // A scalar of numeric class, not complex.
  inline bool
  is_real_scalar (const octave_value& v)
  {
    return v.is_scalar_type () && v.isnumeric () && ! v.iscomplex ();
  }

  // Logical or numeric, and a scalar.
  inline bool
  is_logical_scalar (const octave_value& v)
  {
    return (v.islogical () || v.isnumeric ()) && v.is_scalar_type ();
  }

  // One row of characters, or none.  The host would read a char matrix of
  // several rows as its first row alone, with only a warning.
  inline bool
  is_string (const octave_value& v)
  {
    return v.is_string () && v.ndims () == 2 && v.rows () <= 1;
  }

  // Results leave with no structure hint.
  inline octave_value
  wrap (const Matrix& m)
  {
    return octave_value (m, MatrixType ());
  }

  inline octave_value
  wrap (const FloatMatrix& m)
  {
    return octave_value (m, MatrixType ());
  }

  inline octave_value
  wrap (const NDArray& a)
  {
    return octave_value (a);
  }

  inline octave_value
  wrap (double x)
  {
    return octave_value (x);
  }

  // Asks for huge pages on a large block before it is first touched, which
  // on a fresh mapping saves hundreds of page faults per megabyte.  Only a
  // hint, and only where the system has it.
  template <typename T>
  inline void
  huge_pages (T *data, int64_t count)
  {
#if defined (__linux__) && defined (MADV_HUGEPAGE)
    const uintptr_t huge = uintptr_t (1) << 21;
    const uintptr_t lo = (reinterpret_cast<uintptr_t> (data) + huge - 1) & ~(huge - 1);
    const uintptr_t hi = reinterpret_cast<uintptr_t> (data + count) & ~(huge - 1);
    if (hi > lo)
      madvise (reinterpret_cast<void *> (lo), hi - lo, MADV_HUGEPAGE);
#else
    (void) data;
    (void) count;
#endif
  }

  // Frees a work_buffer: a block of its own goes back to the system, a
  // small one to the heap.
  struct FreeBuffer
  {
    size_t mapped = 0;

    void
    operator () (void *p) const
    {
#if defined (__linux__)
      if (mapped)
        {
          munmap (p, mapped);
          return;
        }
#endif
      std::free (p);
    }
  };

  template <typename T>
  using WorkBuffer = std::unique_ptr<T [], FreeBuffer>;

  // Uninitialised scratch room for COUNT T.  From a quarter megabyte up,
  // on Linux, it is a fresh mapping of its own on 2 MiB boundaries that
  // asks for huge pages: no part of it faults in 4 KiB at a time (on some
  // virtual machines a fault costs more than ten microseconds, 256 of
  // them a megabyte), and its cost does not depend on what the heap
  // happens to hold.
  template <typename T>
  inline WorkBuffer<T>
  work_buffer (int64_t count)
  {
    if (count < 0 || uint64_t (count) > (uint64_t (1) << 62) / sizeof (T))
      throw std::bad_alloc ();
    const size_t bytes = std::max (size_t (count) * sizeof (T), sizeof (T));
#if defined (__linux__)
    const size_t huge = size_t (1) << 21;
    if (bytes >= huge / 8)
      {
        const size_t size = (bytes + huge - 1) / huge * huge;
        void *m = mmap (nullptr, size + huge, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED)
          throw std::bad_alloc ();
        // Keep the aligned SIZE bytes and give back the HEAD before them
        // and the rest of the extra 2 MiB after them.
        char *lo = static_cast<char *> (m);
        const size_t head = (huge - reinterpret_cast<uintptr_t> (lo) % huge) % huge;
        char *p = lo + head;
        if (head > 0)
          munmap (lo, head);
        munmap (p + size, huge - head);
        huge_pages (p, size);
        return WorkBuffer<T> (reinterpret_cast<T *> (p), FreeBuffer {size});
      }
#endif
    void *p = std::malloc (bytes);
    if (! p)
      throw std::bad_alloc ();
    return WorkBuffer<T> (static_cast<T *> (p));
  }

  // Maps the pages of a fresh result before a kernel writes them.  Where
  // the system offers it, one call per block maps (and zeroes) its pages
  // together, several times cheaper than a fault per page at the first
  // write, which can cost a large result as much as computing it.  Blocks
  // of 64 MiB keep a huge result interruptible; a refusal leaves the
  // faults to the writes.
  template <typename T>
  inline void
  map_pages (T *data, int64_t count)
  {
#if defined (__linux__) && defined (MADV_POPULATE_WRITE)
    const long page = sysconf (_SC_PAGESIZE);
    if (page <= 0 || count * int64_t (sizeof (T)) < (int64_t (1) << 20))
      return;
    const int64_t step = (int64_t (1) << 26) / int64_t (sizeof (T));
    for (int64_t at = 0; at < count; at += step)
      {
        OCTAVE_QUIT;
        const uintptr_t lo = reinterpret_cast<uintptr_t> (data + at) & ~uintptr_t (page - 1);
        const uintptr_t hi = reinterpret_cast<uintptr_t> (data + std::min (at + step, count));
        if (madvise (reinterpret_cast<void *> (lo), hi - lo, MADV_POPULATE_WRITE) != 0)
          return;
      }
#else
    (void) data;
    (void) count;
#endif
  }

  // A result array without the host's zero fill, for a kernel that writes
  // every entry; a large one on huge pages.  A is the array class.
  template <typename A = NDArray>
  inline A
  unfilled_array (const dim_vector& dv)
  {
    typedef typename A::element_type T;
    const octave_idx_type count = dv.safe_numel ();
#if defined (OCTAVE_HAVE_STD_PMR_POLYMORPHIC_ALLOCATOR)
    using Alloc = std::pmr::polymorphic_allocator<T>;
#else
    using Alloc = std::allocator<T>;
#endif
    Alloc al;
    T *data = std::allocator_traits<Alloc>::allocate (al, count);
    huge_pages (data, count);
    try
      {
        return A (Array<T> (data, dv, al));
      }
    catch (...)
      {
        std::allocator_traits<Alloc>::deallocate (al, data, count);
        throw;
      }
  }
}

#endif
