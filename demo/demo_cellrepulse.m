## Repulsive t-SNE forces on a 2-D map of the flowers: the first two
## principal components of the measurements, exact (theta = 0) and by the
## Barnes-Hut approximation (theta = 0.5).
Xc = iris_X - mean (iris_X);
[~, ~, V] = svd (Xc, "econ");
P = Xc * V(:,1:2);
[Fx, Zx] = __cellrepulse__ (P, 0);
[Fa, Za] = __cellrepulse__ (P, 0.5);
printf ("map of %d flowers on 2 principal components, Z = %.4f (exact)\n",
        rows (P), Zx);
printf ("theta = 0.5: Z = %.4f (rel. error %.2e), forces rel. error %.2e\n",
        Za, abs (Za - Zx) / Zx, norm (Fa - Fx, "fro") / norm (Fx, "fro"));
[~, dup] = unique (P, "rows");
printf ("flowers on a spot already taken: %d (a coincident pair adds 2 to Z, no force)\n",
        rows (P) - numel (dup));
mag = sqrt (sum ((Fx / Zx) .^ 2, 2));
for s = 1:max (iris_species)
  printf ("  %-10s mean |repulsion| %.4f\n", iris_names{s},
          mean (mag(iris_species == s)));
endfor
[~, top] = max (mag);
printf ("most pushed flower: #%d (%s), |repulsion| %.4f\n", top,
        iris_names{iris_species(top)}, mag(top));
