## -*- texinfo -*-
## @deftypefn  {} {@var{D} =} nomdist (@var{X})
## @deftypefnx {} {@var{D} =} nomdist (@var{X}, @var{measure})
## @deftypefnx {} {@var{D} =} nomdist (@var{X}, @var{Y}, @var{measure})
## @deftypefnx {} {@var{D} =} nomdist (@dots{}, @var{name}, @var{value})
## @deftypefnx {} {[@var{D}, @var{codes}] =} nomdist (@dots{})
## Dissimilarities between rows of nominal (categorical) data.
##
## Each row of @var{X} is one observation, each column one categorical
## variable.  @var{X} may be
##
## @itemize
## @item a numeric or logical matrix of any values (NaN is a missing value),
## @item a char matrix, one character per variable (every character, the
## blank included, is a value), or
## @item a cell array of strings (the empty string is a missing value).
## @end itemize
##
## Each column is recoded to level codes over the values seen in @var{X}
## (and @var{Y}): equal values are one level, whatever their order.  With
## one set, @var{D} compares every pair of rows of @var{X}; with a second
## set @var{Y} of the same kind and width, @var{D}(i,j) compares row i of
## @var{X} with row j of @var{Y}, and a value of @var{Y} never seen in
## @var{X} is a level of its own.  Give @var{measure} whenever @var{Y} is
## a char matrix.
##
## @var{measure} (default @qcode{"lin"}, case-insensitive) is one of
## @qcode{"sm"} (simple matching), @qcode{"eskin"}, @qcode{"anderberg"},
## @qcode{"burnaby"}, @qcode{"gambaryan"}, @qcode{"goodall1"},
## @qcode{"goodall2"}, @qcode{"goodall3"}, @qcode{"goodall4"},
## @qcode{"iof"} (inverse occurrence frequency), @qcode{"lin"},
## @qcode{"lin1"}, @qcode{"of"} (occurrence frequency), @qcode{"smirnov"},
## @qcode{"ve"} (variable entropy) and @qcode{"vm"} (variable
## mutability).  Every measure but sm weighs a match or a mismatch by how
## often the levels occur, so the values depend on the whole set, not only
## on the two rows.
##
## Options, as name-value pairs (names case-insensitive, unambiguous
## prefixes accepted):
##
## @table @asis
## @item @qcode{"Weights"}
## one non-negative weight per variable, not all zero (default all ones).
## anderberg, gambaryan and smirnov take no weights: with them only all
## ones is accepted.
##
## @item @qcode{"Form"}
## one set only: @qcode{"condensed"} (default), a 1-by-n(n-1)/2 row over
## the pairs (2,1), (3,1), @dots{}, (n,1), (3,2), @dots{}, (n,n-1), the
## order of distance vectors; or @qcode{"square"}, the symmetric n-by-n
## matrix with a zero diagonal.
##
## @item @qcode{"Frequencies"}
## two sets only: @qcode{"X"} (default), level frequencies counted over
## @var{X} alone; or @qcode{"X+row"}, each row of @var{Y} counted in with
## @var{X} while it is measured, as for assigning new rows to groups found
## in @var{X}; then no level of @var{Y} is ever unseen.
##
## @item @qcode{"Missing"}
## @qcode{"refuse"} (default): a missing value is an error naming its row
## and column; @qcode{"level"}: missing is a level of its own.
## @end table
##
## The values are those of the package's kernel @code{__levelgap__} on the
## codes, bit for bit, so they do not depend on the machine.  Some
## measures give infinite values for some pairs (lin for two rows that
## differ on every variable when each variable has two levels only, for
## instance), and with two sets iof, lin and lin1 give NaN or Inf for a
## level of @var{Y} unseen in @var{X} unless @qcode{"Frequencies"} is
## @qcode{"X+row"}.
##
## The second output @var{codes} holds the level codes the values were
## computed on, the rows of @var{X} and then those of @var{Y}: in each
## column the sorted distinct values are numbered 1, 2, @dots{}, and a
## missing value counted as a level comes last.
##
## Example:
##
## @example
## @group
## X = @{"red", "small"; "red", "large"; "blue", "small"@};
## D = nomdist (X, "sm")
##   @result{} D = 0.5000   0.5000   1.0000
## D = nomdist (X, "sm", "Form", "square");
## @end group
## @end example
##
## @seealso{nomcluster}
## @end deftypefn

function [D, codes] = nomdist (X, varargin)

  if (nargin < 1)
    print_usage ();
  endif
  [Y, twoset, measure, opt] = parse_arguments (X, varargin);
  p = columns (X);

  w = check_weights (opt.weights, p, measure);
  [Xc, Yc] = recode (X, Y, opt.missing);

  if (! twoset)
    D = one_set (Xc, measure, w, opt.form);
  elseif (rows (Yc) == 0 || rows (Xc) == 0)
    D = zeros (rows (Xc), rows (Yc));
  else
    addq = strcmp (opt.frequencies, "x+row");
    D = __levelgap__ (Xc, Yc, [], measure, w, addq);
  endif
  if (isargout (2))
    codes = [Xc; Yc];
  endif

endfunction

## Sort out (X, measure), (X, Y, measure) and the options that follow.
function [Y, twoset, measure, opt] = parse_arguments (X, args)

  optnames = {"Weights", "Form", "Frequencies", "Missing"};
  Y = [];
  twoset = false;
  measure = "lin";
  first = 1;
  if (numel (args) >= 2 && is_measure_name (args{2}))
    Y = args{1};
    twoset = true;
    measure = args{2};
    first = 3;
  elseif (numel (args) >= 1 && is_name (args{1}))
    if (isempty (match_option ("", args{1}, optnames, false)))
      measure = args{1};
      first = 2;
    endif
  elseif (numel (args) >= 1)
    Y = args{1};
    twoset = true;
    first = 2;
  endif

  opt = struct ("weights", [], "form", "condensed", "frequencies", "x",
                "missing", "refuse");
  rest = args(first:end);
  if (mod (numel (rest), 2) != 0)
    error ("nomdist: options must come in name-value pairs.");
  endif
  given = struct ();
  for i = 1:2:numel (rest)
    name = match_option ("nomdist", rest{i}, optnames, true);
    val = rest{i+1};
    switch (name)
      case "Weights"
        opt.weights = val;
      case "Form"
        opt.form = choose ("nomdist", "Form", val, {"condensed", "square"});
      case "Frequencies"
        opt.frequencies = choose ("nomdist", "Frequencies", val, {"X", "X+row"});
      case "Missing"
        opt.missing = choose ("nomdist", "Missing", val, {"refuse", "level"});
    endswitch
    given.(name) = true;
  endfor

  check_data ("X", X);
  if (columns (X) == 0)
    error ("nomdist: X must have at least one column.");
  endif
  if (twoset)
    if (isnumeric (Y) && all (size (Y) == 0))
      Y = resize (X, 0, columns (X));        # no rows, of X's kind
    endif
    check_data ("Y", Y);
    if (columns (Y) != columns (X))
      error ("nomdist: X and Y must have the same number of columns.");
    endif
    if (kind_of (X) != kind_of (Y))
      error ("nomdist: X and Y must be of the same kind (numeric or logical, char, or cell array of strings).");
    endif
    if (isfield (given, "Form"))
      error ("nomdist: Form applies to one set only.");
    endif
  elseif (isfield (given, "Frequencies"))
    error ("nomdist: Frequencies applies to two sets only.");
  endif
  measure = check_measure ("nomdist", measure);

endfunction

function tf = is_name (a)
  tf = ischar (a) && (isrow (a) || isempty (a));
endfunction

function tf = is_measure_name (a)
  tf = is_name (a) && any (strcmpi (a, measure_names ()));
endfunction

function names = measure_names ()
  names = {"sm", "eskin", "anderberg", "burnaby", "gambaryan", "goodall1", ...
           "goodall2", "goodall3", "goodall4", "iof", "lin", "lin1", "of", ...
           "smirnov", "ve", "vm"};
endfunction

function m = check_measure (fname, m)
  if (! is_measure_name (m))
    if (is_name (m))
      shown = sprintf ("'%s'", m);
    else
      shown = "of that class";
    endif
    error ("%s: unknown measure %s; valid measures are %s.", fname, shown,
           strjoin (measure_names (), ", "));
  endif
  m = lower (m);
endfunction

## The option NAME among VALID: exact (case-insensitive) or an unambiguous
## prefix.  Returns "" for no match when REFUSE is false.
function name = match_option (fname, name, valid, refuse)
  hit = [];
  if (is_name (name) && ! isempty (name))
    hit = find (strcmpi (name, valid));
    if (isempty (hit))
      hit = find (strncmpi (name, valid, numel (name)));
    endif
  endif
  if (numel (hit) == 1)
    name = valid{hit};
  elseif (! refuse)
    name = "";
  elseif (isempty (hit))
    if (is_name (name))
      error ("%s: unknown option '%s'; valid options are %s.", fname, name,
             strjoin (valid, ", "));
    else
      error ("%s: option names must be strings; valid options are %s.", fname,
             strjoin (valid, ", "));
    endif
  else
    error ("%s: ambiguous option '%s' (%s).", fname, name,
           strjoin (valid(hit), ", "));
  endif
endfunction

## A string value among VALID, case-insensitive, exact or an unambiguous
## prefix; returned in lower case.
function v = choose (fname, opt, v, valid)
  hit = [];
  if (is_name (v) && ! isempty (v))
    hit = find (strcmpi (v, valid));
    if (isempty (hit))
      hit = find (strncmpi (v, valid, numel (v)));
    endif
  endif
  if (numel (hit) != 1)
    error ("%s: %s must be one of %s.", fname, opt, strjoin (valid, ", "));
  endif
  v = lower (valid{hit});
endfunction

function k = kind_of (A)
  if (iscell (A))
    k = 3;
  elseif (ischar (A))
    k = 2;
  else
    k = 1;
  endif
endfunction

function check_data (name, A)
  if (ndims (A) != 2)
    error ("nomdist: %s must be a two-dimensional matrix or cell array.", name);
  elseif (iscell (A))
    if (! iscellstr (A) || ! all (cellfun (@(s) isrow (s) || isempty (s), A(:))))
      error ("nomdist: a cell array %s must hold only strings (one-row char vectors).", name);
    endif
  elseif (! (isnumeric (A) || islogical (A) || ischar (A)) || iscomplex (A))
    error ("nomdist: %s must be a real numeric, logical or char matrix, or a cell array of strings.", name);
  endif
endfunction

function w = check_weights (w, p, measure)
  if (isempty (w))
    w = ones (1, p);
    return;
  endif
  if (! (isnumeric (w) || islogical (w)) || ! isvector (w) || numel (w) != p
      || iscomplex (w))
    error ("nomdist: Weights must hold one real weight per variable (%d).", p);
  endif
  w = double (w(:).');
  if (! all (isfinite (w)) || any (w < 0))
    error ("nomdist: Weights must be finite and non-negative.");
  elseif (! any (w))
    error ("nomdist: Weights must not all be zero.");
  elseif (any (strcmp (measure, {"anderberg", "gambaryan", "smirnov"}))
          && any (w != 1))
    error ("nomdist: the %s measure takes no Weights; leave them all ones.", measure);
  endif
endfunction

## Level codes 1, 2, ... per column over the values of X and Y together,
## sorted; a missing value counted as a level comes after the others.
function [Xc, Yc] = recode (X, Y, missing)
  nx = rows (X);
  if (isempty (Y))
    A = X;
  else
    A = [X; Y];
  endif
  [n, p] = size (A);
  if (iscell (A))
    miss = cellfun ("isempty", A);
  elseif (isnumeric (A))
    miss = isnan (A);
  else
    miss = false (n, p);
  endif
  if (any (miss(:)) && strcmp (missing, "refuse"))
    [c, r] = find (miss.', 1);          # first in row order
    if (r <= nx)
      where = sprintf ("X(%d,%d)", r, c);
    else
      where = sprintf ("Y(%d,%d)", r - nx, c);
    endif
    error ("nomdist: %s is missing; give 'Missing', 'level' to count missing values as a level.", where);
  endif
  C = zeros (n, p);
  for j = 1:p
    col = A(:,j);
    if (ischar (col))
      col = double (col);
    elseif (! iscell (col))
      col = double (col);
    endif
    ok = ! miss(:,j);
    [u, ~, code] = unique (col(ok));
    C(ok,j) = code;
    C(! ok,j) = numel (u) + 1;
  endfor
  Xc = C(1:nx,:);
  Yc = C(nx+1:end,:);
endfunction

function D = one_set (Xc, measure, w, form)
  n = rows (Xc);
  D = __levelgap__ (Xc, [], [], measure, w);
  if (strcmp (form, "square"))
    S = zeros (n);
    S(tril (true (n), -1)) = D;
    D = S + S.';
  endif
endfunction


%!test
%! ## Every kind of input recodes to the same levels; values are the kernel's
%! num = [1 10; 1 20; 2 10; 2 20; 1 10];
%! chr = ["ax"; "ay"; "bx"; "by"; "ax"];
%! cel = {"a", "x"; "a", "y"; "b", "x"; "b", "y"; "a", "x"};
%! lgc = logical (num - [1 10]);
%! [D, codes] = nomdist (num, "goodall3");
%! assert (codes, [1 1; 1 2; 2 1; 2 2; 1 1]);
%! assert (D, __levelgap__ (codes, [], [], "goodall3", [1 1]));
%! assert (nomdist (chr, "goodall3"), D);
%! assert (nomdist (cel, "goodall3"), D);
%! assert (nomdist (lgc, "GoodAll3"), D);
%! assert (nomdist (int8 (-num), "goodall3"), D);
%! assert (size (D), [1 10]);
%! ## condensed order (2,1), (3,1), ..., and the square form
%! S = nomdist (cel, "sm", "form", "sq");
%! assert (S, S.');
%! assert (diag (S), zeros (5, 1));
%! assert (S(2,1), 0.5);
%! assert (S(4,1), 1);
%! assert (S(5,1), 0);
%! assert (S(tril (true (5), -1)).', nomdist (cel, "sm"));
%! ## default measure lin; weights reach the kernel
%! assert (nomdist (num), __levelgap__ (codes, [], [], "lin", [1 1]));
%! assert (nomdist (num, "sm", "Weights", [3 1]), [0.25 0.75 1 0 1 0.75 0.25 0.25 0.75 1]);

%!test
%! ## Missing values: refused with their place, or a level of their own
%! X = {"a", "x"; "b", ""; "", "y"};
%! try
%!   nomdist (X);
%!   error ("no error");
%! catch err
%!   assert (err.message, "nomdist: X(2,2) is missing; give 'Missing', 'level' to count missing values as a level.");
%! end_try_catch
%! [~, codes] = nomdist (X, "sm", "Missing", "level");
%! assert (codes, [1 1; 2 3; 3 2]);
%! [~, codes] = nomdist ([1 NaN; 2 5], "sm", "Missing", "level");
%! assert (codes, [1 2; 2 1]);
%! fail ("nomdist ([1 2; 3 4], [1 NaN], 'sm')", "nomdist: Y\\(1,2\\) is missing");

%!test
%! ## Two sets: Y-only values are levels of their own; out-of-sample mode
%! X = {"a", "x"; "a", "y"; "b", "x"};
%! Y = {"a", "y"; "c", "x"};
%! [D, codes] = nomdist (X, Y, "lin");
%! assert (codes, [1 1; 1 2; 2 1; 1 2; 3 1]);
%! assert (D, __levelgap__ (codes(1:3,:), codes(4:5,:), [], "lin", [1 1]));
%! assert (all (isinf (D(:,2))));                 # "c" was never seen in X
%! E = nomdist (X, Y, "lin", "Frequencies", "x+row");
%! assert (E, __levelgap__ (codes(1:3,:), codes(4:5,:), [], "lin", [1 1], true));
%! assert (all (isfinite (E(:,2))));                # now "c" is counted
%! assert (size (nomdist (X, cell (0, 2), "sm")), [3 0]);
%! assert (size (nomdist (["ab"; "cd"], "ab", "sm")), [2 1]);
%! assert (nomdist ([1 2; 1 3], [1 2], "sm"), [0; 0.5]);

%!error <Invalid call> nomdist ()
%!error <nomdist: unknown measure 'linn'; valid measures are sm, eskin> nomdist ([1 2], "linn")
%!error <nomdist: unknown option 'Wieghts'; valid options are Weights, Form, Frequencies, Missing> nomdist ([1 2], "sm", "Wieghts", 1)
%!error <nomdist: ambiguous option 'F' \(Form, Frequencies\)> nomdist ([1 2], "sm", "F", 1)
%!error <nomdist: Form must be one of condensed, square> nomdist ([1 2], "sm", "Form", "full")
%!error <nomdist: Form applies to one set only> nomdist ([1 2], [1 2], "sm", "Form", "square")
%!error <nomdist: Frequencies applies to two sets only> nomdist ([1 2], "sm", "Frequencies", "X")
%!error <nomdist: X and Y must have the same number of columns> nomdist ([1 2], [1 2 3], "sm")
%!error <nomdist: X and Y must be of the same kind> nomdist ([1 2], {"a", "b"}, "sm")
%!error <nomdist: a cell array X must hold only strings> nomdist ({1, "a"})
%!error <nomdist: X must be a real numeric> nomdist ([1i 2])
%!error <nomdist: X must have at least one column> nomdist (zeros (3, 0))
%!error <nomdist: Weights must hold one real weight per variable \(2\)> nomdist ([1 2], "sm", "Weights", 1)
%!error <nomdist: Weights must be finite and non-negative> nomdist ([1 2], "sm", "Weights", [1 -1])
%!error <nomdist: Weights must not all be zero> nomdist ([1 2], "sm", "Weights", [0 0])
%!error <nomdist: the smirnov measure takes no Weights> nomdist ([1 2], "smirnov", "Weights", [1 2])
%!error <nomdist: options must come in name-value pairs> nomdist ([1 2], "sm", "Form")

%!demo
%! ## Simple matching and lin on a few survey answers
%! X = {"yes", "car",  "city"; "yes", "bike", "city"; "no", "car", "town"};
%! D_sm = nomdist (X, "sm", "Form", "square")
%! D_lin = nomdist (X, "lin", "Form", "square")
