## -*- texinfo -*-
## @deftypefn  {} {@var{phi} =} treeshap (@var{model}, @var{Xb}, @var{Q})
## @deftypefnx {} {[@var{phi}, @var{base}, @var{pred}] =} treeshap (@var{model}, @var{Xb}, @var{Q})
## @deftypefnx {} {[@dots{}] =} treeshap (@dots{}, "Verbose", @var{tf})
## Exact Shapley values that explain the answers of a tree ensemble.
##
## For every query point (row of @var{Q}) and every predictor (column),
## @var{phi} gives the predictor's exact interventional Shapley value: a
## coalition of predictors is valued by the ensemble's answer averaged over
## the background rows @var{Xb}, with the query's values on the coalition and
## the background row's values elsewhere.  Nothing is sampled or
## approximated; the values are computed leaf by leaf.
##
## @var{Xb} (nb-by-p) holds the background rows and @var{Q} (nq-by-p) the
## query points; both are real numeric matrices with one column per
## predictor.
##
## @var{phi} is nq-by-p for an ensemble with one output, and nq-by-p-by-nout
## for several (one page per class).  @var{base} (1-by-nout) is the mean
## answer over the background rows, and @var{pred} (nq-by-nout) the answer
## for each query point.  For every query point and output,
## @code{sum (@var{phi}, 2) + @var{base}} equals @var{pred} up to rounding.
## Equal arguments give bit-for-bit equal results.
##
## @var{model} is one of:
##
## @table @asis
## @item a cell array of tree structs
## One struct per tree; the ensemble answers with the plain sum of its trees'
## answers.  A tree of N nodes has these fields, node 1 being the root and
## node n being row (or entry) n of each field:
##
## @table @code
## @item Children
## N-by-2: the left and right child of each node; ignored at a leaf (write 0).
## @item CutVar
## N entries: the predictor (column of @var{Xb} and @var{Q}) that a node cuts
## on, 0 at a leaf.
## @item CutPoint
## N entries: the threshold of a cut node: values below it go left, the others
## right.  A point with NaN on the predictor goes neither way, so the tree
## answers nothing (0) for it.
## @item Leaf
## N-by-K: the tree's answer at each leaf, one column per output (ignored at
## cut nodes).  Every tree must have the same K.
## @item CatLeft, CatRight
## Optional cell arrays with one entry per node, for categorical cuts: the
## levels (numbers) a node sends left and right.  A node lists levels on both
## sides (a level found in neither list goes nowhere) or on neither (a
## threshold cut).
## @end table
##
## Every cut node has two children, each node is reached from the root along
## one route only, and the leaves' answers are finite.
##
## @item an XGBoost model saved with @code{save_model} in JSON
## The file name, or the struct that @code{jsondecode} makes of the file.
## The @code{gbtree} booster is supported with the objectives
## @code{reg:squarederror}, @code{binary:logistic}, @code{multi:softprob} and
## @code{multi:softmax}.  Everything is explained on the margin: for
## @code{binary:logistic} the log-odds, for the multi-class objectives one
## output per class before the softmax.  The model's @code{base_score} enters
## @var{base} and @var{pred} (for @code{binary:logistic} as its log-odds),
## never @var{phi}.  As in XGBoost, the data and the split conditions are
## compared in single precision, a point going left when
## @code{single (x) < split_condition}, and the trees of a forest
## (@code{num_parallel_tree} > 1) are summed.  XGBoost's default directions
## for missing values are not supported: a NaN in @var{Xb} or @var{Q} is
## refused.  Categorical splits and the @code{dart} and @code{gblinear}
## boosters are refused as well.  These values are not those of XGBoost's
## own @code{pred_contribs}, which weighs the coalitions by the training
## data's counts along the trees' paths instead of by background rows.
## @end table
##
## The work grows with the number of queries times the number of leaves times
## the number of background rows times the leaves' depth; a hundred background
## rows usually suffice.  The queries are explained in blocks, so Ctrl-C stops
## a long call between blocks; with @code{"Verbose", true} each block prints
## its progress.
##
## An ensemble of two trees on two predictors:
##
## @example
## @group
## t1.Children = [2 3; 0 0; 4 5; 0 0; 0 0];   # x1 < 0.5 ? 1 : (x2 < 2 ? 3 : 4)
## t1.CutVar   = [1; 0; 2; 0; 0];
## t1.CutPoint = [0.5; 0; 2; 0; 0];
## t1.Leaf     = [0; 1; 0; 3; 4];
## t2 = struct ("Children", [2 3; 0 0; 0 0], "CutVar", [2; 0; 0],
##              "CutPoint", [1; 0; 0], "Leaf", [0; -1; 1]);
## Xb = [0 0; 1 1; 1 3];
## [phi, base, pred] = treeshap (@{t1, t2@}, Xb, [1 3])
##   @result{} phi = 0.8333   1.1667
##   @result{} base = 3
##   @result{} pred = 5
## @end group
## @end example
##
## An XGBoost model:
##
## @example
## @group
## phi = treeshap ("iris_xgb.json", X, X(1:5,:));  # 5-by-4-by-3, one page per class
## @end group
## @end example
## @end deftypefn

function [phi, base, pred] = treeshap (model, Xb, Q, varargin)

  if (nargin < 3)
    print_usage ();
  endif
  verbose = parse_options (varargin);
  [Xb, Q] = check_data (Xb, Q);
  p = columns (Q);

  if (ischar (model) || (isstruct (model) && isfield (model, "learner")))
    [trees, offset] = import_xgboost (model, p);
    ## XGBoost routes in single precision and has default directions for
    ## missing values, which the trees here cannot express.
    refuse_nan (Xb, "Xb");
    refuse_nan (Q, "Q");
    Xb = double (single (Xb));
    Q = double (single (Q));
    K = numel (offset);
  elseif (iscell (model))
    if (isempty (model))
      error ("treeshap: MODEL must hold at least one tree.");
    endif
    [trees, K] = check_fields (model, p);
    offset = zeros (1, K);
  else
    error ("treeshap: MODEL must be a cell array of trees, an XGBoost JSON file name or the struct jsondecode makes of one.");
  endif

  if (isempty (trees))
    ## An XGBoost model trained for no rounds answers its base_score.
    phi = zeros (rows (Q), p, K);
    base = offset;
    pred = repmat (offset, rows (Q), 1);
    return;
  endif
  info = check_structure (trees);
  F = ensemble_answer (trees, info, [Q; Xb], K);
  pred = F(1:rows (Q),:) + offset;
  base = mean (F(rows (Q)+1:end,:), 1) + offset;
  phi = shapley_values (trees, info, Xb, Q, K, verbose);

endfunction

function verbose = parse_options (args)
  verbose = false;
  names = {"Verbose"};
  if (mod (numel (args), 2) != 0)
    error ("treeshap: options must come in name-value pairs.");
  endif
  for k = 1:2:numel (args)
    name = args{k};
    if (! ischar (name) || ! isrow (name))
      error ("treeshap: option names must be strings; valid names: %s.",
             strjoin (names, ", "));
    endif
    hit = find (strncmpi (name, names, numel (name)));
    if (numel (hit) != 1)
      error ("treeshap: unknown option \"%s\"; valid names: %s.", name,
             strjoin (names, ", "));
    endif
    val = args{k+1};
    if (! (isscalar (val) && (islogical (val) || isnumeric (val)) && isreal (val)))
      error ("treeshap: Verbose must be true or false.");
    endif
    verbose = logical (val);
  endfor
endfunction

function [Xb, Q] = check_data (Xb, Q)
  if (! real_array (Xb) || ndims (Xb) != 2 || isempty (Xb))
    error ("treeshap: Xb must be a non-empty real numeric matrix.");
  endif
  if (! real_array (Q) || ndims (Q) != 2)
    error ("treeshap: Q must be a real numeric matrix.");
  endif
  if (columns (Q) != columns (Xb))
    error ("treeshap: Xb and Q must have the same number of columns.");
  endif
  Xb = double (Xb);
  Q = double (Q);
endfunction

function tf = real_array (x)
  tf = (isnumeric (x) || islogical (x)) && isreal (x);
endfunction

function refuse_nan (X, name)
  [c, r] = find (isnan (X.'), 1);
  if (! isempty (r))
    error ("treeshap: %s(%d,%d) is NaN, and the default directions XGBoost gives missing values are not supported.",
           name, r, c);
  endif
endfunction

## Checks the fields of every tree of the package's own description against
## the data's P columns and returns them as double columns, so that every
## comparison made here is the kernel's.
function [trees, K] = check_fields (trees, p)
  K = 0;
  need = {"Children", "CutVar", "CutPoint", "Leaf"};
  for t = 1:numel (trees)
    T = trees{t};
    if (! isstruct (T) || ! isscalar (T))
      error ("treeshap: tree %d must be a scalar struct.", t);
    endif
    has = isfield (T, need);
    if (! all (has))
      error ("treeshap: tree %d lacks the field \"%s\".", t, need{find (! has, 1)});
    endif
    ch = T.Children;
    if (! real_array (ch) || ndims (ch) != 2 || columns (ch) != 2 || rows (ch) < 1)
      error ("treeshap: Children of tree %d must be an N-by-2 real matrix with N >= 1.", t);
    endif
    N = rows (ch);
    if (! real_array (T.CutVar) || numel (T.CutVar) != N)
      error ("treeshap: CutVar of tree %d must hold %d numbers, one per node.", t, N);
    endif
    if (! real_array (T.CutPoint) || numel (T.CutPoint) != N)
      error ("treeshap: CutPoint of tree %d must hold %d numbers, one per node.", t, N);
    endif
    lv = T.Leaf;
    if (! real_array (lv) || ndims (lv) != 2 || rows (lv) != N || columns (lv) < 1)
      error ("treeshap: Leaf of tree %d must be an N-by-K real matrix with N = %d and K >= 1.", t, N);
    endif
    if (K == 0)
      K = columns (lv);
    elseif (columns (lv) != K)
      error ("treeshap: tree %d answers with %d columns where the ensemble has %d.",
             t, columns (lv), K);
    endif
    cv = double (T.CutVar(:));
    if (any (cv != fix (cv)) || any (cv < 0))
      error ("treeshap: CutVar of tree %d must hold predictor numbers, 0 at a leaf.", t);
    endif
    if (any (cv > p))
      error ("treeshap: tree %d cuts on predictor %d but the data have %d columns.",
             t, max (cv), p);
    endif
    check_levels (T, t, N, find (cv));
    T.Children = double (ch);
    T.CutVar = cv;
    T.CutPoint = double (T.CutPoint(:));
    T.Leaf = double (lv);
    trees{t} = T;
  endfor
endfunction

## Categorical cuts: both sides list levels, and no level goes both ways.
function check_levels (T, t, N, cuts)
  if (! isfield (T, "CatLeft") || isempty (T.CatLeft))
    return;
  endif
  if (! isfield (T, "CatRight") || ! iscell (T.CatLeft) || ! iscell (T.CatRight)
      || numel (T.CatLeft) != N || numel (T.CatRight) != N)
    error ("treeshap: CatLeft and CatRight of tree %d must be cell arrays with %d entries, one per node.",
           t, N);
  endif
  for n = cuts(:).'
    L = T.CatLeft{n};
    R = T.CatRight{n};
    if (isempty (L) && isempty (R))
      continue;
    endif
    if (isempty (L) || isempty (R) || ! real_array (L) || ! real_array (R)
        || any (isnan (L(:))) || any (isnan (R(:))))
      error ("treeshap: node %d of tree %d must list numeric levels on both sides or on neither.",
             n, t);
    endif
    if (any (ismember (L(:), R(:))))
      error ("treeshap: node %d of tree %d sends a level both ways.", n, t);
    endif
  endfor
endfunction

## Walks all trees at once, a level at a time from the roots, over one
## stacked table of nodes.  A node met twice means a cycle or a shared
## subtree, which the answers could not follow.  Returns the table, each
## tree's depth, whether it has categorical cuts, and the work of one query
## (the sum of the leaves' depths).  The kernel copies every node's path
## while it lists the leaves, and refuses a tree whose copies would exceed
## 2^26 cuts: such a tree (thousands of levels deep) is refused here.
function info = check_structure (trees)
  nt = numel (trees);
  N = cellfun (@(T) rows (T.Children), trees(:));
  first = cumsum ([0; N(1:end-1)]);
  owner = repelem ((1:nt).', N)(:);
  col = @(name) cell2mat (cellfun (@(T) T.(name), trees(:), "uniformoutput", false));
  ch = col ("Children");
  cv = col ("CutVar");
  cp = col ("CutPoint");
  lv = col ("Leaf");

  seen = false (rows (ch), 1);
  level = first + 1;
  seen(level) = true;
  depth = zeros (nt, 1);
  work = zeros (nt, 1);
  copied = zeros (nt, 1);
  step = 0;
  while (true)
    atcut = cv(level) != 0;
    leaves = level(! atcut);
    bad = find (! all (isfinite (lv(leaves,:)), 2), 1);
    if (! isempty (bad))
      error ("treeshap: Leaf of tree %d must be finite at every leaf.", owner(leaves(bad)));
    endif
    work += accumarray (owner(leaves), step, [nt, 1]);
    level = level(atcut);
    if (isempty (level))
      break;
    endif
    t = owner(level);
    bad = find (isnan (cp(level)), 1);
    if (! isempty (bad))
      error ("treeshap: CutPoint of tree %d must not be NaN at a cut node.", t(bad));
    endif
    kids = ch(level,:);
    bad = find (any (kids != fix (kids) | kids < 1 | kids > N(t), 2), 1);
    if (! isempty (bad))
      error ("treeshap: Children of tree %d must name two nodes 1 to %d at every cut node.",
             t(bad), N(t(bad)));
    endif
    kids = (kids + first(t))(:);
    [s, i] = sort (kids);
    bad = [find(seen(kids), 1); i(find (diff (s) == 0, 1))];
    if (! isempty (bad))
      error ("treeshap: tree %d is not a tree: some node is reached twice (a cycle or a shared subtree).",
             owner(kids(bad(1))));
    endif
    seen(kids) = true;
    level = kids;
    step += 1;
    depth(t) = step;
    copied += accumarray ([t; t], step, [nt, 1]);
    bad = find (copied > 2^26, 1);
    if (! isempty (bad))
      error ("treeshap: tree %d is too deep to explain: its root-to-node paths hold more than 2^26 cuts.",
             bad);
    endif
  endwhile

  iscat = cellfun (@(T) isfield (T, "CatLeft") && ! isempty (T.CatLeft), trees);
  info = struct ("first", first, "ch", ch + first(owner), "cv", cv, "cp", cp,
                 "lv", lv, "depth", depth, "work", work, "anycat", iscat);
endfunction

## Answers of the ensemble for the rows of P (rows-by-K).  Without
## categorical cuts all trees are walked at once, a level at a time, over
## the stacked table whose leaves lead back to themselves.
function F = ensemble_answer (trees, info, P, K)
  if (! any (info.anycat))
    F = stacked_answer (info, P, K);
    return;
  endif
  n = rows (P);
  F = zeros (n, K);
  for t = 1:numel (trees)
    T = trees{t};
    cv = T.CutVar;
    live = (1:n).';
    node = ones (n, 1);
    for step = 0:info.depth(t)
      atleaf = cv(node) == 0;
      F(live(atleaf),:) += T.Leaf(node(atleaf),:);
      live = live(! atleaf);
      node = node(! atleaf);
      if (isempty (live))
        break;
      endif
      v = P(live + (cv(node) - 1) * n);
      cut = T.CutPoint(node);
      goleft = v < cut;
      goright = v >= cut;
      if (info.anycat(t))
        for c = unique (node).'
          if (! isempty (T.CatLeft{c}))
            at = node == c;
            goleft(at) = ismember (v(at), T.CatLeft{c});
            goright(at) = ismember (v(at), T.CatRight{c});
          endif
        endfor
      endif
      next = zeros (size (node));
      next(goleft) = T.Children(node(goleft), 1);
      next(goright) = T.Children(node(goright), 2);
      ## A value that goes neither way (NaN, or a level in neither list)
      ## reaches no leaf of this tree.
      keep = next != 0;
      live = live(keep);
      node = next(keep);
    endfor
  endfor
endfunction

function F = stacked_answer (info, P, K)
  ch = info.ch;
  cv = info.cv;
  leaf = cv == 0;
  self = find (leaf);
  ch(self,:) = [self, self];
  cv(leaf) = 1;
  nt = numel (info.first);
  n = rows (P);
  F = zeros (n, K);
  ## Rows in chunks, so the table of current nodes stays small.  Indexing
  ## a vector keeps the vector's orientation, so every lookup is reshaped
  ## to the table's m-by-nt (a single row included).
  chunk = max (1, floor (2e6 / nt));
  for s = 1:chunk:n
    r = (s:min (n, s + chunk - 1)).';
    m = numel (r);
    look = @(x, idx) reshape (x(idx), m, nt);
    node = repmat (info.first.' + 1, m, 1);
    lost = false (m, nt);
    for step = 1:max (info.depth)
      v = P(r + (look (cv, node) - 1) * n);
      ## NaN goes neither way: that tree answers nothing for the row.
      lost |= isnan (v) & ! look (leaf, node);
      node = look (ch, node + rows (ch) * (v >= look (info.cp, node)));
    endfor
    for k = 1:K
      a = look (info.lv(:,k), node);
      a(lost) = 0;
      F(r,k) = sum (a, 2);
    endfor
  endfor
endfunction

## The kernel's M-by-K-by-nq result, queries in blocks so that a long call
## can be interrupted between them; reshaped to nq-by-p-by-K.
function phi = shapley_values (trees, info, Xb, Q, K, verbose)
  [nq, p] = size (Q);
  phi = zeros (nq, p, K);
  if (nq == 0 || isempty (trees))
    return;
  endif
  perquery = max (1, sum (info.work) * rows (Xb));
  block = max (1, floor (5e9 / perquery));
  for s = 1:block:nq
    e = min (nq, s + block - 1);
    r = __forestshare__ (trees, Xb, Q(s:e,:));
    phi(s:e,:,:) = permute (reshape (r, p, K, e - s + 1), [3 1 2]);
    if (verbose)
      printf ("treeshap: %d of %d queries explained\n", e, nq);
      fflush (stdout);
    endif
  endfor
endfunction

## Converts an XGBoost model (file name or jsondecode struct) into the
## package's trees; OFFSET (1-by-nout) is base_score on the margin.
function [trees, offset] = import_xgboost (model, p)
  if (ischar (model))
    if (! isrow (model) || ! exist (model, "file"))
      error ("treeshap: cannot find the model file \"%s\".", model);
    endif
    try
      model = jsondecode (fileread (model));
    catch
      error ("treeshap: %s is not a JSON file; save the model with save_model under a .json name.",
             model);
    end_try_catch
    if (! isstruct (model) || ! isfield (model, "learner"))
      error ("treeshap: the JSON file is not an XGBoost model saved with save_model.");
    endif
  endif
  learner = xgb_field (model, "learner");
  gb = xgb_field (learner, "gradient_booster");
  booster = xgb_field (gb, "name");
  if (! strcmp (booster, "gbtree"))
    error ("treeshap: only XGBoost's gbtree booster is supported, not \"%s\".", booster);
  endif
  objective = xgb_field (xgb_field (learner, "objective"), "name");
  lmp = xgb_field (learner, "learner_model_param");
  nfeat = xgb_number (lmp, "num_feature");
  if (isfield (lmp, "num_target") && xgb_number (lmp, "num_target") != 1)
    error ("treeshap: XGBoost models with several targets are not supported.");
  endif
  switch (objective)
    case {"reg:squarederror", "binary:logistic"}
      nout = 1;
    case {"multi:softprob", "multi:softmax"}
      nout = xgb_number (lmp, "num_class");
    otherwise
      error ("treeshap: the XGBoost objective \"%s\" is not supported; use reg:squarederror, binary:logistic, multi:softprob or multi:softmax.",
             objective);
  endswitch
  if (nout < 1 || nout != fix (nout))
    error ("treeshap: the XGBoost model's num_class must be a positive integer.");
  endif
  if (nfeat != p)
    error ("treeshap: the XGBoost model has %d features but the data have %d columns.",
           nfeat, p);
  endif

  ## base_score is a float; a probability for binary:logistic, whose margin
  ## is its log-odds.  Newer versions write it as a bracketed list.
  bs = xgb_field (lmp, "base_score");
  if (ischar (bs))
    bs = str2double (strsplit (regexprep (bs, '[\[\]\s]', ''), ","));
  endif
  if (! isnumeric (bs) || ! any (numel (bs) == [1, nout]) || ! all (isfinite (bs)))
    error ("treeshap: the XGBoost model's base_score must be one number or one per class.");
  endif
  bs = double (single (bs(:).'));
  if (strcmp (objective, "binary:logistic"))
    if (! (bs > 0 && bs < 1))
      error ("treeshap: the base_score of a binary:logistic model must lie strictly between 0 and 1.");
    endif
    bs = log (bs / (1 - bs));
  endif
  offset = bs .* ones (1, nout);

  m = xgb_field (gb, "model");
  list = xgb_field (m, "trees");
  if (iscell (list))
    try
      list = [list{:}];
    catch
      list = 0;
    end_try_catch
  endif
  if (isempty (list))
    list = struct ([]);
  elseif (! isstruct (list))
    error ("treeshap: the XGBoost model's trees must be a list of tree objects with the same entries.");
  endif
  nt = numel (list);
  cls = xgb_field (m, "tree_info");
  if (! isnumeric (cls) || numel (cls) != nt || any (cls != fix (cls))
      || any (cls < 0 | cls >= nout))
    error ("treeshap: the XGBoost model's tree_info must give each of its %d trees an output 0 to %d.",
           nt, nout - 1);
  endif
  gp = xgb_field (m, "gbtree_model_param");
  if (xgb_number (gp, "num_trees") != nt)
    error ("treeshap: the XGBoost model announces %d trees but holds %d.",
           xgb_number (gp, "num_trees"), nt);
  endif
  npar = xgb_number (gp, "num_parallel_tree");
  if (npar < 1 || npar != fix (npar))
    error ("treeshap: the XGBoost model's num_parallel_tree must be a positive integer.");
  endif
  if (nt == 0)
    trees = {};
  else
    trees = xgb_trees (list(:), cls(:) + 1, nout, nfeat);
  endif
endfunction

## The XGBoost trees LIST (a struct array) as the package's trees, tree t
## answering in column CLS(t) of NOUT.  All trees are converted at once on
## their stacked node arrays.  Thresholds and leaf values are floats:
## rounded to single here, the kernel's double comparisons of single data
## reproduce XGBoost's.
function trees = xgb_trees (list, cls, nout, nfeat)
  names = {"left_children", "right_children", "split_indices", "split_conditions"};
  has = isfield (list, names);
  if (! all (has))
    error ("treeshap: the XGBoost model lacks the entry \"%s\".", names{find (! has, 1)});
  endif
  nt = numel (list);
  n = cellfun (@numel, {list.left_children}).';
  sizes = [n, cellfun(@numel, {list.right_children}).', ...
           cellfun(@numel, {list.split_indices}).', ...
           cellfun(@numel, {list.split_conditions}).'];
  numeric = cellfun (@isnumeric, [{list.left_children}; {list.right_children};
                                  {list.split_indices}; {list.split_conditions}]).';
  bad = find (n < 1 | any (sizes != n, 2) | ! all (numeric, 2), 1);
  if (! isempty (bad))
    error ("treeshap: tree %d of the XGBoost model must give every node its children, split_indices and split_conditions.",
           bad);
  endif
  bad = false (nt, 1);
  if (isfield (list, "split_type"))
    bad |= cellfun (@nnz, {list.split_type}).' != 0;
  endif
  if (isfield (list, "categories"))
    bad |= ! cellfun ("isempty", {list.categories}).';
  endif
  bad = find (bad, 1);
  if (! isempty (bad))
    error ("treeshap: tree %d of the XGBoost model has categorical splits, which are not supported.", bad);
  endif
  if (isfield (list, "tree_param") && all (cellfun ("isclass", {list.tree_param}, "struct"))
      && all (cellfun (@(tp) isfield (tp, "size_leaf_vector"), {list.tree_param})))
    tp = [list.tree_param];
    w = {tp.size_leaf_vector};
    num = cellfun ("isnumeric", w);
    w(num) = cellfun (@num2str, w(num), "uniformoutput", false);
    if (any (str2double (w) > 1))
      error ("treeshap: XGBoost models with vector leaves are not supported.");
    endif
  endif

  lc = stack (list, "left_children");
  rc = stack (list, "right_children");
  si = stack (list, "split_indices");
  sc = double (single (stack (list, "split_conditions")));
  owner = repelem ((1:nt).', n)(:);
  leaf = lc == -1;
  ok = @(c) c == fix (c) & c >= 0 & c < n(owner);
  bad = find (leaf & rc != -1 | ! leaf & ! (ok (lc) & ok (rc)), 1);
  if (! isempty (bad))
    error ("treeshap: tree %d of the XGBoost model links to a node that does not exist.",
           owner(bad));
  endif
  bad = find (! leaf & (si != fix (si) | si < 0 | si >= nfeat), 1);
  if (! isempty (bad))
    error ("treeshap: tree %d of the XGBoost model splits on a feature outside 0 to %d.",
           owner(bad), nfeat - 1);
  endif

  ch = [lc, rc] + 1;
  ch(leaf,:) = 0;
  cv = (si + 1) .* ! leaf;
  cp = sc .* ! leaf;
  val = zeros (numel (lc), nout);
  at = find (leaf);
  val(at + (cls(owner(at)) - 1) * numel (lc)) = sc(at);
  trees = num2cell (struct ("Children", mat2cell (ch, n, 2),
                            "CutVar", mat2cell (cv, n, 1),
                            "CutPoint", mat2cell (cp, n, 1),
                            "Leaf", mat2cell (val, n, nout))).';
endfunction

## Field NAME of every element of LIST as one double column.
function v = stack (list, name)
  v = {list.(name)};
  if (all (cellfun ("iscolumn", v)))
    v = double (vertcat (v{:}));
  else
    v = cell2mat (cellfun (@(x) double (x(:)), v.', "uniformoutput", false));
  endif
endfunction

function v = xgb_field (s, name)
  if (! isstruct (s) || ! isscalar (s) || ! isfield (s, name))
    error ("treeshap: the XGBoost model lacks the entry \"%s\".", name);
  endif
  v = s.(name);
endfunction

## XGBoost writes most counts as strings.
function v = xgb_number (s, name)
  v = xgb_field (s, name);
  if (ischar (v))
    v = str2double (v);
  endif
  if (! isnumeric (v) || ! isscalar (v) || ! isfinite (v))
    error ("treeshap: the XGBoost model's %s must be a number.", name);
  endif
  v = double (v);
endfunction

%!function js = ts_xgb (objective, nclass, npar, base, trees, info)
%!  ## A hand-written XGBoost JSON model on two features; TREES is a cell of
%!  ## {left, right, split_indices, split_conditions}, node ids from 0.
%!  tj = cell (1, numel (trees));
%!  for t = 1:numel (trees)
%!    n = numel (trees{t}{1});
%!    tj{t} = sprintf (['{"base_weights":%s,"default_left":%s,"id":%d,' ...
%!                      '"left_children":%s,"right_children":%s,' ...
%!                      '"split_indices":%s,"split_conditions":%s,' ...
%!                      '"split_type":%s,"categories":[],' ...
%!                      '"tree_param":{"num_nodes":"%d","size_leaf_vector":"0"}}'],
%!                     mat2str (zeros (1, n)), mat2str (zeros (1, n)), t - 1,
%!                     mat2str (trees{t}{1}), mat2str (trees{t}{2}),
%!                     mat2str (trees{t}{3}), mat2str (trees{t}{4}, 10),
%!                     mat2str (zeros (1, n)), n);
%!    tj{t} = strrep (strrep (strrep (tj{t}, " ", ","), ";", ","), ",,", ",");
%!  endfor
%!  txt = sprintf (['{"learner":{"gradient_booster":{"model":{' ...
%!                  '"gbtree_model_param":{"num_parallel_tree":"%d","num_trees":"%d"},' ...
%!                  '"tree_info":%s,"trees":[%s]},"name":"gbtree"},' ...
%!                  '"learner_model_param":{"base_score":"%s","num_class":"%d",' ...
%!                  '"num_feature":"2","num_target":"1"},' ...
%!                  '"objective":{"name":"%s"}},"version":[1,7,4]}'],
%!                 npar, numel (trees), ["[" sprintf("%d,", info)(1:end-1) "]"],
%!                 strjoin (tj, ","), base, nclass, objective);
%!  js = jsondecode (txt);
%!endfunction

%!function ts_refused (model, msg)
%!  try
%!    treeshap (model, [0 0], [0 0]);
%!    err.message = "accepted";
%!  catch err
%!  end_try_catch
%!  assert (err.message, ["treeshap: " msg]);
%!endfunction

%!shared t1, t2, js
%! t1 = struct ("Children", [2 3; 0 0; 4 5; 0 0; 0 0], "CutVar", [1; 0; 2; 0; 0],
%!              "CutPoint", [0.5; 0; 2; 0; 0], "Leaf", [0; 1; 0; 3; 4]);
%! t2 = struct ("Children", [2 3; 0 0; 0 0], "CutVar", [2; 0; 0],
%!              "CutPoint", [1; 0; 0], "Leaf", [0; -1; 1]);
%! ## binary:logistic: a stump at 0.1 on feature 0, and a tree of depth 2.
%! js = ts_xgb ("binary:logistic", 0, 1, "3E-1",
%!              {{[1 -1 -1], [2 -1 -1], [0 0 0], [0.1 0.5 -0.25]}, ...
%!               {[1 -1 3 -1 -1], [2 -1 4 -1 -1], [1 0 0 0 0], ...
%!                [2.5 0.125 0.7 0.375 -0.0625]}}, [0 0]);

%!test
%! ## The package's own trees: hand-computed answers, additivity, a
%! ## predictor no tree cuts on, several outputs, NaN and categorical cuts.
%! Xb = [0 0 7; 1 1 7; 1 3 7];
%! Q = [1 3 0; 0 0 5; NaN 1 2; 0.5 2 1];
%! [phi, base, pred] = treeshap ({t1, t2}, Xb, Q);
%! assert (pred, [5; 0; 1; 5]);
%! assert (base, 3);
%! assert (phi(1,:), [5 7 0] / 6, 1e-15);
%! assert (phi(:,3), zeros (4, 1));
%! assert (sum (phi, 2) + base, pred, 1e-13);
%! [~, base, pred] = treeshap ({t1, t2}, [1 3 0], zeros (0, 3));
%! assert ({base, pred}, {5, zeros(0, 1)});
%! ## The single-reference game of one cut: the cut predictor takes it all.
%! s = struct ("Children", [2 3; 0 0; 0 0], "CutVar", [1; 0; 0],
%!             "CutPoint", [0.5; 0; 0], "Leaf", [0; 1; 0]);
%! assert (treeshap ({s}, [0 0], [1 0]), [-1 0]);
%! assert (treeshap ({s}, [1 0], [0 0]), [1 0]);
%! ## Two outputs, and a categorical cut: levels 1, 3 left, 2 right, 4 nowhere.
%! c = struct ("Children", [2 3; 0 0; 0 0], "CutVar", [3; 0; 0],
%!             "CutPoint", [0; 0; 0], "Leaf", [0 0; 2 -1; 5 1],
%!             "CatLeft", {{[], [], []}}, "CatRight", {{[], [], []}});
%! c.CatLeft{1} = [1 3];
%! c.CatRight{1} = 2;
%! u = t1;
%! u.Leaf = [t1.Leaf, -t1.Leaf];
%! Xc = [Xb(:,1:2), [1; 2; 4]];
%! Qc = [Q(:,1:2), [3; 2; 4; 1]];
%! [phi, base, pred] = treeshap ({u, c}, Xc, Qc);
%! assert (size (phi), [4 3 2]);
%! assert (pred, [6 -5; 6 0; 0 0; 6 -5]);
%! assert (base, [5, -8/3], 1e-15);
%! assert (squeeze (sum (phi, 2)) + base, pred, 1e-13);
%! assert (phi(:,3,:), treeshap ({c}, Xc, Qc)(:,3,:), 1e-14);
%! ## Blocks of queries and Verbose change nothing.
%! out = evalc ("phiv = treeshap ({u, c}, Xc, Qc, \"verb\", true);");
%! assert (phiv, phi);
%! assert (out, "treeshap: 4 of 4 queries explained\n");

%!test
%! ## XGBoost, binary:logistic: single-precision routing, base_score as
%! ## log-odds in base and pred only, the same from a file and a struct.
%! Q = [0.1 0; 0.1000000015 3; 0.099999996 3; 0.7 2.5];
%! Xb = [0 0; 1 1; 0.5 4];
%! [phi, base, pred] = treeshap (js, Xb, Q);
%! b = double (single (0.3));
%! b = log (b / (1 - b));
%! assert (pred, b + [-0.25 + 0.125; -0.25 + 0.375; 0.5 + 0.375; -0.25 - 0.0625],
%!         1e-7);
%! assert (sum (phi, 2) + base, pred, 1e-14);
%! ## The same trees written in the package's form: equal phi, base off by b.
%! s1 = struct ("Children", [2 3; 0 0; 0 0], "CutVar", [1; 0; 0],
%!              "CutPoint", double (single ([0.1; 0; 0])), "Leaf", [0; 0.5; -0.25]);
%! s2 = struct ("Children", [2 3; 0 0; 4 5; 0 0; 0 0], "CutVar", [2; 0; 1; 0; 0],
%!              "CutPoint", double (single ([2.5; 0; 0.7; 0; 0])),
%!              "Leaf", [0; 0.125; 0; 0.375; -0.0625]);
%! [phi2, base2] = treeshap ({s1, s2}, double (single (Xb)), double (single (Q)));
%! assert (phi, phi2);
%! assert (base - base2, b, 1e-15);
%! f = [tempname() ".json"];
%! unwind_protect
%!   fid = fopen (f, "w");
%!   fputs (fid, jsonencode (js));
%!   fclose (fid);
%!   [phi3, base3, pred3] = treeshap (f, Xb, Q);
%! unwind_protect_cleanup
%!   unlink (f);
%! end_unwind_protect
%! assert ({phi3, base3, pred3}, {phi, base, pred});

%!test
%! ## XGBoost, multi:softprob with two classes and two parallel trees per
%! ## class: each class sums its own trees; base_score enters as a margin.
%! m = ts_xgb ("multi:softprob", 2, 2, "5E-1",
%!             {{[1 -1 -1], [2 -1 -1], [0 0 0], [0.5 1 2]}, ...
%!              {[1 -1 -1], [2 -1 -1], [0 0 0], [1.5 10 20]}, ...
%!              {[1 -1 -1], [2 -1 -1], [1 0 0], [0.5 100 200]}, ...
%!              {-1, -1, 0, 1000}}, [0 0 1 1]);
%! Q = [0 0; 1 1; 2 0];
%! [phi, base, pred] = treeshap (m, [0 0; 2 2], Q);
%! assert (pred, 0.5 + [11 1100; 12 1200; 22 1100]);
%! assert (base, 0.5 + [16.5 1150]);
%! assert (size (phi), [3 2 2]);
%! assert (phi(:,2,1), zeros (3, 1));
%! assert (phi(:,1,2), zeros (3, 1));
%! assert (squeeze (sum (phi, 2)) + base, pred, 1e-12);
%! ## No trees at all (no boosting rounds): base_score alone.
%! [phi, base, pred] = treeshap (ts_xgb ("multi:softmax", 2, 1, "5E-1", {}, []), [0 0], Q);
%! assert ({phi, base, pred}, {zeros(3, 2, 2), [0.5 0.5], 0.5 * ones(3, 2)});

## Malformed descriptions of the package's own trees
%!error <Invalid call> treeshap ({t1}, [0 0])
%!error <MODEL must be a cell array> treeshap (t1, [0 0], [0 0])
%!error <must hold at least one tree> treeshap ({}, [0 0], [0 0])
%!error <tree 2 lacks the field "CutPoint"> treeshap ({t1, rmfield(t2, "CutPoint")}, [0 0], [0 0])
%!error <tree 1 must be a scalar struct> treeshap ({5}, [0 0], [0 0])
%!error <Children of tree 1 must be an N-by-2> treeshap ({setfield(t1, "Children", [2 3 0])}, [0 0], [0 0])
%!error <CutVar of tree 2 must hold 3 numbers> treeshap ({t1, setfield(t2, "CutVar", [2; 0])}, [0 0], [0 0])
%!error <Leaf of tree 1 must be an N-by-K> treeshap ({setfield(t1, "Leaf", [1; 2])}, [0 0], [0 0])
%!error <tree 2 answers with 2 columns where the ensemble has 1> treeshap ({t1, setfield(t2, "Leaf", ones (3, 2))}, [0 0], [0 0])
%!error <tree 1 cuts on predictor 2 but the data have 1 columns> treeshap ({t1}, 0, 0)
%!error <CutVar of tree 1 must hold predictor numbers> treeshap ({setfield(t1, "CutVar", [1.5; 0; 2; 0; 0])}, [0 0], [0 0])
%!error <tree 1 is not a tree> treeshap ({setfield(t1, "Children", [2 3; 0 0; 1 5; 0 0; 0 0])}, [0 0], [0 0])
%!error <tree 1 is not a tree> treeshap ({setfield(t1, "Children", [2 3; 0 0; 2 5; 0 0; 0 0])}, [0 0], [0 0])
%!error <Children of tree 1 must name two nodes> treeshap ({setfield(t1, "Children", [2 3; 0 0; 4 6; 0 0; 0 0])}, [0 0], [0 0])
%!error <CutPoint of tree 1 must not be NaN> treeshap ({setfield(t1, "CutPoint", [NaN; 0; 2; 0; 0])}, [0 0], [0 0])
%!error <Leaf of tree 1 must be finite> treeshap ({setfield(t1, "Leaf", [0; Inf; 0; 3; 4])}, [0 0], [0 0])
%!error <CatLeft and CatRight of tree 2 must be cell arrays> treeshap ({t1, setfield(t2, "CatLeft", {[], []})}, [0 0], [0 0])
%!error <node 1 of tree 1 must list numeric levels on both sides> treeshap ({setfield(setfield(t2, "CatLeft", {1, [], []}), "CatRight", {[], [], []})}, [0 0], [0 0])
%!error <node 1 of tree 1 sends a level both ways> treeshap ({setfield(setfield(t2, "CatLeft", {[1 2], [], []}), "CatRight", {[2 3], [], []})}, [0 0], [0 0])
%!error <Xb and Q must have the same number of columns> treeshap ({t1}, [0 0], [0 0 0])
%!error <Xb must be a non-empty real numeric matrix> treeshap ({t1}, zeros (0, 2), [0 0])
%!error <Q must be a real numeric matrix> treeshap ({t1}, [0 0], [1i 0])
%!error <unknown option "Blocks"; valid names: Verbose> treeshap ({t1}, [0 0], [0 0], "Blocks", 3)
## Malformed or unsupported XGBoost models
%!error <Q\(2,1\) is NaN> treeshap (js, [0 0], [0 0; NaN 1; 1 NaN])
%!error <Xb\(1,2\) is NaN> treeshap (js, [0 NaN], [0 0])
%!error <has 2 features but the data have 3 columns> treeshap (js, [0 0 0], [0 0 0])
%!error <cannot find the model file> treeshap ("no/such/model.json", [0 0], [0 0])
%!error <objective "count:poisson" is not supported> treeshap (setfield (js, "learner", setfield (js.learner, "objective", struct ("name", "count:poisson"))), [0 0], [0 0])
%!error <only XGBoost's gbtree booster is supported, not "dart"> treeshap (setfield (js, "learner", setfield (js.learner, "gradient_booster", setfield (js.learner.gradient_booster, "name", "dart"))), [0 0], [0 0])
%!error <lacks the entry "tree_info"> treeshap (setfield (js, "learner", setfield (js.learner, "gradient_booster", setfield (js.learner.gradient_booster, "model", rmfield (js.learner.gradient_booster.model, "tree_info")))), [0 0], [0 0])
%!test
%! ## Each fault inside an XGBoost tree, one sentence each.
%! bad = @(field, value) setfield (js, "learner", setfield (js.learner,
%!   "gradient_booster", setfield (js.learner.gradient_booster, "model",
%!   setfield (js.learner.gradient_booster.model, "trees",
%!   setfield (js.learner.gradient_booster.model.trees, {2}, field, value)))));
%! ts_refused (bad ("left_children", [1 -1 7 -1 -1]), "tree 2 of the XGBoost model links to a node that does not exist.");
%! ts_refused (bad ("left_children", [1 -1 0 -1 -1]), "tree 2 is not a tree: some node is reached twice (a cycle or a shared subtree).");
%! ts_refused (bad ("split_indices", [2 0 0 0 0]), "tree 2 of the XGBoost model splits on a feature outside 0 to 1.");
%! ts_refused (bad ("split_type", [0 0 1 0 0]), "tree 2 of the XGBoost model has categorical splits, which are not supported.");
%! ts_refused (bad ("split_conditions", [1 2]), "tree 2 of the XGBoost model must give every node its children, split_indices and split_conditions.");
%! m = js.learner.gradient_booster.model;
%! ts_refused (setfield (js, "learner", setfield (js.learner, "gradient_booster",
%!   setfield (js.learner.gradient_booster, "model", setfield (m, "tree_info", [0 1])))),
%!   "the XGBoost model's tree_info must give each of its 2 trees an output 0 to 0.");
%! ts_refused (setfield (js, "learner", setfield (js.learner, "learner_model_param",
%!   setfield (js.learner.learner_model_param, "base_score", "1E0"))),
%!   "the base_score of a binary:logistic model must lie strictly between 0 and 1.");

%!demo
%! ## Two trees on two predictors; the third predictor is never cut on.
%! t1 = struct ("Children", [2 3; 0 0; 4 5; 0 0; 0 0], "CutVar", [1; 0; 2; 0; 0],
%!              "CutPoint", [0.5; 0; 2; 0; 0], "Leaf", [0; 1; 0; 3; 4]);
%! t2 = struct ("Children", [2 3; 0 0; 0 0], "CutVar", [2; 0; 0],
%!              "CutPoint", [1; 0; 0], "Leaf", [0; -1; 1]);
%! Xb = [0 0 7; 1 1 7; 1 3 7];
%! [phi, base, pred] = treeshap ({t1, t2}, Xb, [1 3 0; 0 0 5])
%! residual = sum (phi, 2) + base - pred
