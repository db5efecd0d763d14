// The full-sort row order on (value, index) pairs: numbers ascending, every
// NaN after every number, equal values (zeros of either sign included) and
// NaNs by smaller index.  It is what a stable ascending sort with NaN placed
// last gives; both the row selection and the neighbour search obey it.
#ifndef QUORVEL_VALIDXLESS_H
#define QUORVEL_VALIDXLESS_H

#include <cmath>
#include <cstdint>

namespace quorvel
{
  template <typename T>
  struct ValIdx
  {
    T val;
    int64_t idx;
  };

  template <typename T>
  struct ValIdxLess
  {
    static bool
    before (T av, int64_t ai, T bv, int64_t bi)
    {
      const bool anan = std::isnan (av);
      const bool bnan = std::isnan (bv);
      if (anan != bnan)
        return bnan;
      if (anan || av == bv)
        return ai < bi;
      return av < bv;
    }

    // A candidate whose index is larger than every index already held
    // comes before W exactly when this holds; scans in column order use it
    // as their one-comparison rejection test.
    static bool
    later_beats (T v, T w)
    {
      return v < w || (std::isnan (w) && ! std::isnan (v));
    }

    bool
    operator () (const ValIdx<T>& a, const ValIdx<T>& b) const
    {
      return before (a.val, a.idx, b.val, b.idx);
    }
  };
}

#endif
