## Times treeshap on an XGBoost model saved in JSON: 100 trees of depth 6
## on 10 predictors, 100 background rows and 1000 query points, the time
## including reading and converting the JSON file.  The baseline is the
## brute-force Shapley computation: the ensemble evaluated on the hybrid
## points of all 2^10 coalitions and all background rows, then the Shapley
## sum over coalitions; it is timed on the first 2 query points and scaled
## to 1000.
1;

## A gbtree model of NT full trees of depth DEPTH on P features, written as
## XGBoost's save_model writes it (every per-node array, the parameters as
## strings), leaf values scaled as a learning rate would.
function write_model (file, nt, depth, p)
  n = 2^(depth + 1) - 1;
  inner = 2^depth - 1;
  left = [2 * (1:inner) - 1, -ones(1, n - inner)];
  right = [2 * (1:inner), -ones(1, n - inner)];
  trees = cell (1, nt);
  for t = 1:nt
    si = [randi(p, 1, inner) - 1, zeros(1, n - inner)];
    sc = double (single ([randn(1, inner), 0.1 * randn(1, n - inner)]));
    trees{t} = struct ("base_weights", sc, "categories", zeros (1, 0),
                       "categories_nodes", zeros (1, 0),
                       "categories_segments", zeros (1, 0),
                       "categories_sizes", zeros (1, 0),
                       "default_left", zeros (1, n), "id", t - 1,
                       "left_children", left, "loss_changes", zeros (1, n),
                       "parents", [2147483647, floor(((1:n-1) - 1) / 2)],
                       "right_children", right, "split_conditions", sc,
                       "split_indices", si, "split_type", zeros (1, n),
                       "sum_hessian", ones (1, n),
                       "tree_param", struct ("num_deleted", "0",
                                             "num_feature", num2str (p),
                                             "num_nodes", num2str (n),
                                             "size_leaf_vector", "0"));
  endfor
  gp = struct ("num_parallel_tree", "1", "num_trees", num2str (nt),
               "size_leaf_vector", "0");
  model = struct ("gbtree_model_param", gp, "tree_info", zeros (1, nt));
  model.trees = trees;
  lmp = struct ("base_score", "5E-1", "boost_from_average", "1",
                "num_class", "0", "num_feature", num2str (p), "num_target", "1");
  learner = struct ("attributes", struct (), "feature_names", {{}},
                    "feature_types", {{}},
                    "gradient_booster", struct ("model", model, "name", "gbtree"),
                    "learner_model_param", lmp,
                    "objective", struct ("name", "reg:squarederror",
                                         "reg_loss_param", struct ("scale_pos_weight", "1")));
  fid = fopen (file, "w");
  fputs (fid, jsonencode (struct ("learner", learner, "version", [1 7 4])));
  fclose (fid);
endfunction

## Ensemble answers for the rows of P, trees in the package's form.
function f = answers (trees, P)
  f = zeros (rows (P), 1);
  n = rows (P);
  for t = 1:numel (trees)
    T = trees{t};
    node = ones (n, 1);
    while (true)
      cv = T.CutVar(node);
      at = cv != 0;
      if (! any (at))
        break;
      endif
      nd = node(at);
      v = P(find (at) + (cv(at) - 1) * n);
      node(at) = T.Children(nd + rows (T.Children) * (v >= T.CutPoint(nd)));
    endwhile
    f += T.Leaf(node);
  endfor
endfunction

## Shapley values of query Z by the definition: every coalition's value is
## the mean answer over the hybrid points, then the weighted sum.
function phi = brute_force (trees, Xb, z)
  [nb, p] = size (Xb);
  nc = 2^p;
  masks = logical (mod (floor ((0:nc-1).' ./ 2.^(0:p-1)), 2));
  H = repmat (Xb, nc, 1);
  M = repelem (masks, nb, 1);
  Z = repmat (z, nc * nb, 1);
  H(M) = Z(M);
  v = mean (reshape (answers (trees, H), nb, nc), 1).';
  s = sum (masks, 2);
  w = factorial (0:p-1) .* factorial (p-1:-1:0) / factorial (p);
  phi = zeros (1, p);
  for j = 1:p
    without = find (! masks(:,j));
    phi(j) = sum (w(s(without) + 1).' .* (v(without + 2^(j-1)) - v(without)));
  endfor
endfunction

rand ("seed", 16);
randn ("seed", 16);
p = 10;
file = [tempname() ".json"];
write_model (file, 100, 6, p);
Xb = double (single (randn (100, p)));
Q = double (single (randn (1000, p)));

unwind_protect
  [med, lo] = time_runs (@() treeshap (file, Xb, Q), 3);
  [phi, base, pred] = treeshap (file, Xb, Q);
  tin = time_runs (@() jsondecode (fileread (file)), 3);
  js = jsondecode (fileread (file));
unwind_protect_cleanup
  unlink (file);
end_unwind_protect

## The same trees in the package's form for the baseline.
trees = cell (1, 100);
for t = 1:100
  X = js.learner.gradient_booster.model.trees(t);
  leaf = X.left_children == -1;
  cv = (X.split_indices + 1) .* ! leaf;
  ch = [X.left_children, X.right_children] + 1;
  ch(leaf,:) = 0;
  trees{t} = struct ("Children", ch, "CutVar", cv,
                     "CutPoint", double (single (X.split_conditions)) .* ! leaf,
                     "Leaf", double (single (X.split_conditions)) .* leaf);
endfor
nsub = 2;
t0 = tic ();
bf = zeros (nsub, p);
for q = 1:nsub
  bf(q,:) = brute_force (trees, Xb, Q(q,:));
endfor
bfull = toc (t0) * rows (Q) / nsub;

printf ("%-34s %10.4f %10.4f %12.4f %8.1f\n", "treeshap json 100x6 M10 X100 Q1000",
        med, lo, bfull, bfull / med);
printf ("JSON read and decode alone: %.4f s; brute force: %.3f s per query (%d coalitions x %d rows)\n",
        tin, bfull / rows (Q), 2^p, rows (Xb));
printf ("largest difference from brute force on %d queries: %.2g; largest additivity residual %.2g\n",
        nsub, max (abs (phi(1:nsub,:) - bf)(:)), max (abs (sum (phi, 2) + base - pred)));
