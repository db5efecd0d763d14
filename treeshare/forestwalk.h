// Decoded trees of __forestshare__: the records every part of the kernel
// shares, the demand test that routes a value at a cut, and the decoding of
// one tree description into its list of leaves.
#ifndef QUORVEL_FORESTWALK_H
#define QUORVEL_FORESTWALK_H

#include <octave/oct.h>
#include <octave/Cell.h>
#include <octave/oct-map.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "../binding/quorvel.h"

namespace forestshare
{
  // The condition one cut of a path places on its predictor.
  struct Demand
  {
    int64_t var;
    bool left;
    bool categorical;
    double cut;
    std::vector<double> levels;
  };

  // One leaf and its path conditions, grouped by predictor in ascending
  // order; a group keeps its demands in root-to-leaf order.
  struct Leaf
  {
    int64_t node;
    std::vector<int64_t> vars;
    std::vector<std::vector<Demand>> groups;
  };

  struct Tree
  {
    Matrix children;
    ColumnVector cutVar;
    ColumnVector cutPoint;
    Cell catLeft;
    Cell catRight;
    Matrix leafValues;
    bool categoricalCuts = false;
    std::vector<Leaf> leaves;
  };

  // Comparisons are IEEE ones on purpose: a NaN value, or a NaN cut,
  // passes nothing.
  inline bool
  passes (const Demand& dm, double v)
  {
    if (dm.categorical)
      {
        for (double level : dm.levels)
          if (v == level)
            return true;
        return false;
      }
    return dm.left ? v < dm.cut : v >= dm.cut;
  }

  inline bool
  passesGroup (const std::vector<Demand>& group, double v)
  {
    for (const Demand& dm : group)
      if (! passes (dm, v))
        return false;
    return true;
  }

  // Largest number of demand records the walk of one tree may copy onto
  // its path stack (each copy is a whole path).  A proper tree stays far
  // below it; a description whose shared subtrees multiply the routes
  // beyond it would exhaust memory, so it is refused before the walk.
  constexpr double maxPathRecords = 67108864.0;     // 2^26

  [[noreturn]] inline void
  inconsistent (int64_t t)
  {
    const std::string msg = "__forestshare__: tree " + std::to_string (t)
                            + " is not described consistently.";
    quorvel::fail (msg.c_str ());
  }

  inline bool
  hasNoEmptyDim (const octave_value& v)
  {
    const dim_vector dv = v.dims ();
    for (int k = 0; k < dv.ndims (); k++)
      if (dv(k) == 0)
        return false;
    return true;
  }

  // Zero-based child on SIDE (0 left, 1 right) of node N, or -1 when the
  // entry names no node: zero, negative, above the node count or NaN.
  inline int64_t
  childOf (const Tree& tree, int64_t n, int side)
  {
    const double c = std::trunc (tree.children(n, side));
    const double nodes = static_cast<double> (tree.children.rows ());
    if (! (c >= 1 && c <= nodes))
      return -1;
    return static_cast<int64_t> (c) - 1;
  }

  // Checks what the walk relies on, over the nodes reachable from node 1,
  // without walking every route: a cut node names a predictor 1..M and has
  // two columns of children, no route comes back to a node on it, and the
  // routes do not multiply past maxPathRecords.  The depth-first search
  // visits each node once; for a node n, routes(n) counts the entries the
  // walk pushes below n and records(n) the demand records those entries
  // copy when n is reached with an empty path (with a path of length L,
  // routes(n)*L more).
  inline void
  checkStructure (const Tree& tree, int64_t t, int64_t M)
  {
    const int64_t N = tree.children.rows ();
    enum : char { unseen, onRoute, done };
    std::vector<char> state (N, unseen);
    std::vector<double> routes (N, 0.0);
    std::vector<double> records (N, 0.0);
    struct Frame { int64_t node; int side; };
    std::vector<Frame> stack;

    const double predictors = static_cast<double> (M);
    state[0] = onRoute;
    stack.push_back (Frame {0, 0});
    while (! stack.empty ())
      {
        Frame& f = stack.back ();
        const int64_t n = f.node;
        if (f.side == 0)
          {
            const double v = std::trunc (tree.cutVar(n));
            if (v == 0)
              {
                state[n] = done;
                stack.pop_back ();
                continue;
              }
            if (! (v >= 1 && v <= predictors) || tree.children.cols () < 2)
              inconsistent (t);
          }
        if (f.side < 2)
          {
            const int64_t child = childOf (tree, n, f.side++);
            if (child < 0 || state[child] == done)
              continue;
            if (state[child] == onRoute)
              inconsistent (t);
            state[child] = onRoute;
            stack.push_back (Frame {child, 0});     // invalidates f
            continue;
          }
        double r = 0.0;
        double c = 0.0;
        for (int side = 0; side < 2; side++)
          {
            const int64_t child = childOf (tree, n, side);
            if (child < 0)
              continue;
            r += 1.0 + routes[child];
            c += 1.0 + routes[child] + records[child];
          }
        routes[n] = r;
        records[n] = c;
        state[n] = done;
        stack.pop_back ();
      }
    if (! (records[0] <= maxPathRecords))
      inconsistent (t);
  }

  inline Leaf
  makeLeaf (int64_t n, const std::vector<Demand>& path)
  {
    Leaf leaf;
    leaf.node = n;
    for (const Demand& dm : path)
      {
        const auto pos = std::lower_bound (leaf.vars.begin (), leaf.vars.end (), dm.var);
        const std::size_t i = pos - leaf.vars.begin ();
        if (pos == leaf.vars.end () || *pos != dm.var)
          {
            leaf.vars.insert (pos, dm.var);
            leaf.groups.insert (leaf.groups.begin () + i, std::vector<Demand> ());
          }
        leaf.groups[i].push_back (dm);
      }
    return leaf;
  }

  // Lists the leaves depth-first, right subtree before left: the left
  // side is pushed first, so the right one comes off the stack first.
  inline void
  collectLeaves (Tree& tree)
  {
    std::vector<int64_t> nodeStack (1, 0);
    std::vector<std::vector<Demand>> pathStack (1);
    while (! nodeStack.empty ())
      {
        const int64_t n = nodeStack.back ();
        nodeStack.pop_back ();
        const std::vector<Demand> path = std::move (pathStack.back ());
        pathStack.pop_back ();

        const double v = std::trunc (tree.cutVar(n));
        if (v == 0)
          {
            tree.leaves.push_back (makeLeaf (n, path));
            continue;
          }
        for (int side = 0; side < 2; side++)
          {
            const int64_t child = childOf (tree, n, side);
            if (child < 0)
              continue;
            Demand dm {static_cast<int64_t> (v) - 1, side == 0, false,
                       tree.cutPoint(n), std::vector<double> ()};
            if (tree.categoricalCuts)
              {
                const octave_value entry = (side == 0 ? tree.catLeft : tree.catRight)(n);
                if (hasNoEmptyDim (entry))
                  {
                    const NDArray lv = entry.array_value ();
                    dm.categorical = true;
                    dm.levels.assign (lv.data (), lv.data () + lv.numel ());
                  }
              }
            pathStack.push_back (path);
            pathStack.back ().push_back (std::move (dm));
            nodeStack.push_back (child);
          }
      }
  }

  // Reads element T (one-based) of TREES into TREE; K is the number of
  // answer columns fixed by the first tree (-1 before it).
  inline void
  decodeTree (const octave_value& elem, int64_t t, int64_t M, int64_t& K,
              Tree& tree)
  {
    if (! elem.isstruct ())
      quorvel::fail ("__forestshare__: TREES must be a cell array of structures.");
    const octave_scalar_map s = elem.scalar_map_value ();
    tree.children = s.contents ("Children").matrix_value ();
    tree.cutVar = s.contents ("CutVar").column_vector_value ();
    tree.cutPoint = s.contents ("CutPoint").column_vector_value ();
    tree.leafValues = s.contents ("Leaf").matrix_value ();
    tree.categoricalCuts = s.isfield ("CatLeft")
                           && hasNoEmptyDim (s.contents ("CatLeft"));
    if (tree.categoricalCuts)
      {
        tree.catLeft = s.contents ("CatLeft").cell_value ();
        tree.catRight = s.contents ("CatRight").cell_value ();
      }

    const int64_t N = tree.children.rows ();
    if (tree.cutVar.numel () != N || tree.cutPoint.numel () != N
        || tree.leafValues.rows () != N)
      inconsistent (t);
    if (K < 0)
      K = tree.leafValues.cols ();
    else if (tree.leafValues.cols () != K)
      quorvel::fail ("__forestshare__: every tree must answer with as many columns.");
    if (N == 0)
      return;
    // The walk reads entry n of both level lists for every cut node n.
    if (tree.categoricalCuts
        && (tree.catLeft.numel () < N || tree.catRight.numel () < N))
      inconsistent (t);
    checkStructure (tree, t, M);
    collectLeaves (tree);
  }
}

#endif
