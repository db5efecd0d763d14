## Times tsne next to scikit-learn's TSNE (barnes_hut, pca start, learning
## rate auto, perplexity 30, 1000 iterations, one thread) on the same data:
## the 8x8 digits and 20000 points of ten Gaussian clusters in 50-D.  The
## baseline column is scikit-learn's time.  Both maps are also scored the
## same way: the KL divergence of each map under tsne's affinities with the
## exact normaliser, the 10-nearest-neighbour accuracy of the labels in the
## map and, for the digits, trustworthiness with 5 neighbours (both from
## scikit-learn).  A third set has 20% of its rows replaced by ten groups of
## 400 identical rows.
1;

function row (label, t, tb)
  printf ("%-34s %10.4f %10.4f %12.4f %8.1f\n", label, median (t), min (t),
          median (tb), median (tb) / median (t));
endfunction

## The KL divergence of the map Y under the affinities tsne makes for X,
## with the exact normaliser.
function kl = exact_kl (X, Y)
  [~, kl] = tsne (X, "InitialY", Y, "Theta", 0, "Options", struct ("MaxIter", 0));
endfunction

## scikit-learn on X with labels LAB; OURS is our map.  Returns its time,
## its own KL, its map, and the scores of both maps.
function r = peer (X, lab, ours, score, script)
  d = tempname ();
  mkdir (d);
  files = fullfile (d, {"X.csv", "L.csv", "ours.csv", "peer.csv"});
  dlmwrite (files{1}, X, "precision", "%.17g");
  dlmwrite (files{2}, lab);
  dlmwrite (files{3}, ours, "precision", "%.17g");
  py = "/usr/bin/python3";
  if (! exist (py, "file"))
    py = "python3";
  endif
  cmd = sprintf ("OMP_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1 MKL_NUM_THREADS=1 %s %s %s %s %s %s %d",
                 py, script, files{:}, score);
  [status, out] = system (cmd);
  if (status != 0)
    error ("bench_tsne: scikit-learn's run failed:\n%s", out);
  endif
  v = sscanf (regexp (out, 'peer [^\n]*', "match", "once"), "peer %f %f");
  r.time = v(1);
  r.kl = v(2);
  r.map = dlmread (files{4});
  s = sscanf (regexp (out, 'score peer [^\n]*', "match", "once"), "score peer %f %f");
  r.acc = s(1);
  r.trust = s(2);
  s = sscanf (regexp (out, 'score ours [^\n]*', "match", "once"), "score ours %f %f");
  r.ours_acc = s(1);
  r.ours_trust = s(2);
  confirm_recursive_rmdir (false, "local");
  rmdir (d, "s");
endfunction

function compare (name, X, lab, score, script)
  t0 = tic ();
  [Y, loss] = tsne (X);
  t = toc (t0);
  p = peer (X, lab, Y, score, script);
  row (sprintf ("tsne %s", name), t, p.time);
  klo = exact_kl (X, Y);
  klp = exact_kl (X, p.map);
  printf ("  KL (exact normaliser) %.4f vs %.4f (ratio %.3f); own report %.4f vs %.4f\n",
          klo, klp, klo / klp, loss, p.kl);
  printf ("  10-NN label accuracy in the map %.4f vs %.4f", p.ours_acc, p.acc);
  if (score)
    printf ("; trustworthiness (5) %.4f vs %.4f", p.ours_trust, p.trust);
  endif
  printf ("\n");
endfunction

## run () enters the script's folder: every path starts from it.
tsne_here = fileparts (mfilename ("fullpath"));
tsne_peer = fullfile (tsne_here, "peer_tsne.py");
D = dlmread (fullfile (tsne_here, "..", "data", "digits.csv"), ",", 1, 0);
compare ("digits 1797 x 64", D(:,1:64), D(:,65), 1, tsne_peer);

randn ("state", 14);
n = 20000;
C = 2 * randn (10, 50);
lab = repmat ((0:9)', n / 10, 1);
X = C(lab+1,:) + randn (n, 50);
compare ("ten clusters 20000 x 50", X, lab, 0, tsne_peer);

## 20% duplicates: rows 16001 to 20000 become ten groups of 400 copies of
## one row of each cluster; timed for tsne alone, beside one call of the
## repulsion kernel on the start of the map (where every group coincides).
Xd = X;
Xd(16001:end,:) = X(repelem ((1:10)', 400),:);
t0 = tic ();
[Yd, lossd] = tsne (Xd);
td = toc (t0);
Y0 = tsne (Xd, "Options", struct ("MaxIter", 0));
[~, ~, tk] = time_runs (@() __cellrepulse__ (Y0, 0.5), 5);
printf ("%-34s %10.4f %10.4f %12s %8s\n", "tsne 20% duplicates 20000 x 50", td, td, "-", "-");
printf ("  KL %.4f; one repulsion call on the start (groups coincide) %.4f s\n",
        lossd, median (tk));
clear D C X Xd Y0 Yd lab n t0 td tk lossd tsne_here tsne_peer;
