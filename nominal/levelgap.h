// The level-frequency table of __levelgap__, its per-measure preparation,
// the measure policies and the plain pair loop.  Every formula is evaluated
// one rounded operation at a time in the order written; the fast paths of
// levelgap_fast.h reuse these policies so that they produce the same bits.
#ifndef QUORVEL_LEVELGAP_H
#define QUORVEL_LEVELGAP_H

#include <octave/oct.h>
#include <octave/quit.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace quorvel
{
namespace nominal
{
  // Measure codes: positions in the name table of the entry.
  enum
  {
    SM, ESKIN, ANDERBERG, BURNABY, GAMBARYAN, GOODALL1, GOODALL2, GOODALL3,
    GOODALL4, IOF, LIN, LIN1, OF, SMIRNOV, VE, VM, MEASURE_COUNT
  };

  // Everything the measures read.  A plain value: ADDQ mode copies it
  // whole for every row of Y.
  struct Stats
  {
    double n = 0;
    int64_t vars = 0;
    std::vector<int64_t> offset;
    std::vector<double> freq;
    std::vector<double> levels;
    std::vector<double> weight;
    double weightSum = 0;
    double levelSum = 0;
    std::vector<double> slotValue;
    std::vector<double> slotAux;
    std::vector<double> varValue;
    std::vector<int64_t> groupFirst;
    std::vector<int64_t> groupLast;
    std::vector<std::vector<double>> cumFreq;
  };

  // Row-major slot table: entry i*p + j is the slot of row i's code in
  // variable j.  Codes were checked to be whole numbers of at least 1.
  inline std::vector<int64_t>
  pack (const Matrix& codes, const Stats& stats)
  {
    const int64_t rows = codes.rows ();
    const int64_t p = stats.vars;
    std::vector<int64_t> slots (rows * p);
    const double *c = codes.data ();
    for (int64_t j = 0; j < p; j++)
      for (int64_t i = 0; i < rows; i++)
        slots[i*p + j] = stats.offset[j] + static_cast<int64_t> (c[i + j*rows]) - 1;
    return slots;
  }

  // Present slots of variable J by ascending frequency; a stable sort keeps
  // equal frequencies in ascending code order.
  inline std::vector<int64_t>
  sortedLevels (const Stats& stats, long j)
  {
    std::vector<int64_t> v;
    for (int64_t s = stats.offset[j]; s < stats.offset[j+1]; s++)
      if (stats.freq[s] > 0)
        v.push_back (s);
    const double *f = stats.freq.data ();
    std::stable_sort (v.begin (), v.end (),
                      [f] (int64_t a, int64_t b) { return f[a] < f[b]; });
    return v;
  }

  // Pair-frequency term, evaluated product first, then divided by N, then
  // by N - 1.
  inline double
  pairTerm (double f, double N)
  {
    return N > 1 ? (f - 1) * f / N / (N - 1) : 0.0;
  }

  inline void
  prepareGoodall (Stats& t, int64_t j, bool first)
  {
    const std::vector<int64_t> V = sortedLevels (t, j);
    const size_t K = V.size ();
    if (K == 0)
      return;
    std::vector<double> c (K + 1);
    c[0] = 0;
    for (size_t i = 0; i < K; i++)
      c[i+1] = c[i] + pairTerm (t.freq[V[i]], t.n);
    for (size_t u = 0; u < K; )
      {
        size_t v = u + 1;
        while (v < K && t.freq[V[v]] == t.freq[V[u]])
          v++;
        const double g = first ? 1 - c[v] : 1 - (c[K] - c[u]);
        for (size_t i = u; i < v; i++)
          t.slotValue[V[i]] = g;
        u = v;
      }
  }

  inline void
  prepareLin1 (Stats& t, int64_t j)
  {
    const std::vector<int64_t> V = sortedLevels (t, j);
    const size_t K = V.size ();
    std::vector<double> c (K + 1);
    c[0] = 0;
    for (size_t i = 0; i < K; i++)
      c[i+1] = c[i] + t.freq[V[i]];
    for (size_t u = 0; u < K; )
      {
        size_t v = u + 1;
        while (v < K && t.freq[V[v]] == t.freq[V[u]])
          v++;
        double sum = 0;
        for (size_t i = u; i < v; i++)
          sum += t.freq[V[i]];
        const double g = sum / t.n;
        for (size_t i = u; i < v; i++)
          {
            t.groupFirst[V[i]] = u;
            t.groupLast[V[i]] = v - 1;
            t.slotValue[V[i]] = g;
          }
        u = v;
      }
    t.cumFreq[j] = std::move (c);
  }

  // Fill the per-slot and per-variable values MEASURE scores with.  Starts
  // from scratch, so it may run on each ADDQ copy of the table.
  inline void
  prepare (Stats& t, int measure)
  {
    const int64_t L = t.offset.empty () ? 0 : t.offset[t.vars];
    t.slotValue.assign (L, 0.0);
    t.slotAux.assign (L, 0.0);
    t.varValue.assign (t.vars, 0.0);
    const double N = t.n;
    const double *f = t.freq.data ();
    for (int64_t j = 0; j < t.vars; j++)
      {
        const int64_t lo = t.offset[j];
        const int64_t hi = t.offset[j+1];
        const double nj = t.levels[j];
        switch (measure)
          {
          case ESKIN:
            t.varValue[j] = nj * nj / (nj * nj + 2);
            break;
          case ANDERBERG:
            t.varValue[j] = (2 / nj) / (nj + 1);
            break;
          case BURNABY:
            {
              double sum = 0;
              for (int64_t s = lo; s < hi; s++)
                sum += 2 * std::log (1 - f[s] / N);
              t.varValue[j] = sum;
            }
            break;
          case GAMBARYAN:
            for (int64_t s = lo; s < hi; s++)
              {
                const double x = f[s] / N;
                if (x > 0 && x < 1)
                  t.slotValue[s] = -(std::log2 (x) * x + std::log2 (1 - x) * (1 - x));
              }
            break;
          case GOODALL1:
          case GOODALL2:
            prepareGoodall (t, j, measure == GOODALL1);
            break;
          case GOODALL3:
            for (int64_t s = lo; s < hi; s++)
              t.slotValue[s] = 1 - pairTerm (f[s], N);
            break;
          case GOODALL4:
            for (int64_t s = lo; s < hi; s++)
              t.slotValue[s] = pairTerm (f[s], N);
            break;
          case IOF:
            for (int64_t s = lo; s < hi; s++)
              t.slotValue[s] = std::log (f[s]);
            break;
          case LIN1:
            prepareLin1 (t, j);
            break;
          case OF:
            for (int64_t s = lo; s < hi; s++)
              t.slotValue[s] = std::log (N / f[s]);
            break;
          case SMIRNOV:
            {
              double sum = 0;
              for (int64_t s = lo; s < hi; s++)
                {
                  if (N > f[s])
                    t.slotAux[s] = f[s] / (N - f[s]);
                  sum += t.slotAux[s];
                }
              t.varValue[j] = sum;
            }
            break;
          case VE:
            {
              double H = 0;
              for (int64_t s = lo; s < hi; s++)
                {
                  const double x = f[s] / N;
                  if (x > 0)
                    H += x * std::log (x);
                }
              const double v = nj > 1 ? (-H) / std::log (nj) : 0.0;
              std::fill (t.slotValue.begin () + lo, t.slotValue.begin () + hi, v);
            }
            break;
          case VM:
            {
              double Q = 0;
              for (int64_t s = lo; s < hi; s++)
                {
                  const double x = f[s] / N;
                  Q += x * x;
                }
              const double v = nj > 1 ? nj * (1 - Q) / (nj - 1) : 0.0;
              std::fill (t.slotValue.begin () + lo, t.slotValue.begin () + hi, v);
            }
            break;
          default:              // sm and lin read the frequencies directly
            break;
          }
      }
  }

  // Measure policies.  add () takes one active variable K of a pair, X the
  // first row's slot and Y the second's, and updates the pair's running
  // values (one, or two for anderberg, lin and lin1); finish () turns them
  // into the dissimilarity.  A policy whose step adds a value that depends
  // on X alone on a match and on K alone on a mismatch says so with SELECT
  // and offers those values as match () and mismatch ().

  constexpr double inf = std::numeric_limits<double>::infinity ();
  constexpr double nan = std::numeric_limits<double>::quiet_NaN ();

  struct Sm
  {
    static constexpr bool SELECT = true;
    static constexpr int VALUES = 1;
    const Stats& stats;
    double negInv;              // -1/sum of weights, formed once

    Sm (const Stats& t) : stats (t), negInv (-1 / t.weightSum) { }

    double match (int64_t k, int64_t) const { return stats.weight[k]; }
    bool hasMismatch () const { return false; }
    double mismatch (int64_t) const { return 0; }

    void
    add (int64_t k, int64_t x, int64_t y, double& S, double&) const
    {
      if (x == y)
        S += match (k, x);
    }

    double finish (double S, double) const { return 1 + S * negInv; }
  };

  struct Eskin
  {
    static constexpr bool SELECT = true;
    static constexpr int VALUES = 1;
    const Stats& stats;
    double inv;

    Eskin (const Stats& t) : stats (t), inv (1 / t.weightSum) { }

    double match (int64_t k, int64_t) const { return stats.weight[k]; }
    bool hasMismatch () const { return true; }
    double mismatch (int64_t k) const { return stats.weight[k] * stats.varValue[k]; }

    void
    add (int64_t k, int64_t x, int64_t y, double& S, double&) const
    {
      S += x == y ? match (k, x) : mismatch (k);
    }

    double finish (double S, double) const { return 1 / (S * inv) - 1; }
  };

  // gambaryan (unweighted, over the level count), goodall1 to goodall4, ve
  // and vm: a match adds the matched level's prepared value.
  struct MatchOnly
  {
    static constexpr bool SELECT = true;
    static constexpr int VALUES = 1;
    const Stats& stats;
    double denominator;
    bool weighted;
    double negInv;              // -1/denominator, formed once

    MatchOnly (const Stats& t, double den, bool w)
      : stats (t), denominator (den), weighted (w), negInv (-1 / den)
    { }

    double
    match (int64_t k, int64_t x) const
    {
      return weighted ? stats.weight[k] * stats.slotValue[x] : stats.slotValue[x];
    }

    bool hasMismatch () const { return false; }
    double mismatch (int64_t) const { return 0; }

    void
    add (int64_t k, int64_t x, int64_t y, double& S, double&) const
    {
      if (x == y)
        S += match (k, x);
    }

    double finish (double S, double) const { return 1 + S * negInv; }
  };

  struct Anderberg
  {
    static constexpr bool SELECT = false;
    static constexpr int VALUES = 2;
    const Stats& stats;

    void
    add (int64_t k, int64_t x, int64_t y, double& A, double& B) const
    {
      const double N = stats.n;
      const double Px = stats.freq[x] / N;
      if (x == y)
        {
          const double r = 1 / Px;
          A += (r * r) * stats.varValue[k];
        }
      else if (stats.freq[y] == 0)
        B = inf;
      else
        B += ((0.5 / Px) / (stats.freq[y] / N)) * stats.varValue[k];
    }

    double finish (double A, double B) const { return 1 - A / (B + A); }
  };

  struct Burnaby
  {
    static constexpr bool SELECT = false;
    static constexpr int VALUES = 1;
    const Stats& stats;

    void
    add (int64_t k, int64_t x, int64_t y, double& S, double&) const
    {
      const double w = stats.weight[k];
      if (x == y)
        {
          S += w;
          return;
        }
      const double N = stats.n;
      const double Px = stats.freq[x] / N;
      if (stats.freq[y] == 0)
        {
          if (Px == 1)
            S += nan;
          return;
        }
      const double Py = stats.freq[y] / N;
      const double t = std::log (((Px * Py) / (1 - Px)) / (1 - Py));
      const double v = stats.varValue[k];
      S += (v / (t + v)) * w;
    }

    double finish (double S, double) const { return 1 - S / stats.weightSum; }
  };

  struct Iof
  {
    static constexpr bool SELECT = false;
    static constexpr int VALUES = 1;
    const Stats& stats;
    double inv;

    Iof (const Stats& t) : stats (t), inv (1 / t.weightSum) { }

    void
    add (int64_t k, int64_t x, int64_t y, double& S, double&) const
    {
      const double w = stats.weight[k];
      if (x == y)
        S += w;
      else if (stats.freq[y] == 0)
        S = nan;
      else
        S += w / (stats.slotValue[x] * stats.slotValue[y] + 1);
    }

    double finish (double S, double) const { return 1 / (S * inv) - 1; }
  };

  struct Of
  {
    static constexpr bool SELECT = false;
    static constexpr int VALUES = 1;
    const Stats& stats;
    double inv;

    Of (const Stats& t) : stats (t), inv (1 / t.weightSum) { }

    void
    add (int64_t k, int64_t x, int64_t y, double& S, double&) const
    {
      const double w = stats.weight[k];
      if (x == y)
        S += w;
      else if (stats.freq[y] == 0)
        {
          if (stats.freq[x] == stats.n)
            S += nan;
        }
      else
        S += w / (stats.slotValue[x] * stats.slotValue[y] + 1);
    }

    double
    finish (double S, double) const
    {
      return S == 0 ? inf : 1 / (S * inv) - 1;
    }
  };

  struct Smirnov
  {
    static constexpr bool SELECT = false;
    static constexpr int VALUES = 1;
    const Stats& stats;
    double inv;

    Smirnov (const Stats& t) : stats (t), inv (1 / t.levelSum) { }

    void
    add (int64_t k, int64_t x, int64_t y, double& S, double&) const
    {
      const double v = stats.varValue[k];
      if (x == y)
        {
          const double fx = stats.freq[x];
          S += ((stats.n - fx) / fx + 2) + (v - stats.slotAux[x]);
        }
      else
        {
          const double d = v - stats.slotAux[x] - stats.slotAux[y];
          S += d > 0 ? d : 0.0;   // NaN clamps to 0 too
        }
    }

    double finish (double S, double) const { return 1 / (S * inv + 1); }
  };

  // Shared finish of lin and lin1; they differ only when den is zero.
  inline double
  linFinish (double num, double den, double atZero)
  {
    if (std::isinf (den))
      return inf;
    if (den == 0)
      return atZero;
    const double s = (1 / den) * num;
    if (s == 0)
      return inf;
    return 1 / s - 1;
  }

  struct Lin
  {
    static constexpr bool SELECT = false;
    static constexpr int VALUES = 2;
    const Stats& stats;

    void
    add (int64_t k, int64_t x, int64_t y, double& num, double& den) const
    {
      const double w = stats.weight[k];
      const double N = stats.n;
      const double *f = stats.freq.data ();
      if (x == y)
        num += (2 * std::log (f[x] / N)) * w;
      else if (f[y] == 0)
        {
          den = -inf;
          return;
        }
      else
        num += (2 * std::log ((f[y] + f[x]) / N)) * w;
      den += (std::log (f[x] / N) + std::log (f[y] / N)) * w;
    }

    double finish (double num, double den) const { return linFinish (num, den, 0); }
  };

  struct Lin1
  {
    static constexpr bool SELECT = false;
    static constexpr int VALUES = 2;
    const Stats& stats;

    void
    add (int64_t k, int64_t x, int64_t y, double& num, double& den) const
    {
      const double *f = stats.freq.data ();
      if (f[y] == 0)
        {
          den = -inf;
          return;
        }
      const double w = stats.weight[k];
      const double N = stats.n;
      if (x == y)
        num += std::log (stats.slotValue[y]) * w;
      else
        {
          const bool yHigh = f[y] >= f[x];
          const int64_t hi = yHigh ? y : x;
          const int64_t lo = yHigh ? x : y;
          // Mass of every level between the two frequencies, tie groups
          // whole, as a difference of cumulative frequencies.
          const std::vector<double>& c = stats.cumFreq[k];
          const double M = c[stats.groupLast[hi] + 1] - c[stats.groupFirst[lo]];
          num += (2 * std::log (M / N)) * w;
        }
      den += (std::log (f[x] / N) + std::log (f[y] / N)) * w;
    }

    double finish (double num, double den) const { return linFinish (num, den, 1); }
  };

  // The one pair loop.  Pairs of one set come out condensed, (0,1), (0,2),
  // ..., (1,2), ...; pairs of two sets go to D(i, j) of the nx-by-ny result.
  // The running values are summed over the active variables in ascending
  // order, which is what fixes every result's bits.
  template <typename Policy>
  void
  pairs (const Policy& pol, const std::vector<int64_t>& xCodes,
         const std::vector<int64_t>& yCodes, int64_t nx, int64_t ny,
         int64_t p, bool oneSet, const std::vector<int64_t>& active,
         double *out)
  {
    if (nx <= 0)
      return;
    const int64_t *xc = xCodes.data ();
    const int64_t *yc = oneSet ? xc : yCodes.data ();
    if (oneSet)
      ny = nx;
    int64_t c = 0;
    for (int64_t i = 0; i < nx; i++)
      {
        OCTAVE_QUIT;
        for (int64_t j = oneSet ? i + 1 : 0; j < ny; j++)
          {
            double a = 0;
            double b = 0;
            for (const int64_t k : active)
              pol.add (k, xc[i*p + k], yc[j*p + k], a, b);
            const double d = pol.finish (a, b);
            if (oneSet)
              out[c++] = d;
            else
              out[i + j*nx] = d;
          }
      }
  }
}
}

#endif
