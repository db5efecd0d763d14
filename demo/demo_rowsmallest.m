## The 5 nearest neighbours of every flower, from the full matrix of
## euclidean distances, and how often they share the flower's species.
n = rows (iris_X);
sq = sum (iris_X .^ 2, 2);
dist = sqrt (max (sq + sq' - 2 * (iris_X * iris_X'), 0));
dist(1:n+1:end) = Inf;                  # a flower is not its own neighbour
[nbr, d] = __rowsmallest__ (dist, 5);
same = iris_species(nbr) == iris_species;
printf ("nearest neighbour has the same species: %d of %d flowers (%.1f%%)\n",
        sum (same(:,1)), n, 100 * mean (same(:,1)));
printf ("all 5 nearest share the species:        %d of %d flowers\n",
        sum (all (same, 2)), n);
printf ("majority vote of the 5 nearest is right: %d of %d flowers\n",
        sum (sum (same, 2) >= 3), n);
[~, far] = max (d(:,1));
printf ("most isolated flower: #%d (%s), nearest neighbour #%d at %.3f cm\n",
        far, iris_names{iris_species(far)}, nbr(far,1), d(far,1));
