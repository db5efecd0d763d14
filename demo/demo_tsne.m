## tsne on the 8x8 handwritten digits: a map of the 1797 images in the
## plane, coloured by the digit they show.  The labels play no part in the
## map; a good map puts each digit in a cluster of its own.
D = dlmread (fullfile (data_dir, "digits.csv"), ",", 1, 0);
X = D(:,1:64);
digit = D(:,65);

t0 = tic ();
[Y, loss] = tsne (X);
t = toc (t0);
printf ("tsne mapped %d images of %d pixels to the plane in %.1f s; KL divergence %.4f\n",
        rows (X), columns (X), t, loss);

## How well the map keeps the digits apart: the share of images whose
## nearest other image in the map shows the same digit.
d2 = (Y(:,1) - Y(:,1)') .^ 2 + (Y(:,2) - Y(:,2)') .^ 2;
d2(1:rows (Y)+1:end) = Inf;
[~, nb] = min (d2, [], 2);
printf ("%.1f%% of the images have their nearest neighbour in the map showing the same digit\n",
        100 * mean (digit(nb) == digit));

colors = [0.12 0.47 0.71; 1.00 0.50 0.05; 0.17 0.63 0.17; 0.84 0.15 0.16;
          0.58 0.40 0.74; 0.55 0.34 0.29; 0.89 0.47 0.76; 0.50 0.50 0.50;
          0.74 0.74 0.13; 0.09 0.75 0.81];
fig = figure ("visible", "off");
hold on;
for k = 0:9
  in = digit == k;
  plot (Y(in,1), Y(in,2), ".", "color", colors(k+1,:), "markersize", 6);
endfor
hold off;
axis ("equal");
legend (arrayfun (@(k) sprintf ("%d", k), 0:9, "uniformoutput", false),
        "location", "eastoutside");
title (sprintf ("t-SNE of the 8x8 digits: KL %.4f, %.1f s", loss, t));
file = fullfile (out_dir, "tsne_digits.png");
print (fig, file, "-dpng", "-r100");
close (fig);
printf ("picture: %s\n", file);
