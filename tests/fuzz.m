## Hostile-input suite: thousands of argument lists per kernel, drawn from a
## fixed seed, mixing every value class of the interpreter, extreme values,
## wrong argument counts and malformed tree descriptions.  Every call must
## return results of the documented classes and shapes or raise an error of
## the function's own or of the host's; the interpreter must survive all.
## Usage: octave-cli tests/fuzz.m BUILDDIR CALLS_PER_FUNCTION
1;

## A wrong argument count ends in print_usage, which formats the help text
## by running makeinfo as a separate process: a third of a second per call,
## most of the whole run.  The text is not what is tested here (the message
## must start with "Invalid call to"), so this stand-in, which takes
## precedence over the interpreter's own, hands the text back unformatted.
function [retval, status] = __makeinfo__ (text, varargin)
  retval = text;
  status = 0;
endfunction

function v = extreme (r = 1, c = 1)
  pool = [NaN, Inf, -Inf, -0, 0, realmin / 4, realmin, realmax, -realmax, ...
          1, 2, 3, 0.5, -1, 1e300, 2^53, 2^62, 1e15, 4.7, 7];
  v = pool(randi (numel (pool), r, c));
endfunction

function v = numbers (r, c)
  v = randi (4, r, c);
  hit = rand (r, c) < 0.2;
  e = extreme (r, c);
  v(hit) = e(hit);
endfunction

## Any value at all: every class, empties of several shapes, N-D arrays.
function v = any_value (depth)
  r = randi ([0 4]);
  c = randi ([0 4]);
  switch (randi (22))
    case 1,  v = numbers (r, c);
    case 2,  v = single (numbers (r, c));
    case 3
      cls = {"int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64"};
      v = cast (numbers (r, c), cls{randi (8)});
    case 4,  v = rand (r, c) > 0.5;
    case 5,  v = char (randi ([32 126], r, c));
    case 6,  v = numbers (r, c) + 1i * numbers (r, c);
    case 7,  v = sparse (numbers (r, c));
    case 8,  v = 1:randi ([0 6]);
    case 9
      if (depth < 2)
        v = {any_value(depth + 1), any_value(depth + 1)};
      else
        v = {};
      endif
    case 10, v = struct ("a", 1, "b", "x");
    case 11, v = struct ("a", {1, 2, 3});
    case 12, v = @sin;
    case 13
      shapes = {[0 0], [0 3], [3 0], [1 0 2], [2 2 0]};
      v = zeros (shapes{randi (numel (shapes))});
    case 14, v = numbers (2, 2) .* ones (2, 2, 2);
    case 15, v = extreme ();
    case 16, v = single (extreme ());
    case 17, v = int64 (9e18);
    case 18, v = true;
    case 19
      names = {"euclidean", "cityblock", "chebychev", "minkowski", "sm", "lin1", ...
               "Euclidean", "", "goodall3", "iof", "of", "%s%d", "vm"};
      v = names{randi (numel (names))};
    case 20, v = [];
    case 21, v = randi (1e6, 1, 1) * 1e9;
    otherwise, v = randn (r, c, randi (3));
  endswitch
endfunction

## A random valid-looking tree, or one with a fault planted in it.
function t = random_tree (M, K, categorical, hostile)
  nodes = 2 * randi ([0 5]) + 1;
  children = zeros (nodes, 2);
  cutvar = zeros (nodes, 1);
  cutpt = zeros (nodes, 1);
  next = 2;
  for n = 1:nodes
    if (next + 1 <= nodes)
      children(n,:) = [next, next + 1];
      cutvar(n) = randi (M);
      cutpt(n) = randn ();
      next += 2;
    endif
  endfor
  t.Children = children;
  t.CutVar = cutvar;
  t.CutPoint = cutpt;
  t.CatLeft = cell (nodes, 1);
  t.CatRight = cell (nodes, 1);
  if (categorical)
    for n = find (cutvar)'
      t.CatLeft{n} = [1 2];
      t.CatRight{n} = [3 4];
    endfor
    t.CutPoint(cutvar > 0) = NaN;
  endif
  t.Leaf = randn (nodes, K);
  if (hostile)
    f = fieldnames (t);
    switch (randi (12))
      case 1, t = rmfield (t, f{randi (numel (f))});
      case 2, t.Children(randi (nodes), randi (2)) = extreme ();
      case 3, t.Children(randi (nodes), :) = 1;            # a cycle back to the root
      case 4, t.CutVar(randi (nodes)) = extreme ();
      case 5, t.Children = t.Children(:,1);
      case 6, t.Leaf = t.Leaf(1:end-1,:);
      case 7, t.CatLeft = {1, "a"};
      case 8, t.CatRight = 7;
      case 9, t.(f{randi (numel (f))}) = any_value (1);
      case 10                                           # one subtree shared by every route
        depth = 40;
        t.Children = [(2:depth+1)' (2:depth+1)'; 0 0];
        t.CutVar = [randi(M, depth, 1); 0];
        t.CutPoint = [zeros(depth, 1); 0];
        t.CatLeft = cell (depth + 1, 1);
        t.CatRight = cell (depth + 1, 1);
        t.Leaf = randn (depth + 1, K);
      case 11, t.CutPoint(randi (nodes)) = NaN;
      otherwise, t.Children(randi (nodes), randi (2)) = randi ([-2 nodes + 3]);
    endswitch
  endif
endfunction

function args = draw_args (fcn)
  hostile = rand () < 0.35;
  switch (fcn)
    case "__rowsmallest__"
      M = randi (6); N = randi (8);
      if (rand () < 0.2)          # wide enough for every way of filtering
        M = randi (8); N = randi ([64 2500]);
      endif
      args = {numbers(M, N), randi(max (1, floor (N / 4)))};
      if (rand () < 0.3) args{1} = single (args{1}); endif
      if (rand () < 0.3) args{2} = extreme (); endif
    case "__nearscan__"
      d = randi (4);
      metrics = {"euclidean", "cityblock", "chebychev", "minkowski"};
      args = {numbers(randi(6), d), numbers(randi(6), d), randi(3), ...
              metrics{randi(4)}, extreme()};
      if (rand () < 0.3) args{1} = single (args{1}); endif
    case "__levelgap__"
      p = randi ([0 4]);
      names = {"sm", "eskin", "anderberg", "burnaby", "gambaryan", "goodall1", ...
               "goodall2", "goodall3", "goodall4", "iof", "lin", "lin1", "of", ...
               "smirnov", "ve", "vm"};
      X = randi (3, randi ([0 5]), p);
      args = {X, randi(3, randi([0 4]), p), [X; randi(3, 2, p)], ...
              names{randi(16)}, numbers(1, p)};
      if (rand () < 0.5) args{3} = []; endif
      if (rand () < 0.4) args{6} = rand () < 0.5; endif
      k = randi (3);
      if (rand () < 0.2 && ! isempty (args{k})) args{k}(1) = extreme (); endif
    case "__forestshare__"
      M = randi (3); K = randi ([0 2]);
      trees = cell (1, randi (3));
      for k = 1:numel (trees)
        trees{k} = random_tree (M, K, rand () < 0.3, hostile && rand () < 0.6);
      endfor
      args = {trees, numbers(randi(3), M), numbers(randi(3), M)};
    case "__cellrepulse__"
      args = {numbers(randi(8), randi(3)), extreme()};
      if (rand () < 0.5) args{2} = rand (); endif
    case "__pairattract__"
      N = randi (6);
      args = {numbers(N, randi(4)), sparse(numbers(N, N) .* (rand (N) < 0.5))};
      if (rand () < 0.2) args{2} = sparse (numbers (randi (6), randi (6))); endif
    case "__mergetree__"
      n = randi (6);
      methods = {"average", "complete", "single"};
      args = {numbers(1, n * (n - 1) / 2), n, methods{randi(3)}, randi([0 n-1], 1, randi([0 3]))};
      if (rand () < 0.2) args{2} = extreme (); endif
  endswitch
  if (hostile)
    for k = 1:numel (args)
      if (rand () < 0.3)
        args{k} = any_value (0);
      endif
    endfor
    if (rand () < 0.1)
      args(end+1) = {any_value(0)};
    elseif (rand () < 0.1)
      args(end) = [];
    endif
  endif
endfunction

## Documented classes and shapes of the results.
function ok = results_ok (fcn, args, out)
  ok = all (cellfun (@(v) isreal (v) && isnumeric (v) && ! issparse (v), out));
  if (! ok)
    return;
  endif
  switch (fcn)
    case {"__rowsmallest__", "__nearscan__"}
      ok = numel (out) == 2 && isa (out{1}, "double") ...
           && isequal (size (out{1}), size (out{2}));
      single_in = isa (args{1}, "single") ...
                  || (strcmp (fcn, "__nearscan__") && isa (args{2}, "single"));
      ok = ok && (isa (out{2}, "single") == single_in);
      if (ok && strcmp (fcn, "__rowsmallest__") && isfloat (args{1}) && ismatrix (args{1}))
        [D, idx] = sort (args{1}, 2);       # ties in order, NaN last
        K = columns (out{1});
        ok = isequaln (out{1}, idx(:,1:K)) && isequaln (out{2}, D(:,1:K));
      endif
    case "__levelgap__"
      ok = numel (out) == 1 && isa (out{1}, "double") && ismatrix (out{1});
      nx = rows (args{1});
      if (isempty (args{2}))
        ok = ok && isequal (size (out{1}), [1, max(0, nx * (nx - 1) / 2)]);
      else
        ok = ok && isequal (size (out{1}), [nx, rows(args{2})]);
      endif
    case "__forestshare__"
      ## an N-D background is read as its two-dimensional form
      sz = size (args{2});
      expect = [prod(sz(2:end)), columns(args{1}{1}.Leaf), rows(args{3})];
      got = size (out{1});
      got(end+1:3) = 1;
      ok = numel (out) == 1 && isa (out{1}, "double") && isequal (got, expect);
    case "__cellrepulse__"
      ## the host reads an N-D Y as its two-dimensional form
      read = [rows(args{1}), numel(args{1}) / rows(args{1})];
      ok = numel (out) == 2 && isequal (size (out{1}), read) ...
           && isa (out{1}, "double") && isscalar (out{2}) && isa (out{2}, "double");
    case "__pairattract__"
      read = [rows(args{1}), numel(args{1}) / rows(args{1})];
      ok = numel (out) == 1 && isa (out{1}, "double") && isequal (size (out{1}), read);
    case "__mergetree__"
      n = args{2};
      ok = numel (out) == 2 && isequal (size (out{1}), [n-1, 3]) ...
           && isequal (size (out{2}), [n, numel(args{4})]);
  endswitch
endfunction

## The kernel's own messages, or the host's that a call may end with.  A
## "%" in a kernel's message is a format leak unless the message is the one
## that quotes the caller's METRIC or MEASURE back exactly as passed.
function ok = message_ok (fcn, args, msg)
  host = {"^Invalid call to ", "^invalid conversion ", "^octave_base_value::", ...
          "wrong type argument", "^logical: NaN can't be converted to logical value", ...
          "^[a-z_]+: NaN can't be converted to logical value", ...
          "^out of memory or dimension too large for Octave's index type"};
  own = strncmp (msg, [fcn ": "], numel (fcn) + 2);
  body = msg(numel (fcn)+3:end);
  quoted = struct ("__nearscan__", {{4, "METRIC"}}, "__levelgap__", {{4, "MEASURE"}});
  if (own && isfield (quoted, fcn) && numel (args) >= quoted.(fcn){1} ...
      && ischar (args{quoted.(fcn){1}}))
    name = args{quoted.(fcn){1}};
    if (strcmp (body, ["unsupported " quoted.(fcn){2} " '" name(:)' "'."]))
      body = "";
    endif
  endif
  ok = own && ! any (body == "%");
  for k = 1:numel (host)
    ok = ok || ! isempty (regexp (msg, host{k}, "once"));
  endfor
endfunction

arg = argv ();
builddir = arg{1};
calls = str2double (arg{2});
addpath (builddir);
warning ("off", "all");     # conversions the host warns about are expected here
rand ("seed", 20261209);
randn ("seed", 20261209);
fcns = {"__rowsmallest__", "__nearscan__", "__levelgap__", "__forestshare__", "__cellrepulse__", ...
        "__pairattract__", "__mergetree__"};
pass = 0;
fail = 0;
for f = 1:numel (fcns)
  fcn = fcns{f};
  if (exist (fcn) != 3)
    printf ("FAIL  %s: no plug-in in %s\n", fcn, builddir);
    fail += 1;
    continue;
  endif
  returned = 0;
  raised = 0;
  odd = {};
  t0 = tic ();
  for n = 1:calls
    args = draw_args (fcn);
    nout = 1 + any (strcmp (fcn, {"__rowsmallest__", "__nearscan__", "__cellrepulse__", "__mergetree__"}));
    out = cell (1, nout);
    try
      [out{:}] = feval (fcn, args{:});
      returned += 1;
      good = results_ok (fcn, args, out);
    catch err
      raised += 1;
      good = message_ok (fcn, args, err.message);
    end_try_catch
    if (good)
      pass += 1;
    else
      fail += 1;
      if (numel (odd) < 5)
        odd{end+1} = sprintf ("call %d", n);
        save ("-binary", sprintf ("/tmp/fuzz-fail-%s-%d.bin", fcn, n), "args");
        if (exist ("err", "var"))
          printf ("  %s call %d: %s\n", fcn, n, err.message);
        endif
      endif
    endif
    clear err;
  endfor
  printf ("%-16s %6d calls: %6d returned, %6d raised, %d unexpected (%.0f s)\n", fcn,
          calls, returned, raised, numel (odd), toc (t0));
endfor
printf ("%d passed, %d failed\n", pass, fail);
exit (fail > 0);
