// The space-partitioning tree of __cellrepulse__ and the walk that sums the
// repulsive t-SNE term of one point over it.
//
// Every split cell is cut at its centre into 2^D children (D = 1, 2 or 3).
// Nodes live in one arena in depth-first preorder and refer to each other
// by position only, since appending a node may move the whole arena.  A
// node's children, and a leaf's points, are runs of two flat arrays.
#ifndef QUORVEL_BHTREE_H
#define QUORVEL_BHTREE_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace quorvel
{
  // Cells at depth 39 are still split, so leaves lie at depth 40 at most
  // and points that share every coordinate end there together.
  const int bht_max_split_depth = 39;

  // The widest branching: eight children in three dimensions.
  const int bht_max_children = 8;

  // The nchildren of a leaf whose points all share every coordinate.  Such
  // a group is one counted body to every walk, so a walk costs the same
  // whatever the group's size, instead of one term per member.
  const int64_t bht_coincident = -1;

  // What the walk reads of a cell, in one cache line.
  struct alignas (64) BHNode
  {
    double mass_center[3];  // mean of the cell's points
    double width;           // the cell's longest side
    int64_t count;          // points inside the cell
    int64_t first;          // leaf: first slot in order; inner: in children
    int64_t npoints;        // leaf: number of points; 0 on an inner node
    int64_t nchildren;      // inner: number of children; 0 on a leaf,
                            // bht_coincident on a leaf of coincident points
  };

  // The geometry of a cell, needed only while it is split.
  struct BHBox
  {
    double center[3];
    double half[3];
  };

  struct BHTree
  {
    int D = 0;
    std::vector<BHNode> nodes;       // the arena; the root at position 0
    std::vector<int64_t> children;   // children positions, one run per inner node
    std::vector<int64_t> order;      // row numbers, leaf after leaf in arena order
    std::vector<double> coords;      // their coordinates, point-major, D per point
    bool coincident = false;         // some leaf is a group of coincident points
  };

  // The embedding: N points of D coordinates, column-major, read only.
  struct Embedding
  {
    const double *y;
    int64_t N;
    int D;

    double
    at (int64_t p, int j) const
    {
      return y[p + j*N];
    }
  };

  // Child C of BOX: halved in every dimension, above the centre in the
  // dimensions whose bit is set in C.
  inline BHBox
  child_box (const BHBox& box, int D, int c)
  {
    BHBox child;
    for (int j = 0; j < D; j++)
      {
        child.half[j] = box.half[j] * 0.5;
        child.center[j] = ((c >> j) & 1) ? box.center[j] + child.half[j]
                                         : box.center[j] - child.half[j];
      }
    return child;
  }

  // Bit j is set when coordinate j lies strictly above the centre; a
  // coordinate on the centre, or NaN, goes below.
  inline int
  orthant (const double *x, const BHBox& box, int D)
  {
    int code = 0;
    for (int j = 0; j < D; j++)
      if (x[j] > box.center[j])
        code |= 1 << j;
    return code;
  }

  // True when the points in slots [a, b) of the point-major coordinates X
  // all equal the first in every coordinate (so no NaN).  Stops at the first
  // difference, so a cell of distinct points costs a few comparisons.
  inline bool
  all_coincide (const double *x, int64_t a, int64_t b, int D)
  {
    for (int64_t s = a + 1; s < b; s++)
      for (int j = 0; j < D; j++)
        if (! (x[s*D + j] == x[a*D + j]))
          return false;
    return true;
  }

  // The term of a group of COUNT points at X (D coordinates) for the point
  // at YI: the group is one body of that count.  The walk leaves the
  // served point out of its own group by counting one fewer; the pair of a
  // point with itself adds nothing then, since its distance is zero.
  inline void
  bht_group (const double *yi, const double *x, double count, int D,
             double *f, double& Z)
  {
    double dx[3];
    double d2 = 0;
    for (int j = 0; j < D; j++)
      {
        dx[j] = yi[j] - x[j];
        d2 += dx[j] * dx[j];
      }
    const double q = 1 / (d2 + 1);
    const double m = count * q;
    Z += m;
    for (int j = 0; j < D; j++)
      f[j] += dx[j] * (q * m);
  }

  // Working storage of one build, sized once.
  struct BHScratch
  {
    std::vector<int64_t> order;
    std::vector<double> coords;
    std::vector<unsigned char> code;
  };

  // Fills node K, whose cell is BOX and whose point list is slots [a, b)
  // of tree.order (row numbers in increasing order, their coordinates
  // alongside in tree.coords), and builds its subtree.  The list is split
  // by a stable counting pass, so every child's list stays increasing and,
  // once the build ends, the slots hold the leaves' points in arena order.
  // Recursion is at most 41 calls deep, whatever the data: NaN and
  // infinite coordinates only make chains of one-child cells, which the
  // depth limit ends.
  inline void
  bht_build (BHTree& tree, int64_t k, const BHBox& box, int64_t a, int64_t b,
             int depth, BHScratch& work)
  {
    const int D = tree.D;
    const int64_t n = b - a;
    BHNode node {};
    node.count = n;

    // The mean is a sum divided once, in list order.
    const double *x = tree.coords.data ();
    for (int64_t s = a; s < b; s++)
      for (int j = 0; j < D; j++)
        node.mass_center[j] += x[s*D + j];
    for (int j = 0; j < D; j++)
      node.mass_center[j] /= static_cast<double> (n);

    // A NaN half never raises the width, so the width is never NaN.
    node.width = 0;
    for (int j = 0; j < D; j++)
      {
        const double w = box.half[j] + box.half[j];
        if (w > node.width)
          node.width = w;
      }

    // Points that no split can separate stop here as one group, at any
    // depth; a cell holding anything else is treated as before, so a tree
    // with no coincident points is unchanged.
    const bool same = n > 1 && all_coincide (x, a, b, D);
    if (depth > bht_max_split_depth || n < 2 || same)
      {
        node.first = a;
        node.npoints = n;
        if (same)
          {
            node.nchildren = bht_coincident;
            tree.coincident = true;
          }
        tree.nodes[k] = node;
        return;
      }

    const int nb = 1 << D;
    int64_t fill[bht_max_children] = {0};
    for (int64_t s = a; s < b; s++)
      {
        const int c = orthant (x + s*D, box, D);
        work.code[s] = static_cast<unsigned char> (c);
        fill[c]++;
      }
    int64_t start[bht_max_children + 1];
    start[0] = a;
    int used = 0;
    for (int c = 0; c < nb; c++)
      {
        start[c+1] = start[c] + fill[c];
        used += fill[c] > 0;
      }
    int64_t next[bht_max_children];
    for (int c = 0; c < nb; c++)
      next[c] = start[c];
    for (int64_t s = a; s < b; s++)
      {
        const int64_t t = next[work.code[s]]++;
        work.order[t] = tree.order[s];
        for (int j = 0; j < D; j++)
          work.coords[t*D + j] = x[s*D + j];
      }
    std::copy (work.order.begin () + a, work.order.begin () + b,
               tree.order.begin () + a);
    std::copy (work.coords.begin () + a*D, work.coords.begin () + b*D,
               tree.coords.begin () + a*D);

    // Empty children are never made.  The run of children positions is
    // reserved now and filled as each child is appended; the subtree of
    // one child is complete before the next child is appended.
    node.first = static_cast<int64_t> (tree.children.size ());
    node.nchildren = used;
    tree.nodes[k] = node;
    tree.children.resize (node.first + used);
    int slot = 0;
    for (int c = 0; c < nb; c++)
      {
        if (start[c+1] == start[c])
          continue;
        const int64_t pos = static_cast<int64_t> (tree.nodes.size ());
        tree.nodes.push_back (BHNode {});
        tree.children[node.first + slot++] = pos;
        bht_build (tree, pos, child_box (box, D, c), start[c], start[c+1],
                   depth + 1, work);
      }
  }

  // The root cell is the bounding box, widened by 1e-5 in every dimension
  // so that it is never flat.  A NaN never replaces lo or hi.
  inline BHTree
  bht_tree (const Embedding& Y)
  {
    BHBox root;
    for (int j = 0; j < Y.D; j++)
      {
        double lo = Y.at (0, j);
        double hi = lo;
        for (int64_t p = 1; p < Y.N; p++)
          {
            const double v = Y.at (p, j);
            if (lo > v)
              lo = v;
            if (v > hi)
              hi = v;
          }
        root.center[j] = (lo + hi) * 0.5;
        root.half[j] = (hi - lo) * 0.5 + 1e-5;
      }

    BHTree tree;
    tree.D = Y.D;
    tree.nodes.reserve (2 * Y.N);
    tree.children.reserve (2 * Y.N);
    tree.nodes.push_back (BHNode {});
    tree.order.resize (Y.N);
    tree.coords.resize (Y.N * Y.D);
    for (int64_t p = 0; p < Y.N; p++)
      {
        tree.order[p] = p;
        for (int j = 0; j < Y.D; j++)
          tree.coords[p*Y.D + j] = Y.at (p, j);
      }
    BHScratch work {std::vector<int64_t> (Y.N),
                    std::vector<double> (Y.N * Y.D),
                    std::vector<unsigned char> (Y.N)};
    bht_build (tree, 0, root, 0, Y.N, 0, work);
    return tree;
  }

  // The plain walk: adds to F and Z the contributions of the subtree at
  // node K to the force on point I.  Within a leaf, points in increasing
  // row order, the point served left out; an inner cell is used whole when
  // its width is below theta times the distance to its mass centre, and
  // opened otherwise (a NaN on either side opens it).
  inline void
  bht_forces (const BHTree& tree, int64_t k, const Embedding& Y, int64_t i,
              double theta, double *f, double& Z)
  {
    const BHNode& node = tree.nodes[k];
    const int D = Y.D;
    if (node.count == 0)
      return;
    if (node.nchildren == bht_coincident)
      {
        // The served point belongs to the group exactly when it equals the
        // group's point: equal points always share a cell.
        const double *x = &tree.coords[node.first * D];
        double yi[3];
        bool inside = true;
        for (int j = 0; j < D; j++)
          {
            yi[j] = Y.at (i, j);
            inside = inside && yi[j] == x[j];
          }
        bht_group (yi, x, static_cast<double> (node.count - inside), D, f, Z);
        return;
      }
    if (node.npoints > 0)
      {
        for (int64_t s = node.first; s < node.first + node.npoints; s++)
          {
            const int64_t p = tree.order[s];
            if (p == i)
              continue;
            double d2 = 0;
            for (int j = 0; j < D; j++)
              {
                const double d = Y.at (i, j) - Y.at (p, j);
                d2 += d * d;
              }
            const double q = 1 / (d2 + 1);
            Z += q;
            for (int j = 0; j < D; j++)
              f[j] += (Y.at (i, j) - Y.at (p, j)) * (q * q);
          }
        return;
      }
    double d2 = 0;
    for (int j = 0; j < D; j++)
      {
        const double d = Y.at (i, j) - node.mass_center[j];
        d2 += d * d;
      }
    if (std::sqrt (d2) * theta > node.width)
      {
        const double q = 1 / (d2 + 1);
        const double m = static_cast<double> (node.count) * q;
        Z += m;
        for (int j = 0; j < D; j++)
          f[j] += (Y.at (i, j) - node.mass_center[j]) * (q * m);
        return;
      }
    for (int64_t c = node.first; c < node.first + node.nchildren; c++)
      bht_forces (tree, tree.children[c], Y, i, theta, f, Z);
  }
}

#endif
