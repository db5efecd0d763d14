// __forestshare__: exact Shapley values of the answers of an ensemble of
// decision trees, averaged over background rows, computed leaf by leaf.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "../binding/quorvel.h"
#include "forestwalk.h"

using forestshare::Demand;
using forestshare::Leaf;
using forestshare::Tree;
using forestshare::passesGroup;

namespace
{
  // lf(i) = log (i!) for i = 0 .. M+1.
  std::vector<double>
  logFactorials (int64_t M)
  {
    std::vector<double> lf (M + 2);
    for (int64_t i = 0; i <= M + 1; i++)
      lf[i] = std::lgamma (static_cast<double> (i) + 1.0);
    return lf;
  }

  // What a predictor that S must not contain loses, for a leaf whose query
  // fails A groups and a row of shortfall C: the Shapley weights summed
  // over the coalitions of the F free predictors.  Mathematically
  // C!(A-1)!/(A+C)!, but the sum is what fixes the bits.
  double
  lossWeight (const std::vector<double>& lf, int64_t M, int64_t a, int64_t c)
  {
    const int64_t f = M - a - c;
    double sum = 0.0;
    for (int64_t k = 0; k <= f; k++)
      sum += std::exp (lf[f] - lf[k] - lf[f-k] + lf[c+k] + lf[M-1-c-k] - lf[M]);
    return sum;
  }

  // What a predictor that S must contain gains (C >= 1); mathematically
  // (C-1)!A!/(A+C)!.
  double
  gainWeight (const std::vector<double>& lf, int64_t M, int64_t a, int64_t c)
  {
    const int64_t f = M - a - c;
    double sum = 0.0;
    for (int64_t k = 0; k <= f; k++)
      sum += std::exp (lf[f] - lf[k] - lf[f-k] + lf[c-1+k] + lf[M-c-k] - lf[M]);
    return sum;
  }

  // Scratch of one tree, reused by its leaves.
  struct LeafScratch
  {
    std::vector<char> queryPass;
    std::vector<char> bgPass;
    std::vector<char> admitted;
    std::vector<int64_t> shortfall;
  };

  // One leaf, one query point, the obvious way: every table rebuilt from
  // the data, every weight summed afresh.  QROW holds the query's M values;
  // PAGE (M by K, column-major) gathers the unscaled values.
  void
  leafPlain (const Leaf& leaf, const Matrix& V, const Matrix& X,
             const double *qrow, const std::vector<double>& lf, int64_t M,
             int64_t K, LeafScratch& w, double *page)
  {
    const int64_t d = leaf.vars.size ();
    if (d == 0)
      return;
    const int64_t nX = X.rows ();
    const double *xd = X.data ();

    w.queryPass.resize (d);
    w.bgPass.resize (d * nX);
    for (int64_t i = 0; i < d; i++)
      {
        const int64_t j = leaf.vars[i];
        w.queryPass[i] = passesGroup (leaf.groups[i], qrow[j]);
        for (int64_t r = 0; r < nX; r++)
          w.bgPass[i*nX + r] = passesGroup (leaf.groups[i], xd[r + j*nX]);
      }
    int64_t a = 0;
    for (int64_t i = 0; i < d; i++)
      a += ! w.queryPass[i];

    w.admitted.assign (nX, 1);
    for (int64_t i = 0; i < d; i++)
      if (! w.queryPass[i])
        for (int64_t r = 0; r < nX; r++)
          if (! w.bgPass[i*nX + r])
            w.admitted[r] = 0;

    w.shortfall.assign (nX, 0);
    int64_t nadmitted = 0;
    int64_t cmax = 0;
    for (int64_t r = 0; r < nX; r++)
      if (w.admitted[r])
        {
          int64_t c = 0;
          for (int64_t i = 0; i < d; i++)
            c += w.queryPass[i] && ! w.bgPass[i*nX + r];
          w.shortfall[r] = c;
          nadmitted++;
          cmax = std::max (cmax, c);
        }
    if (nadmitted == 0)
      return;

    std::vector<double> G (cmax + 1, 0.0);
    std::vector<double> L (cmax + 1, 0.0);
    std::vector<int64_t> H (cmax + 1, 0);
    for (int64_t c = 0; c <= cmax; c++)
      {
        if (a >= 1)
          L[c] = lossWeight (lf, M, a, c);
        if (c >= 1)
          G[c] = gainWeight (lf, M, a, c);
      }
    for (int64_t r = 0; r < nX; r++)
      if (w.admitted[r])
        H[w.shortfall[r]] += 1;

    for (int64_t k = 0; k < K; k++)
      {
        const double v = V(leaf.node, k);
        if (v == 0.0)
          continue;
        if (a >= 1)
          {
            double loss = 0.0;
            for (int64_t c = 0; c <= cmax; c++)
              loss += static_cast<double> (H[c]) * L[c];
            const double t = (-loss) * v;
            for (int64_t i = 0; i < d; i++)
              if (! w.queryPass[i])
                page[leaf.vars[i] + k*M] += t;
          }
        for (int64_t i = 0; i < d; i++)
          if (w.queryPass[i])
            {
              double s = 0.0;
              for (int64_t r = 0; r < nX; r++)
                if (w.admitted[r] && ! w.bgPass[i*nX + r])
                  s += G[w.shortfall[r]];
              page[leaf.vars[i] + k*M] += s * v;
            }
      }
  }

#if defined (QUORVEL_PLAIN)

  // Query by query, tree by tree, leaf by leaf, into a page that is then
  // scaled into phi.
  void
  shapleyPlain (const std::vector<Tree>& trees, const Matrix& X,
                const Matrix& Q, int64_t M, int64_t K, double *phi)
  {
    const int64_t nq = Q.rows ();
    const std::vector<double> lf = logFactorials (M);
    const double scale = 1.0 / static_cast<double> (X.rows ());
    Matrix page (M, K);
    RowVector qrow (M);
    for (int64_t q = 0; q < nq; q++)
      {
        page.fill (0.0);
        for (int64_t j = 0; j < M; j++)
          qrow(j) = Q(q, j);
        for (const Tree& tree : trees)
          {
            LeafScratch scratch;
            for (const Leaf& leaf : tree.leaves)
              leafPlain (leaf, tree.leafValues, X, qrow.data (), lf, M, K,
                         scratch, page.fortran_vec ());
          }
        const double *p = page.data ();
        for (int64_t e = 0; e < M*K; e++)
          phi[e + q*M*K] = p[e] * scale;
      }
  }

#else

  // The gain and loss weights depend only on (A, C) for a given M, so each
  // is summed once per call, on first use, by the same sum as above.
  class WeightTable
  {
  public:
    WeightTable (const std::vector<double>& lf, int64_t M, int64_t dmax)
      : m_lf (lf), m_M (M), m_n (dmax + 1),
        m_loss (m_n * m_n), m_gain (m_n * m_n), m_have (m_n * m_n, 0)
    { }

    double loss (int64_t a, int64_t c) { return entry (a, c).first; }
    double gain (int64_t a, int64_t c) { return entry (a, c).second; }

  private:
    std::pair<double, double>
    entry (int64_t a, int64_t c)
    {
      const int64_t e = a * m_n + c;
      if (! m_have[e])
        {
          m_loss[e] = a >= 1 ? lossWeight (m_lf, m_M, a, c) : 0.0;
          m_gain[e] = c >= 1 ? gainWeight (m_lf, m_M, a, c) : 0.0;
          m_have[e] = 1;
        }
      return {m_loss[e], m_gain[e]};
    }

    const std::vector<double>& m_lf;
    int64_t m_M;
    int64_t m_n;
    std::vector<double> m_loss;
    std::vector<double> m_gain;
    std::vector<char> m_have;
  };

  // Leaves of up to this many groups keep a group mask in one word.
  constexpr int64_t maxMaskGroups = 64;

  // Per-leaf tables that do not depend on the query point: for each group
  // a bit set of the background rows that pass it, and for each row the
  // mask of groups it fails.
  struct LeafTables
  {
    int64_t words = 0;
    std::vector<uint64_t> passBits;       // group-major, WORDS per group
    std::vector<uint64_t> failMask;       // one per background row
    std::vector<uint64_t> queryMask;      // groups each query point passes
    std::vector<uint64_t> admitted;       // WORDS
    std::vector<int64_t> hist;            // d + 1
  };

  // A group of threshold demands is an interval: values at or above the
  // largest right-side cut and below the smallest left-side cut.  The same
  // truth values as testing the demands one by one, NaN included: a NaN
  // value fails both comparisons, and a NaN cut is kept as "passes none".
  struct Interval
  {
    bool thresholdOnly = true;
    bool none = false;
    bool bounded = false;         // some left-side cut: v < hi applies
    double lo = -std::numeric_limits<double>::infinity ();
    double hi = std::numeric_limits<double>::infinity ();

    explicit Interval (const std::vector<Demand>& group)
    {
      for (const Demand& dm : group)
        {
          if (dm.categorical)
            thresholdOnly = false;
          else if (std::isnan (dm.cut))
            none = true;
          else if (dm.left)
            {
              hi = std::min (hi, dm.cut);
              bounded = true;
            }
          else
            lo = std::max (lo, dm.cut);
        }
    }

    bool
    passes (double v) const
    {
      return ! none && v >= lo && (! bounded || v < hi);
    }
  };

  void
  buildLeafTables (const Leaf& leaf, const Matrix& X, const Matrix& Q,
                   LeafTables& lt)
  {
    const int64_t d = leaf.vars.size ();
    const int64_t nX = X.rows ();
    const int64_t nq = Q.rows ();
    lt.words = (nX + 63) / 64;
    lt.passBits.assign (d * lt.words, 0);
    lt.failMask.assign (nX, 0);
    lt.queryMask.assign (nq, 0);
    for (int64_t i = 0; i < d; i++)
      {
        const std::vector<Demand>& g = leaf.groups[i];
        const Interval iv (g);
        const double *xcol = X.data () + leaf.vars[i] * nX;
        const double *qcol = Q.data () + leaf.vars[i] * nq;
        uint64_t *bits = lt.passBits.data () + i * lt.words;
        const uint64_t groupBit = uint64_t (1) << i;
        for (int64_t r = 0; r < nX; r++)
          {
            const bool ok = iv.thresholdOnly ? iv.passes (xcol[r])
                                             : passesGroup (g, xcol[r]);
            bits[r >> 6] |= uint64_t (ok) << (r & 63);
            lt.failMask[r] |= ok ? 0 : groupBit;
          }
        for (int64_t q = 0; q < nq; q++)
          {
            const bool ok = iv.thresholdOnly ? iv.passes (qcol[q])
                                             : passesGroup (g, qcol[q]);
            lt.queryMask[q] |= ok ? groupBit : 0;
          }
      }
  }

  // What one leaf gives a query point depends on the point only through
  // the mask of groups it passes, so it is worked out once per distinct
  // mask of a leaf and kept in a slot: whether any row is admitted, the
  // loss sum and the gain sum of every group.  Stamps tell the current
  // leaf's entries from older ones, so nothing is cleared between leaves.
  // Gain sums kept per leaf: 512 KiB, which stays in the second-level
  // cache; a leaf with more distinct masks recomputes the rest.
  constexpr int64_t memoBudget = int64_t (1) << 16;

  class MaskMemo
  {
  public:
    MaskMemo (int64_t nq, int64_t stride)
      : m_stride (stride),
        m_capacity (std::max<int64_t> (1, std::min<int64_t> (nq, memoBudget / stride))),
        m_some (m_capacity + 1), m_loss (m_capacity + 1),
        m_gain ((m_capacity + 1) * stride)
    {
      m_bits = 1;
      while ((int64_t (1) << m_bits) < 2 * m_capacity)
        m_bits++;
      m_key.resize (int64_t (1) << m_bits);
      m_stamp.assign (int64_t (1) << m_bits, -1);
      m_slot.resize (int64_t (1) << m_bits);
    }

    void newLeaf () { m_leaf++; m_used = 0; }

    // Slot of MASK; FRESH tells whether it still has to be filled.  When
    // the slots run out, the spare last slot is handed out every time.
    int64_t
    slot (uint64_t mask, bool& fresh)
    {
      const int64_t size = int64_t (1) << m_bits;
      int64_t h = static_cast<int64_t> ((mask * 0x9E3779B97F4A7C15ull) >> (64 - m_bits));
      while (m_stamp[h] == m_leaf)
        {
          if (m_key[h] == mask)
            {
              fresh = false;
              return m_slot[h];
            }
          h = (h + 1) & (size - 1);
        }
      fresh = true;
      if (m_used == m_capacity)
        return m_capacity;
      m_stamp[h] = m_leaf;
      m_key[h] = mask;
      m_slot[h] = m_used;
      return m_used++;
    }

    char& some (int64_t s) { return m_some[s]; }
    double& loss (int64_t s) { return m_loss[s]; }
    double *gain (int64_t s) { return m_gain.data () + s * m_stride; }

  private:
    int64_t m_stride;
    int64_t m_capacity;
    int64_t m_bits = 1;
    int64_t m_leaf = 0;
    int64_t m_used = 0;
    std::vector<uint64_t> m_key;
    std::vector<int64_t> m_stamp;
    std::vector<int64_t> m_slot;
    std::vector<char> m_some;
    std::vector<double> m_loss;
    std::vector<double> m_gain;
  };

  // One leaf whose tables are built, for a query point passing the groups
  // of PASS.  Returns false when no background row is admitted (the leaf
  // adds nothing); otherwise sets LOSS to the histogram-weighted loss sum
  // (when A >= 1) and GAIN[i] for every group i the query passes.  Rows
  // are visited in increasing order, so each GAIN[i] is the row-ordered
  // sum of the plain method, and LOSS runs over c = 0 .. cmax in order.
  __attribute__ ((always_inline)) inline bool
  leafForMask (LeafTables& lt, int64_t d, int64_t nX, uint64_t pass,
               WeightTable& wt, double& loss, double *gain)
  {
    const int64_t W = lt.words;
    const int64_t a = d - __builtin_popcountll (pass);
    const uint64_t groups = (d == 64) ? ~uint64_t (0) : (uint64_t (1) << d) - 1;
    uint64_t any = 0;
    for (int64_t w = 0; w < W; w++)
      {
        uint64_t m = ~uint64_t (0);
        if (w == W - 1 && (nX & 63))
          m = (uint64_t (1) << (nX & 63)) - 1;
        for (uint64_t fail = ~pass & groups; fail; fail &= fail - 1)
          m &= lt.passBits[__builtin_ctzll (fail) * W + w];
        lt.admitted[w] = m;
        any |= m;
      }
    if (! any)
      return false;

    std::fill_n (lt.hist.begin (), d + 1, 0);
    std::fill_n (gain, d, 0.0);
    int64_t cmax = 0;
    for (int64_t w = 0; w < W; w++)
      for (uint64_t m = lt.admitted[w]; m; m &= m - 1)
        {
          const int64_t r = w * 64 + __builtin_ctzll (m);
          uint64_t shortGroups = lt.failMask[r] & pass;
          const int64_t c = __builtin_popcountll (shortGroups);
          lt.hist[c] += 1;
          cmax = std::max (cmax, c);
          if (shortGroups)
            {
              const double g = wt.gain (a, c);
              for (; shortGroups; shortGroups &= shortGroups - 1)
                gain[__builtin_ctzll (shortGroups)] += g;
            }
        }
    loss = 0.0;
    if (a >= 1)
      for (int64_t c = 0; c <= cmax; c++)
        loss += static_cast<double> (lt.hist[c]) * wt.loss (a, c);
    return true;
  }

  // Every query point against one leaf.  Each query point has its own
  // page of phi, and within the leaf each of its elements is added to at
  // most once, so the order of the query points does not matter.
  __attribute__ ((always_inline)) inline void
  leafAllQueries (const Leaf& leaf, const Matrix& V, int64_t nX, int64_t nq,
                  int64_t M, int64_t K, LeafTables& lt, WeightTable& wt,
                  MaskMemo& memo, double *phi)
  {
    const int64_t d = leaf.vars.size ();
    memo.newLeaf ();
    for (int64_t q = 0; q < nq; q++)
      {
        const uint64_t pass = lt.queryMask[q];
        bool fresh;
        const int64_t s = memo.slot (pass, fresh);
        if (fresh)
          memo.some (s) = leafForMask (lt, d, nX, pass, wt, memo.loss (s),
                                       memo.gain (s));
        if (! memo.some (s))
          continue;
        const double loss = memo.loss (s);
        const double *gain = memo.gain (s);
        const bool lost = (d - __builtin_popcountll (pass)) >= 1;
        double *page = phi + q*M*K;
        for (int64_t k = 0; k < K; k++)
          {
            const double v = V(leaf.node, k);
            if (v == 0.0)
              continue;
            if (lost)
              {
                const double t = (-loss) * v;
                for (int64_t i = 0; i < d; i++)
                  if (! ((pass >> i) & 1))
                    page[leaf.vars[i] + k*M] += t;
              }
            for (int64_t i = 0; i < d; i++)
              if ((pass >> i) & 1)
                page[leaf.vars[i] + k*M] += gain[i] * v;
          }
      }
  }

  // The same loop with the bit-manipulation instructions of x86 (a mask's
  // population count and lowest set bit are most of its work).
#if defined (QUORVEL_X86)
  __attribute__ ((target ("popcnt,bmi,bmi2,lzcnt")))
#endif
  void
  leafAllQueriesBmi (const Leaf& leaf, const Matrix& V, int64_t nX,
                     int64_t nq, int64_t M, int64_t K, LeafTables& lt,
                     WeightTable& wt, MaskMemo& memo, double *phi)
  {
    leafAllQueries (leaf, V, nX, nq, M, K, lt, wt, memo, phi);
  }

  void
  leafAllQueriesGeneric (const Leaf& leaf, const Matrix& V, int64_t nX,
                         int64_t nq, int64_t M, int64_t K, LeafTables& lt,
                         WeightTable& wt, MaskMemo& memo, double *phi)
  {
    leafAllQueries (leaf, V, nX, nq, M, K, lt, wt, memo, phi);
  }

  // Leaf by leaf, then query by query.  Each element of phi receives its
  // additions in the plain order (leaves in order for every query point),
  // so accumulating into phi directly and scaling at the end gives the
  // plain bits; what is shared between query points is only what does not
  // depend on them, or depends on them only through their pass mask.
  void
  shapleyFast (const std::vector<Tree>& trees, const Matrix& X,
               const Matrix& Q, int64_t M, int64_t K, double *phi)
  {
    const int64_t nX = X.rows ();
    const int64_t nq = Q.rows ();
    const std::vector<double> lf = logFactorials (M);
    const double scale = 1.0 / static_cast<double> (nX);
#if defined (QUORVEL_X86)
    __builtin_cpu_init ();
    const bool bmi = QUORVEL_MAX_ISA >= 256 && __builtin_cpu_supports ("popcnt")
                     && __builtin_cpu_supports ("bmi")
                     && __builtin_cpu_supports ("bmi2")
                     && __builtin_cpu_supports ("lzcnt");
#else
    const bool bmi = false;
#endif

    int64_t dmax = 0;
    for (const Tree& tree : trees)
      for (const Leaf& leaf : tree.leaves)
        dmax = std::max (dmax, static_cast<int64_t> (leaf.vars.size ()));
    const int64_t dcap = std::max<int64_t> (1, std::min (dmax, maxMaskGroups));
    WeightTable wt (lf, M, dcap);
    MaskMemo memo (nq, dcap);

    LeafTables lt;
    lt.admitted.resize ((nX + 63) / 64);
    lt.hist.resize (maxMaskGroups + 1);
    LeafScratch scratch;
    RowVector qrow (M);

    for (const Tree& tree : trees)
      for (const Leaf& leaf : tree.leaves)
        {
          const int64_t d = leaf.vars.size ();
          if (d == 0)
            continue;
          bool answers = false;
          for (int64_t k = 0; k < K; k++)
            answers |= (tree.leafValues(leaf.node, k) != 0.0);
          if (! answers)
            continue;
          if (d > maxMaskGroups)
            {
              for (int64_t q = 0; q < nq; q++)
                {
                  for (int64_t j = 0; j < M; j++)
                    qrow(j) = Q(q, j);
                  leafPlain (leaf, tree.leafValues, X, qrow.data (), lf, M, K,
                             scratch, phi + q*M*K);
                }
              continue;
            }
          buildLeafTables (leaf, X, Q, lt);
          if (bmi)
            leafAllQueriesBmi (leaf, tree.leafValues, nX, nq, M, K, lt, wt,
                               memo, phi);
          else
            leafAllQueriesGeneric (leaf, tree.leafValues, nX, nq, M, K, lt,
                                   wt, memo, phi);
        }

    for (int64_t e = 0; e < M*K*nq; e++)
      phi[e] = phi[e] * scale;
  }

#endif
}

DEFUN_DLD (__forestshare__, args, ,
           QUORVEL_HELP ("@deftypefn {quorvel} {@var{phi} =} __forestshare__ (@var{trees}, @var{X}, @var{Q})\n",
"Internal function of the quorvel package, called by its front end to\n\
explain the answers of a tree ensemble; it is not meant to be called\n\
directly.\n\
\n\
It gives the exact Shapley values of the answers of an ensemble of\n\
decision trees, taken leaf by leaf.  The ensemble answers with the sum of\n\
its trees' answers; a coalition of predictors is valued by the ensemble's\n\
answer averaged over the rows of @var{X}, with the query's values on the\n\
coalition and the row's values elsewhere.\n\
\n\
@var{trees} is a cell array of structures, one per tree of N nodes, node 1\n\
the root.  \"Children\" is N by 2: the left and right child of each node,\n\
0 where there is none.  \"CutVar\" gives the predictor each node cuts on,\n\
0 at a leaf, and \"CutPoint\" its threshold: values below it go left, the\n\
others right.  \"CatLeft\" and \"CatRight\", optional, are cell arrays with\n\
one entry per node: the levels of a categorical predictor that the node\n\
sends left or right, empty where that side is a threshold side.  \"Leaf\"\n\
is N by K: what the tree answers at each node, one column per class or\n\
one column for a response, any tree weight already applied.\n\
\n\
@var{X} holds the background observations averaged over and @var{Q} the\n\
query points, one per row, both with one column per predictor (M).\n\
\n\
@var{phi} is M by K by the number of query points: one row per\n\
predictor, one column per column of \"Leaf\", one page per query point.\n\
The values of a query point sum to the deviation of its prediction from\n\
the average prediction over @var{X}."))
{
  if (args.length () != 3)
    print_usage ();

  if (! args(0).iscell ())
    quorvel::fail ("__forestshare__: TREES must be a cell array of structures.");
  if (! quorvel::is_real_matrix (args(1)))
    quorvel::fail ("__forestshare__: X must be a real numeric matrix.");
  if (! quorvel::is_real_matrix (args(2)))
    quorvel::fail ("__forestshare__: Q must be a real numeric matrix.");
  const Cell cell = args(0).cell_value ();
  const Matrix X = args(1).matrix_value ();
  const Matrix Q = args(2).matrix_value ();
  if (X.cols () != Q.cols ())
    quorvel::fail ("__forestshare__: X and Q must have the same number of columns.");
  const int64_t ntrees = cell.numel ();
  if (ntrees == 0)
    quorvel::fail ("__forestshare__: TREES must hold at least one tree.");

  const int64_t M = X.cols ();
  int64_t K = -1;
  std::vector<Tree> trees (ntrees);
  for (int64_t t = 0; t < ntrees; t++)
    forestshare::decodeTree (cell(t), t + 1, M, K, trees[t]);

  const int64_t nq = Q.rows ();
  NDArray phi (dim_vector (M, K, nq), 0.0);
#if defined (QUORVEL_PLAIN)
  shapleyPlain (trees, X, Q, M, K, phi.fortran_vec ());
#else
  shapleyFast (trees, X, Q, M, K, phi.fortran_vec ());
#endif
  return ovl (quorvel::wrap (phi));
}

/*
%!function T = fs_tree (children, cutvar, cutpoint, leaf)
%!  T = struct ("Children", children, "CutVar", cutvar, "CutPoint", cutpoint,
%!              "Leaf", leaf);
%!endfunction

%!function T = fs_stump (j, cut, lo, hi)
%!  ## One cut on predictor J: below CUT answers LO, else HI.
%!  T = fs_tree ([2 3; 0 0; 0 0], [j; 0; 0], [cut; 0; 0], [0; lo; hi]);
%!endfunction

%!function T = fs_randtree (M, depth, K, cats)
%!  ## Random tree; predictors with CATS true cut by level lists of 1..4,
%!  ## some sides left as threshold sides, some levels in neither list.
%!  ch = zeros (1, 2); cv = 0; cp = 0; dep = 0; cl = {[]}; cr = {[]};
%!  n = 1; i = 1;
%!  while (i <= n)
%!    if (dep(i) < depth && rand () < 0.85)
%!      j = randi (M);
%!      cv(i) = j + 0.25 * (rand () < 0.3);
%!      cp(i) = round (4 * randn ()) / 2;
%!      if (cats(j))
%!        p = randperm (4);
%!        s = randi (3);
%!        cl{i} = p(1:s);
%!        cr{i} = p(s+1:end - (rand () < 0.3));
%!        if (rand () < 0.2)
%!          cr{i} = [];
%!          cp(i) = 2.5;
%!        endif
%!      endif
%!      ch(i,:) = [n+1, n+2];
%!      ch(n+1:n+2,:) = 0; cv(n+1:n+2) = 0; cp(n+1:n+2) = 0;
%!      dep(n+1:n+2) = dep(i) + 1; cl(n+1:n+2) = {[]}; cr(n+1:n+2) = {[]};
%!      n += 2;
%!    endif
%!    i += 1;
%!  endwhile
%!  leaf = round (4 * randn (n, K)) / 4;
%!  T = fs_tree (ch, cv(:), cp(:), leaf);
%!  if (any (cats))
%!    T.CatLeft = cl(:);
%!    T.CatRight = cr(:);
%!  endif
%!endfunction

%!function D = fs_data (n, cats)
%!  D = round (4 * randn (n, numel (cats))) / 2;
%!  for j = find (cats)
%!    D(:,j) = randi (5, n, 1);
%!  endfor
%!endfunction

%!function F = fs_predict (trees, P)
%!  ## Sum over trees of the answers of every leaf whose path P passes.
%!  F = zeros (rows (P), columns (trees{1}.Leaf));
%!  for t = 1:numel (trees)
%!    T = trees{t};
%!    iscat = isfield (T, "CatLeft") && ! isempty (T.CatLeft);
%!    stack = {1, true(rows (P), 1)};
%!    while (! isempty (stack))
%!      n = stack{end,1}; in = stack{end,2}; stack(end,:) = [];
%!      v = fix (T.CutVar(n));
%!      if (v == 0)
%!        F(in,:) += T.Leaf(n,:);
%!        continue;
%!      endif
%!      x = P(:,v);
%!      for side = 1:2
%!        c = fix (T.Children(n,side));
%!        if (! (c >= 1 && c <= rows (T.Children)))
%!          continue;
%!        endif
%!        lev = [];
%!        if (iscat)
%!          lev = ifelse_side (side, T.CatLeft{n}, T.CatRight{n});
%!        endif
%!        if (! isempty (lev))
%!          ok = ismember (x, lev(:));
%!        elseif (side == 1)
%!          ok = x < T.CutPoint(n);
%!        else
%!          ok = x >= T.CutPoint(n);
%!        endif
%!        stack(end+1,:) = {c, in & ok};
%!      endfor
%!    endwhile
%!  endfor
%!endfunction

%!function y = ifelse_side (side, a, b)
%!  if (side == 1)
%!    y = a;
%!  else
%!    y = b;
%!  endif
%!endfunction

%!function phi = fs_brute (trees, X, Q)
%!  ## Shapley values from the definition: every coalition, hybrid points,
%!  ## the ensemble's answer averaged over the rows of X.
%!  [nX, M] = size (X);
%!  K = columns (trees{1}.Leaf);
%!  S = logical (dec2bin (0:2^M-1, M) - "0");
%!  sz = sum (S, 2);
%!  w = factorial (sz) .* factorial (max (M - sz - 1, 0)) / factorial (M);
%!  phi = zeros (M, K, rows (Q));
%!  in = logical (kron (S, true (nX, 1)));
%!  for q = 1:rows (Q)
%!    P = repmat (X, 2^M, 1);
%!    Z = repmat (Q(q,:), rows (P), 1);
%!    P(in) = Z(in);
%!    v = squeeze (mean (reshape (fs_predict (trees, P), nX, 2^M, K), 1));
%!    v = reshape (v, 2^M, K);
%!    for j = 1:M
%!      without = find (! S(:,j));
%!      with = without + 2^(M-j);
%!      phi(j,:,q) = sum (w(without) .* (v(with,:) - v(without,:)), 1);
%!    endfor
%!  endfor
%!endfunction

%!function fs_close (phi, ref)
%!  assert (size (phi), size (ref));
%!  scale = max ([1; abs(ref(:))]);
%!  assert (isnan (phi), isnan (ref));
%!  ok = ! isnan (ref);
%!  assert (max ([0; abs(phi(ok)(:) - ref(ok)(:))]) <= 1e-12 * scale);
%!endfunction

%!test
%! ## Random ensembles: threshold and categorical cuts, repeated
%! ## predictors, NaN in X and Q, several answer columns, nX = 1.
%! rand ("seed", 7); randn ("seed", 7);
%! for rep = 1:40
%!   M = randi ([1 5]);
%!   K = randi (3);
%!   cats = rand (1, M) < 0.4;
%!   trees = cell (1, randi (4));
%!   for t = 1:numel (trees)
%!     trees{t} = fs_randtree (M, randi (4), K, cats);
%!   endfor
%!   nX = randi ([1 6]);
%!   if (rep <= 5)
%!     nX = 1;
%!   endif
%!   X = fs_data (nX, cats);
%!   Q = fs_data (randi (3), cats);
%!   if (mod (rep, 4) == 0)
%!     X(rand (size (X)) < 0.15) = NaN;
%!     Q(rand (size (Q)) < 0.15) = NaN;
%!   endif
%!   fs_close (__forestshare__ (trees, X, Q), fs_brute (trees, X, Q));
%! endfor

%!function L = fs_leaves (T, M)
%!  ## The leaves of T in walk order (right subtree first) with their path
%!  ## demands grouped by predictor: node, vars, and per group the rows
%!  ## [left, categorical, cut] of demands with their level lists.
%!  iscat = isfield (T, "CatLeft") && ! isempty (T.CatLeft);
%!  L = struct ("node", {}, "vars", {}, "groups", {});
%!  stack = {1, zeros(0, 4), {}};
%!  while (! isempty (stack))
%!    n = stack{end,1}; P = stack{end,2}; lev = stack{end,3};
%!    stack(end,:) = [];
%!    v = fix (T.CutVar(n));
%!    if (v == 0)
%!      [vars, ~, g] = unique (P(:,1)');
%!      groups = cell (1, numel (vars));
%!      for i = 1:numel (vars)
%!        groups{i} = {P(g == i, 2:4), lev(g == i)};
%!      endfor
%!      L(end+1) = struct ("node", n, "vars", vars, "groups", {groups});
%!      continue;
%!    endif
%!    for side = 1:2
%!      c = fix (T.Children(n,side));
%!      if (c >= 1 && c <= rows (T.Children))
%!        lv = [];
%!        if (iscat)
%!          lv = ifelse_side (side, T.CatLeft{n}, T.CatRight{n});
%!        endif
%!        stack(end+1,:) = {c, [P; v, side == 1, ! isempty(lv), T.CutPoint(n)], [lev, {lv(:)'}]};
%!      endif
%!    endfor
%!  endwhile
%!endfunction

%!function ok = fs_group (grp, x)
%!  ok = true;
%!  D = grp{1};
%!  for e = 1:rows (D)
%!    if (D(e,2))
%!      ok = any (x == grp{2}{e});
%!    elseif (D(e,1))
%!      ok = x < D(e,3);
%!    else
%!      ok = x >= D(e,3);
%!    endif
%!    if (! ok)
%!      return;
%!    endif
%!  endfor
%!endfunction

%!function w = fs_weight (lf, M, a, c, gain)
%!  f = M - a - c;
%!  w = 0;
%!  for k = 0:f
%!    if (gain)
%!      w += exp (lf(f+1) - lf(k+1) - lf(f-k+1) + lf(c+k) + lf(M-c-k+1) - lf(M+1));
%!    else
%!      w += exp (lf(f+1) - lf(k+1) - lf(f-k+1) + lf(c+k+1) + lf(M-c-k) - lf(M+1));
%!    endif
%!  endfor
%!endfunction

%!function phi = fs_leafwise (trees, X, Q)
%!  ## The leaf-by-leaf method, operation for operation in its stated order:
%!  ## its results must match the plug-in bit for bit.
%!  [nX, M] = size (X);
%!  K = columns (trees{1}.Leaf);
%!  lf = gammaln ((0:M+1) + 1);
%!  scale = 1 / nX;
%!  leaves = cellfun (@(T) fs_leaves (T, M), trees, "uniformoutput", false);
%!  phi = zeros (M, K, rows (Q));
%!  for q = 1:rows (Q)
%!    page = zeros (M, K);
%!    for t = 1:numel (trees)
%!      for lv = leaves{t}
%!        d = numel (lv.vars);
%!        if (d == 0)
%!          continue;
%!        endif
%!        qp = false (1, d);
%!        bp = false (nX, d);
%!        for i = 1:d
%!          qp(i) = fs_group (lv.groups{i}, Q(q, lv.vars(i)));
%!          for r = 1:nX
%!            bp(r,i) = fs_group (lv.groups{i}, X(r, lv.vars(i)));
%!          endfor
%!        endfor
%!        a = sum (! qp);
%!        adm = all (bp(:,! qp), 2);
%!        sf = sum (! bp(:,qp), 2);
%!        if (! any (adm))
%!          continue;
%!        endif
%!        cmax = max (sf(adm));
%!        for k = 1:K
%!          v = trees{t}.Leaf(lv.node, k);
%!          if (v == 0)
%!            continue;
%!          endif
%!          if (a >= 1)
%!            loss = 0;
%!            for c = 0:cmax
%!              loss += sum (adm & sf == c) * fs_weight (lf, M, a, c, false);
%!            endfor
%!            page(lv.vars(! qp), k) += (-loss) * v;
%!          endif
%!          for i = find (qp)
%!            s = 0;
%!            for r = find (adm & ! bp(:,i))'
%!              s += fs_weight (lf, M, a, sf(r), true);
%!            endfor
%!            page(lv.vars(i), k) += s * v;
%!          endfor
%!        endfor
%!      endfor
%!    endfor
%!    phi(:,:,q) = page * scale;
%!  endfor
%!endfunction

%!test
%! ## Bit for bit what the leaf-by-leaf method in its stated order gives.
%! rand ("seed", 3); randn ("seed", 3);
%! for rep = 1:10
%!   M = randi ([2 9]);
%!   cats = rand (1, M) < 0.3;
%!   trees = cell (1, randi (3));
%!   for t = 1:numel (trees)
%!     trees{t} = fs_randtree (M, randi ([2 6]), 2, cats);
%!   endfor
%!   X = fs_data (randi (40), cats);
%!   Q = fs_data (3, cats);
%!   X(rand (size (X)) < 0.05) = NaN;
%!   Q(rand (size (Q)) < 0.05) = NaN;
%!   phi = __forestshare__ (trees, X, Q);
%!   ref = fs_leafwise (trees, X, Q);
%!   assert (typecast (phi(:), "uint64"), typecast (ref(:), "uint64"));
%! endfor

%!shared S, X, Q
%! S = fs_stump (1, 0.5, 1, 0);
%! X = [0 0];
%! Q = [1 0];

## Worked examples: a single cut on predictor 1 at 0.5.
%!assert (__forestshare__ ({S}, [0 0], [1 0]), [-1; 0])
%!assert (__forestshare__ ({S}, [1 0], [0 0]), [1; 0])

## Argument count and the order of the checks.
%!error <Invalid call> __forestshare__ ()
%!error <Invalid call> __forestshare__ ({S}, X)
%!error <Invalid call> __forestshare__ ({S}, X, Q, 1)
%!error <TREES must be a cell array of structures\.> __forestshare__ (S, "x", {})
%!error <X must be a real numeric matrix\.> __forestshare__ ({}, true (1, 2), {})
%!error <X must be a real numeric matrix\.> __forestshare__ ({S}, "ab", Q)
%!error <X must be a real numeric matrix\.> __forestshare__ ({S}, [1i 0], Q)
%!error <X must be a real numeric matrix\.> __forestshare__ ({S}, zeros (0, 2), Q)
%!error <Q must be a real numeric matrix\.> __forestshare__ ({}, X, {1 2})
%!error <Q must be a real numeric matrix\.> __forestshare__ ({S}, X, zeros (1, 0))
%!error <X and Q must have the same number of columns\.> __forestshare__ ({}, X, [1 2 3])
%!error <TREES must hold at least one tree\.> __forestshare__ ({}, X, Q)
%!error <TREES must hold at least one tree\.> __forestshare__ (cell (0, 3), X, Q)
%!error <TREES must be a cell array of structures\.> __forestshare__ ({5}, X, Q)
%!error <TREES must be a cell array of structures\.> __forestshare__ ({S, 5}, X, Q)
%!error <tree 1 is not described consistently\.> __forestshare__ ({setfield(S, "CutVar", [1; 0]), 5}, X, Q)
%!error <tree 2 is not described consistently\.> __forestshare__ ({S, setfield(S, "CutVar", [1; 0])}, X, Q)
%!error <tree 2 is not described consistently\.> __forestshare__ ({S, setfield(S, "CutPoint", [1; 0; 0; 0])}, X, Q)
%!error <tree 1 is not described consistently\.> __forestshare__ ({setfield(S, "Leaf", [1; 0]), setfield(S, "Leaf", [0 0; 1 1; 1 1])}, X, Q)
%!error <every tree must answer with as many columns\.> __forestshare__ ({S, setfield(S, "Leaf", [0 0; 1 1; 1 1])}, X, Q)
%!error <tree 3 is not described consistently\.> __forestshare__ ({S, setfield(S, "Leaf", 1); S, S}, X, Q)
%!error <every tree must answer with as many columns\.>
%! ## An empty first tree still fixes the number of columns.
%! T0 = fs_tree (zeros (0, 2), [], [], zeros (0, 2));
%! __forestshare__ ({T0, S}, X, Q);
%!error <tree 1 is not described consistently\.> __forestshare__ ({fs_tree(zeros (0, 2), 0, [], zeros (0, 1))}, X, Q)
%!error <invalid conversion from string> __forestshare__ ({setfield(S, "CutVar", "abc")}, X, Q)
%!error <scalar struct> __forestshare__ ({[S, S]}, X, Q)
%!error __forestshare__ ({rmfield(S, "Leaf")}, X, Q)
%!error
%! ## A non-empty "CatLeft" makes "CatRight" required.
%! __forestshare__ ({setfield(S, "CatLeft", {[], [], []})}, X, Q);

## Descriptions the walk cannot follow safely are refused.
%!error <tree 2 is not described consistently\.>
%! ## One column of children at a cut node.
%! __forestshare__ ({S, fs_tree([2; 0; 0], [1; 0; 0], [0; 0; 0], [0; 1; 2])}, X, Q);
%!error <tree 1 is not described consistently\.> __forestshare__ ({setfield(S, "CutVar", [3; 0; 0])}, X, Q)
%!error <tree 1 is not described consistently\.> __forestshare__ ({setfield(S, "CutVar", [-1.5; 0; 0])}, X, Q)
%!error <tree 1 is not described consistently\.> __forestshare__ ({setfield(S, "CutVar", [NaN; 0; 0])}, X, Q)
%!error <tree 1 is not described consistently\.> __forestshare__ ({setfield(S, "CutVar", [Inf; 0; 0])}, X, Q)
%!error <tree 1 is not described consistently\.>
%! ## A cut predictor out of range below the root.
%! __forestshare__ ({fs_tree([2 3; 4 5; 0 0; 0 0; 0 0], [1; 7; 0; 0; 0], zeros (5, 1), (1:5)')}, X, Q);
%!error <tree 1 is not described consistently\.>
%! __forestshare__ ({setfield(setfield(S, "CatLeft", {[1 2], []}), "CatRight", {[], [], []})}, X, Q);
%!error <tree 1 is not described consistently\.>
%! __forestshare__ ({setfield(setfield(S, "CatLeft", {[1 2], [], []}), "CatRight", {[]})}, X, Q);
%!error <tree 1 is not described consistently\.>
%! ## The right child leads back to the root.
%! __forestshare__ ({fs_tree([2 3; 0 0; 2 1], [1; 0; 2], [0; 0; 0], [0; 1; 2])}, X, Q);
%!error <tree 1 is not described consistently\.>
%! __forestshare__ ({fs_tree([1 2; 0 0], [1; 0], [0; 0], [0; 1])}, X, Q);
%!error <tree 1 is not described consistently\.>
%! ## Both children of every node are the same node, 60 levels deep:
%! ## 2^60 routes, refused at once.
%! ch = [(2:61)', (2:61)'; 0 0];
%! __forestshare__ ({fs_tree(ch, [ones(60, 1); 0], zeros (61, 1), ones (61, 1))}, X, Q);

%!test
%! ## Shared subtrees are walked once per route: the same values as the
%! ## tree with the subtree written out twice.
%! cv = [1; 2; 2; 0; 0];
%! dag = fs_tree ([2 3; 4 5; 4 5; 0 0; 0 0], cv, [0; 1; 1; 0; 0], [0; 0; 0; 3; 5]);
%! full = fs_tree ([2 3; 4 5; 6 7; 0 0; 0 0; 0 0; 0 0], [cv; 0; 0], [0; 1; 1; 0; 0; 0; 0], [0; 0; 0; 3; 5; 3; 5]);
%! Xb = [-1 0; 1 2; 0.5 1; -2 3];
%! Qb = [1 0; -1 1; 0 2];
%! assert (__forestshare__ ({dag}, Xb, Qb), __forestshare__ ({full}, Xb, Qb));
%! ## A cycle among nodes that node 1 does not reach is never looked at,
%! ## nor is a bad predictor or children row there.
%! odd = fs_tree ([2 3; 0 0; 0 0; 5 NaN; 4 4], [1; 0; 0; 99; NaN], [0.5; 0; 0; 0; 0], [0; 1; 0; 7; 7]);
%! assert (__forestshare__ ({odd}, [0 0], [1 0]), [-1; 0]);

%!test
%! ## Child entries that name no node are skipped: zero, negative, above N,
%! ## NaN, huge.  CutVar 2.9 names predictor 2; values in (-1, 1) are leaves.
%! T = fs_tree ([2 3; 0 0; 0 0], [2.9; 0.7; -0.7], [0.5; 0; 0], [0; 1; 2]);
%! assert (__forestshare__ ({T}, [0 0], [0 1]), [0; 1]);
%! for bad = [0, -1, 4, NaN, 1e300, -Inf]
%!   T.Children(1,2) = bad;
%!   ## The query takes the missing right side: F(q) = 0, mean F(X) = 1.
%!   assert (__forestshare__ ({T}, [0 0], [0 1]), [0; -1]);
%! endfor
%! T.Children(1,:) = [NaN 0];
%! assert (__forestshare__ ({T}, [0 0], [0 1]), [0; 0]);
%! ## A one-column Children is fine when the root is a leaf.
%! assert (__forestshare__ ({fs_tree(0, 0, 0, 5)}, [0 0], [0 1]), [0; 0]);

%!test
%! ## Shapes, zeros and trees that add nothing.
%! T0 = fs_tree (zeros (0, 2), [], [], zeros (0, 1));
%! root = fs_tree ([0 0], 0, 0, 7);
%! assert (__forestshare__ ({T0, root, root}, [1 2 3], [3 2 1; 0 0 0]), zeros (3, 1, 2));
%! assert (__forestshare__ ({T0, S}, [0 0], [1 0]), [-1; 0]);
%! Z = __forestshare__ ({setfield(S, "Leaf", zeros (3, 0))}, X, [Q; Q]);
%! assert (size (Z), [2 0 2]);
%! ## A column that answers 0 or -0 adds nothing to that column.
%! two = setfield (S, "Leaf", [0 0; 1 -0; 0 2]);
%! assert (__forestshare__ ({two}, [0 0; 1 0], [1 5]), [-0.5 1; 0 0]);
%! ## Integer and single arguments are read as double.
%! assert (__forestshare__ ({S}, int32 ([0 0]), single ([1 0])), [-1; 0]);
%! ## A predictor that no path cuts on gets exactly zero.
%! rand ("seed", 5); randn ("seed", 5);
%! trees = {fs_randtree(2, 5, 2, [false false]), fs_randtree(2, 5, 2, [false false])};
%! phi = __forestshare__ (trees, [fs_data(30, false (1, 2)), randn(30, 1)], fs_data (4, false (1, 3)));
%! assert (all (phi(3,:,:)(:) == 0));

%!test
%! ## Categorical sides: membership; a level in neither list, or NaN,
%! ## passes no side; an empty entry leaves a threshold side.
%! T = S;
%! T.CatLeft = {[1 3], [], []};
%! T.CatRight = {[2 4], [], []};
%! assert (__forestshare__ ({T}, [3 0], [2 0]), [-1; 0]);
%! assert (__forestshare__ ({T}, [5 0], [2 0]), [0; 0]);
%! assert (__forestshare__ ({T}, [NaN 0], [3 0]), [1; 0]);
%! assert (__forestshare__ ({T}, [3 0], [NaN 0]), [-1; 0]);
%! T.CatRight = {[], [], []};
%! assert (__forestshare__ ({T}, [1 0; 0.7 0], [0.6 0]), [-0.5; 0]);
%! ## "CatLeft" empty: threshold cuts only, "CatRight" never read.
%! T.CatLeft = {};
%! T.CatRight = "anything";
%! assert (__forestshare__ ({T}, [0 0], [1 0]), [-1; 0]);

%!test
%! ## Two cuts on one predictor form one group: values in [2, 5) pass.
%! T = fs_tree ([2 3; 4 5; 0 0; 0 0; 0 0], [1; 1; 0; 0; 0], [5; 2; 0; 0; 0], [0; 0; 0; 0; 1]);
%! assert (__forestshare__ ({T}, [1 0; 5 0; 3 0; NaN 0], [2 0]), [0.75; 0]);
%! ## NaN in leaf answers reaches the predictors of the leaf's path.
%! T.Leaf(5) = NaN;
%! assert (__forestshare__ ({T}, [1 0; 3 0], [2 0]), [NaN; 0]);

%!test
%! ## Efficiency on larger ensembles: the values of a query point add up to
%! ## its answer minus the mean answer over the background rows.
%! rand ("seed", 9); randn ("seed", 9);
%! M = 12;
%! cats = [true false(1, 11)];
%! trees = cell (1, 15);
%! for t = 1:numel (trees)
%!   trees{t} = fs_randtree (M, 9, 3, cats);
%! endfor
%! X = fs_data (200, cats);
%! Q = fs_data (20, cats);
%! X(rand (size (X)) < 0.02) = NaN;
%! Q(rand (size (Q)) < 0.05) = NaN;
%! phi = __forestshare__ (trees, X, Q);
%! dev = fs_predict (trees, Q) - mean (fs_predict (trees, X), 1);
%! assert (squeeze (sum (phi, 1))', dev, 1e-12 * max (abs (dev(:))));
%!test
%! ## A chain of 70 cuts on distinct predictors: leaves with more than 64
%! ## groups, bit for bit as well, and efficient.
%! randn ("seed", 4);
%! M = 70;
%! n = 2 * M + 1;
%! ch = zeros (n, 2);
%! ch(1:2:n-1,:) = [(2:2:n-1)', (3:2:n)'];
%! cv = zeros (n, 1);
%! cv(1:2:n-1) = 1:M;
%! T = fs_tree (ch, cv, zeros (n, 1), (1:n)');
%! X = randn (4, M) + 1;
%! Q = randn (1, M) + 1.5;
%! phi = __forestshare__ ({T}, X, Q);
%! ref = fs_leafwise ({T}, X, Q);
%! assert (typecast (phi(:), "uint64"), typecast (ref(:), "uint64"));
%! assert (sum (phi), fs_predict ({T}, Q) - mean (fs_predict ({T}, X)), 1e-9);
%! ## More distinct pass masks in one leaf than the memo holds (1024 at 64
%! ## groups): the overflow recomputes, bit for bit what one point alone
%! ## gets.  A NaN cut passes no value on either side.
%! Q = randn (1030, M);
%! phi = __forestshare__ ({T}, X, Q);
%! for q = [1 1024 1025 1030]
%!   one = __forestshare__ ({T}, X, Q(q,:));
%!   assert (typecast (phi(:,:,q)(:), "uint64"), typecast (one(:), "uint64"));
%! endfor
%! T.CutPoint(39) = NaN;
%! phi = __forestshare__ ({T}, X, Q(1:3,:));
%! ref = fs_leafwise ({T}, X, Q(1:3,:));
%! assert (typecast (phi(:), "uint64"), typecast (ref(:), "uint64"));
*/
