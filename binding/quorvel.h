// Conventions every quorvel plug-in shares: the argument tests, the message
// form, the help-text frame and the wrapping of results.  Each plug-in
// compiles its own copy; no plug-in links against another.
#ifndef QUORVEL_BINDING_H
#define QUORVEL_BINDING_H

#include <octave/oct.h>

#include <cstdint>
#include <string>

// Help text frame: the Texinfo marker, the calling forms, a blank line, the
// body paragraphs and the closing line.  USAGE holds the @deftypefn line and
// any @deftypefnx lines, each ending in "\n".
#define QUORVEL_HELP(USAGE, BODY) \
  "-*- texinfo -*-\n" USAGE "\n" BODY "\n\n@end deftypefn\n"

// The widest vectors a fast path may use: 512 (AVX-512), 256 (AVX2) or
// 128 (the SSE2 every x86-64 has).  The CPU decides at run time; a build
// may lower the cap so that the narrower paths are tested on one machine.
#if ! defined (QUORVEL_MAX_ISA)
#  define QUORVEL_MAX_ISA 512
#endif

namespace quorvel
{
  inline bool
  use_avx512 ()
  {
    __builtin_cpu_init ();
    return QUORVEL_MAX_ISA >= 512 && __builtin_cpu_supports ("avx512f");
  }

  inline bool
  use_avx2 ()
  {
    __builtin_cpu_init ();
    return QUORVEL_MAX_ISA >= 256 && __builtin_cpu_supports ("avx2");
  }

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

  inline bool
  is_string (const octave_value& v)
  {
    return v.is_string ();
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
}

#endif
