## Checks nomcluster's merge tree on real categorical data, outside make
## check (it needs Rscript from r-base-core).  For each data set, measure
## and method:
##  - tie rule: the tree equals, bit for bit, a plain O(n^3) merge loop that
##    takes the global smallest value and, among equal values, the pair of
##    smallest cluster numbers (data sets up to 600 rows);
##  - R, tie-free: the dissimilarities plus a fixed tiny jitter (1e-6 at
##    most, so no two values tie) go to both programs: the merge heights
##    must agree to 1e-12 and the partitions for k = 2:10 must be equal;
##  - R, as is: the plain dissimilarities, full of ties; R breaks ties by
##    position, nomcluster by cluster number, so trees may differ there.
## Run from the repository root after make:
##   octave-cli --norc -q bench/check_nomcluster.m
1;

function s = ifelse_str (c, a, b)
  if (c)
    s = a;
  else
    s = b;
  endif
endfunction

## The plain merge loop the tie rule describes.
function Z = plain_merge (S, method)
  n = rows (S);
  S(1:n+1:end) = Inf;
  lab = 1:n;
  sz = ones (1, n);
  alive = true (1, n);
  Z = zeros (n - 1, 3);
  for t = 1:n-1
    A = S;
    A(! alive,:) = Inf;
    A(:,! alive) = Inf;
    m = min (A(:));
    [r, c] = find (A == m);
    [~, o] = sortrows ([min(lab(r), lab(c))(:), max(lab(r), lab(c))(:)]);
    a = r(o(1));
    b = c(o(1));
    if (lab(b) < lab(a))
      [a, b] = deal (b, a);
    endif
    Z(t,:) = [lab(a) lab(b) m];
    u = S(:,a);
    v = S(:,b);
    switch (method)
      case "average"
        lo = min (u, v);
        hi = max (u, v);
        mhi = sz(a) + (v > u) * (sz(b) - sz(a));
        gap = hi - lo;
        gap(hi == lo) = 0;
        d = lo + (mhi .* gap) / (sz(a) + sz(b));
      case "complete"
        d = max (u, v);
      otherwise
        d = min (u, v);
    endswitch
    S(:,a) = d;
    S(a,:) = d.';
    S(a,a) = Inf;
    alive(b) = false;
    sz(a) += sz(b);
    lab(a) = n + t;
  endfor
endfunction

## R's tree for the condensed D: heights and cutree labels for k = 2:10.
function [h, RL] = r_tree (rscript, D, n, method)
  file = [tempname() ".bin"];
  fid = fopen (file, "w");
  fwrite (fid, D, "double");
  fclose (fid);
  out = [tempname() ".out"];
  st = system (sprintf ("Rscript '%s' merge '%s' %d %s '%s'", rscript, file, n, method, out));
  unlink (file);
  if (st != 0)
    error ("check_nomcluster: Rscript failed");
  endif
  fid = fopen (out);
  v = fread (fid, Inf, "double");
  fclose (fid);
  unlink (out);
  h = v(1:n-1);
  RL = reshape (v(3*(n-1)+1:end), n, []);
endfunction

function sets = real_data (top)
  sets = {};
  fid = fopen (fullfile (top, "data", "titanic.csv"));
  t = textscan (fid, "%s %s %s %s", "Delimiter", ",", "HeaderLines", 1);
  fclose (fid);
  sets{1,1} = "Titanic (2201 x 4)";
  sets{1,2} = [t{:}];
  ## Three of R's own data sets, as text, every column a categorical variable.
  tmp = [tempname() ".csv"];
  r = ["infert <- datasets::infert[, c('education', 'age', 'parity', 'induced', 'case', 'spontaneous')];", ...
       "esoph <- datasets::esoph[, 1:3];", ...
       "mt <- datasets::mtcars[, c('cyl', 'vs', 'am', 'gear', 'carb')];", ...
       "hec <- as.data.frame (datasets::HairEyeColor); hec <- hec[rep (seq_len (nrow (hec)), hec$Freq), 1:3];", ...
       "for (d in list (infert, esoph, mt, hec)) write.table (d, '" tmp "', sep = ',', quote = FALSE, row.names = FALSE, col.names = FALSE, append = TRUE); ", ...
       "cat (nrow (infert), nrow (esoph), nrow (mt), nrow (hec))"];
  rfile = [tempname() ".R"];
  fid = fopen (rfile, "w");
  fputs (fid, r);
  fclose (fid);
  [st, out] = system (sprintf ("Rscript '%s'", rfile));
  unlink (rfile);
  if (st != 0)
    error ("check_nomcluster: Rscript failed: %s", out);
  endif
  counts = sscanf (out, "%d");
  lines = strsplit (strtrim (fileread (tmp)), "\n");
  unlink (tmp);
  names = {"infert (248 x 6)", "esoph (88 x 3)", "mtcars (32 x 5)", "HairEyeColor (592 x 3)"};
  at = 0;
  for s = 1:4
    rowsof = lines(at+1:at+counts(s));
    at += counts(s);
    cells = cellfun (@(l) strsplit (l, ","), rowsof, "UniformOutput", false);
    sets{end+1,1} = names{s};
    sets{end,2} = vertcat (cells{:});
  endfor
endfunction

top = pwd ();
addpath (fullfile (top, "build"), fullfile (top, "nominal"));
rscript = fullfile (top, "bench", "peer_hclust.R");
sets = real_data (top);
rule_ok = 0;
rule_n = 0;
free_dh = 0;
free_same = 0;
tied_dh = 0;
tied_same = 0;
total = 0;
printf ("%-24s %-9s %-9s %9s | %10s %7s | %10s %7s\n", "data", "measure", "method",
        "tie rule", "tie-free dh", "k equal", "as is dh", "k equal");
for s = 1:rows (sets)
  X = sets{s,2};
  n = rows (X);
  for measure = {"lin", "sm", "goodall3", "iof"}
    D = nomdist (X, measure{1});
    rand ("state", 1);
    J = D + 1e-6 * rand (size (D));
    S = zeros (n);
    S(tril (true (n), -1)) = D;
    S = S + S.';
    for method = {"average", "complete", "single"}
      [L, Z] = nomcluster (X, 2:10, "Measure", measure{1}, "Method", method{1});
      rule = "-";
      if (n <= 600)
        same_rule = isequal (Z, plain_merge (S, method{1}));
        rule_ok += same_rule;
        rule_n++;
        rule = ifelse_str (same_rule, "equal", "DIFFERS");
      endif
      ## tie-free: both programs on the jittered values
      [ZJ, first] = __mergetree__ (J, n, method{1}, n - (2:10));
      LJ = zeros (n, 9);
      for c = 1:9
        [~, ~, LJ(:,c)] = unique (first(:,c));
      endfor
      [h, RL] = r_tree (rscript, J, n, method{1});
      dj = max (abs (h - ZJ(:,3)));
      sj = sum (all (LJ == RL, 1));
      [h, RL] = r_tree (rscript, D, n, method{1});
      dh = max (abs (h - Z(:,3)));
      sd = sum (all (L == RL, 1));
      free_dh = max (free_dh, dj);
      free_same += sj;
      tied_dh = max (tied_dh, dh);
      tied_same += sd;
      total += 9;
      printf ("%-24s %-9s %-9s %9s | %10.3g %7d | %10.3g %7d\n", sets{s,1}, measure{1},
              method{1}, rule, dj, sj, dh, sd);
    endfor
  endfor
endfor
printf ("tie rule: %d of %d trees equal to the plain merge loop, bit for bit\n", rule_ok, rule_n);
printf ("R, tie-free: largest height difference %.3g; %d of %d partitions equal to cutree\n",
        free_dh, free_same, total);
printf ("R, as is (ties broken differently): largest height difference %.3g; %d of %d partitions equal\n",
        tied_dh, tied_same, total);
