## knnsearch on Fisher's iris measurements: the nearest flowers of a few
## flowers, leave-one-out nearest-neighbour classification of the species
## under several metrics, and a picture of a new flower among its
## neighbours.  Expects data_dir and out_dir.

fid = fopen (fullfile (data_dir, "iris.csv"), "r");
cols = textscan (fid, "%f %f %f %f %s", "Delimiter", ",", "HeaderLines", 1);
fclose (fid);
X = [cols{1:4}];
[names, ~, species] = unique (cols{5});
n = rows (X);
printf ("knnsearch on iris: %d flowers, 4 measurements (cm), %d species\n", n, numel (names));

## The three nearest other flowers of one flower of each species.
show = [1 51 101];
[idx, D] = knnsearch (X, X(show,:), "K", 4);
for r = 1:numel (show)
  ## The flower itself (or an identical twin listed before it) is at 0.
  keep = idx(r,:) != show(r);
  nb = idx(r, keep)(1:3);
  d = D(r, keep)(1:3);
  printf ("  flower %3d (%s): nearest %s at %s cm, all %s\n", show(r),
          names{species(show(r))}, mat2str (nb), mat2str (d, 3),
          strjoin (unique (names(species(nb)))', "/"));
endfor

## Leave-one-out: each flower takes the majority species of its five
## nearest other flowers.
printf ("  leave-one-out species accuracy, 5 nearest others (1 nearest):\n");
metrics = {"euclidean", "seuclidean", "cityblock", "chebychev", ...
           "mahalanobis", "cosine", "correlation"};
for m = 1:numel (metrics)
  idx = knnsearch (X, X, "K", 6, "Distance", metrics{m});
  nb = zeros (n, 5);
  for i = 1:n
    row = idx(i, idx(i,:) != i);
    nb(i,:) = row(1:5);
  endfor
  acc5 = mean (mode (species(nb), 2) == species);
  acc1 = mean (species(nb(:,1)) == species);
  printf ("    %-12s %5.1f%%  (%5.1f%%)\n", metrics{m}, 100 * acc5, 100 * acc1);
endfor

## Ties: flowers with the same measurements all count as nearest.
[idx, D] = knnsearch (X, X, "K", 2, "IncludeTies", true);
many = find (cellfun (@numel, idx) > 2);
printf ("  with IncludeTies, %d flowers have more than 2 neighbours at their second-nearest distance\n",
        numel (many));

## A new flower between versicolor and virginica, and its 7 nearest.
new = [6.1 2.8 4.9 1.6];
[idx, D] = knnsearch (X, new, "K", 7);
votes = accumarray (species(idx(:)), 1, [numel(names), 1]);
[~, best] = max (votes);
printf ("  new flower %s: nearest 7 are %s; vote: %s\n", mat2str (new),
        strjoin (arrayfun (@(s, c) sprintf ("%d %s", c, names{s}), (1:numel (names))',
                           votes, "uniformoutput", false)', ", "), names{best});

fig = figure ("visible", "off");
hold on;
marks = {"o", "s", "^"};
colours = [0.2 0.4 0.8; 0.9 0.5 0.1; 0.2 0.6 0.3];
for s = 1:numel (names)
  in = species == s;
  plot (X(in,3), X(in,4), marks{s}, "color", colours(s,:), "markersize", 5);
endfor
plot (X(idx,3), X(idx,4), "ko", "markersize", 12, "linewidth", 1.5);
plot (new(3), new(4), "rp", "markersize", 14, "markerfacecolor", "r");
hold off;
xlabel ("petal length (cm)");
ylabel ("petal width (cm)");
legend ([names(:)', {"7 nearest (all 4 measurements)", "new flower"}], "location", "northwest");
title ("knnsearch: a new iris flower and its 7 nearest neighbours");
png = fullfile (out_dir, "knnsearch_iris.png");
print (fig, png, "-dpng", "-r100");
close (fig);
printf ("  picture: %s\n", png);
