## nomcluster on the people aboard the Titanic (1912): class, sex, age
## group and survival of 2201 people, all categorical.  Clusters the people
## under the lin measure with average linkage for 2 to 10 clusters, prints
## the clusters for the k with the largest pseudo F, and draws the criteria
## against k.

fid = fopen (fullfile (data_dir, "titanic.csv"));
cols = textscan (fid, "%s %s %s %s", "Delimiter", ",", "HeaderLines", 1);
fclose (fid);
X = [cols{:}];
names = {"Class", "Sex", "Age", "Survived"};
printf ("Titanic: %d people, %d categorical variables (%s)\n", rows (X),
        columns (X), strjoin (names, ", "));

ks = 2:10;
tic;
[labels, Z, info] = nomcluster (X, ks, "Measure", "lin", "Method", "average");
printf ("lin, average linkage, k = %d..%d: %.2f s\n", ks(1), ks(end), toc ());
printf ("%4s %8s %8s %8s %8s %11s\n", "k", "WCM", "WCE", "PSFM", "PSFE", "silhouette");
for c = 1:numel (ks)
  printf ("%4d %8.4f %8.4f %8.1f %8.1f %11.3f\n", ks(c), info.WCM(c), info.WCE(c),
          info.PSFM(c), info.PSFE(c), info.silhouette(c));
endfor

best = info.best;
L = labels(:, ks == best);
printf ("best k by pseudo F (mutability): %d\n", best);
printf ("(the %d people hold only %d distinct profiles, so every further cluster\n",
        rows (X), rows (unique (strcat (X(:,1), "/", X(:,2), "/", X(:,3), "/", X(:,4)))));
printf (" splits off whole profiles and the criteria keep improving)\n");
for g = 1:best
  in = L == g;
  parts = {};
  for j = 1:columns (X)
    [lev, ~, code] = unique (X(in,j));
    share = accumarray (code, 1) / nnz (in);
    [share, o] = sort (share, "descend");
    txt = sprintf ("%s %.0f%%", lev{o(1)}, 100 * share(1));
    if (numel (o) > 1)
      txt = sprintf ("%s, %s %.0f%%", txt, lev{o(2)}, 100 * share(2));
    endif
    parts{end+1} = sprintf ("%s: %s", names{j}, txt);
  endfor
  printf ("  cluster %d (%4d people)  %s\n", g, nnz (in), strjoin (parts, "; "));
endfor

fig = figure ("visible", "off", "paperunits", "inches",
              "paperposition", [0 0 10 6]);
crit = {info.WCM, info.WCE, info.PSFM, info.PSFE, info.silhouette};
titles = {"WCM (mutability)", "WCE (entropy)", "PSFM (pseudo F)", ...
          "PSFE (pseudo F)", "mean silhouette"};
for c = 1:5
  subplot (2, 3, c);
  plot (ks, crit{c}, "o-", "linewidth", 1.5);
  hold on;
  plot (best, crit{c}(ks == best), "rs", "markersize", 10, "linewidth", 2);
  hold off;
  title (titles{c});
  xlabel ("k");
  xlim ([ks(1) - 0.5, ks(end) + 0.5]);
  grid on;
endfor
subplot (2, 3, 6);
axis off;
text (0, 0.7, sprintf ("Titanic, %d people", rows (X)));
text (0, 0.55, "lin, average linkage");
text (0, 0.4, sprintf ("best k = %d (red):", best));
text (0, 0.25, "the largest PSFM");
png = fullfile (out_dir, "nomcluster_titanic.png");
print (fig, png, "-dpng", "-r100");
close (fig);
printf ("criteria against k: %s\n", png);
