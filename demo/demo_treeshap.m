## Explains the shipped XGBoost model of the iris flowers (30 boosted trees,
## multi:softprob, one margin per species): every flower's margins are split
## among its four measurements, with all 150 flowers as background.  Draws
## the mean |phi| per measurement and species as a bar chart.

fid = fopen (fullfile (data_dir, "iris.csv"));
head = strsplit (fgetl (fid), ",");
cols = textscan (fid, "%f%f%f%f%s", "Delimiter", ",");
fclose (fid);
X = [cols{1:4}];
[species, ~, y] = unique (cols{5});
model = fullfile (data_dir, "iris_xgb.json");

[phi, base, pred] = treeshap (model, X, X);
[~, guess] = max (pred, [], 2);
printf ("XGBoost model iris_xgb.json: %d of %d flowers put in their species\n",
        sum (guess == y), rows (X));
printf ("mean margin per species over the background: %s\n",
        strtrim (sprintf ("%s %.3f  ", [species.'; num2cell(base)]{:})));

share = squeeze (mean (abs (phi), 1));        # measurement by species
printf ("\nmean |phi| (margin units)   %12s %12s %12s\n", species{:});
for j = 1:columns (X)
  printf ("%-26s %12.4f %12.4f %12.4f\n", strrep (head{j}, "_", " "), share(j,:));
endfor
resid = max (abs (squeeze (sum (phi, 2)) + base - pred)(:));
printf ("additivity: largest |sum(phi) + base - pred| = %.2g\n", resid);

fig = figure ("visible", "off");
bar (share);
set (gca (), "xticklabel", strrep (head(1:4), "_", " "));
ylabel ("mean |Shapley value| (margin)");
legend (species, "location", "northwest");
title ("What drives the iris model: mean |phi| per measurement");
png = fullfile (out_dir, "treeshap_iris.png");
print (fig, png, "-dpng", "-r100");
close (fig);
printf ("picture: %s\n", png);
