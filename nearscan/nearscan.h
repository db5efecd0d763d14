// Pieces of __nearscan__ shared by its plain loop and its vectorised scans:
// the metric names, the per-query K-best buffers and 64-byte aligned
// storage for the packed coordinates.
#ifndef QUORVEL_NEARSCAN_H
#define QUORVEL_NEARSCAN_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "../rowselect/validxless.h"

namespace quorvel
{
  namespace nearscan
  {
    enum class Metric { euclidean, cityblock, chebychev, minkowski };

    // The reported distance of an accumulated one, in the working
    // precision: std::sqrt and std::pow resolve to sqrtf and powf for float.
    template <typename T>
    inline T
    reported (Metric metric, T acc, T invp)
    {
      switch (metric)
        {
        case Metric::euclidean:
          return std::sqrt (acc);
        case Metric::minkowski:
          return std::pow (acc, invp);
        default:
          return acc;
        }
    }

    // Sorted K-best buffers for a block of queries, one row each.  Row r's
    // entries 0 .. count-1 are in the full-sort row order; candidates come
    // in increasing point order, so a new one never passes an equal one.
    template <typename T>
    class KBest
    {
    public:
      KBest (int64_t rows, int64_t K)
        : m_K (K), m_val (rows * K), m_idx (rows * K), m_count (rows, 0)
      { }

      void
      reset ()
      {
        std::fill (m_count.begin (), m_count.end (), 0);
      }

      // Full, and the last entry is a number: then a candidate may enter
      // only if it is below worst (R), which a vector compare can test.
      bool
      gated (int64_t r) const
      {
        return m_count[r] == m_K && ! std::isnan (worst (r));
      }

      T
      worst (int64_t r) const
      {
        return m_val[r*m_K + m_K - 1];
      }

      // Candidate point I with accumulated distance A for row R.
      void
      offer (int64_t r, T a, int64_t i)
      {
        typedef quorvel::ValIdxLess<T> Less;
        T *val = m_val.data () + r*m_K;
        int64_t *idx = m_idx.data () + r*m_K;
        const bool full = (m_count[r] == m_K);
        if (full && ! Less::before (a, i, val[m_K-1], idx[m_K-1]))
          return;
        // Insertion from the back; when full the last entry drops out.
        int64_t pos = full ? m_K - 1 : m_count[r];
        while (pos > 0 && Less::before (a, i, val[pos-1], idx[pos-1]))
          {
            val[pos] = val[pos-1];
            idx[pos] = idx[pos-1];
            pos--;
          }
        val[pos] = a;
        idx[pos] = i;
        if (! full)
          m_count[r]++;
      }

      // Row R's K entries into row Q of the M-row results.
      void
      emit (int64_t r, int64_t q, int64_t M, Metric metric, T invp,
            double *idx, T *D) const
      {
        const T *val = m_val.data () + r*m_K;
        const int64_t *ix = m_idx.data () + r*m_K;
        for (int64_t j = 0; j < m_K; j++)
          {
            idx[q + j*M] = static_cast<double> (ix[j] + 1);
            D[q + j*M] = reported (metric, val[j], invp);
          }
      }

    private:
      int64_t m_K;
      std::vector<T> m_val;
      std::vector<int64_t> m_idx;
      std::vector<int64_t> m_count;
    };

    // Zero-filled storage whose first element sits on a 64-byte boundary,
    // so that aligned vector loads of whole panels are legal.
    template <typename T>
    class AlignedBuffer
    {
    public:
      explicit AlignedBuffer (int64_t n)
        : m_store (n + 64 / sizeof (T), T (0)), m_data (m_store.data ())
      {
        const uintptr_t addr = reinterpret_cast<uintptr_t> (m_data);
        m_data += ((64 - addr % 64) % 64) / sizeof (T);
      }

      AlignedBuffer (const AlignedBuffer&) = delete;
      AlignedBuffer& operator = (const AlignedBuffer&) = delete;

      T * data () { return m_data; }
      const T * data () const { return m_data; }

    private:
      std::vector<T> m_store;
      T *m_data;
    };
  }
}

#endif
