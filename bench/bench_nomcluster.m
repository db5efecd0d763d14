## Times nomcluster on 5000 x 20 level codes (2 to 12 levels per column,
## skewed frequencies), lin, average linkage, k = 2:10, labels, tree and
## every criterion included, next to R's hclust (baseline column) on the
## same dissimilarities in the same run: hclust alone, and hclust + cutree.
1;

function run_all (X)
  [labels, Z, info] = nomcluster (X, 2:10);
endfunction

rand ("seed", 20240611);
n = 5000;
p = 20;
X = zeros (n, p);
for j = 1:p
  L = 2 + mod (3 * j, 11);             # 2 to 12 levels
  X(:,j) = ceil (L * rand (n, 1) .^ 2);  # low codes common
endfor

[all_med, all_lo] = time_runs (@() run_all (X), 3);
[d_med, d_lo] = time_runs (@() nomdist (X), 3);
D = nomdist (X);
[m_med, m_lo] = time_runs (@() __mergetree__ (D, n, "average", n - (2:10)), 3);

## R on the same matrix
file = [tempname() ".bin"];
fid = fopen (file, "w");
fwrite (fid, D, "double");
fclose (fid);
rscript = file_in_loadpath ("peer_hclust.R");
[status, out] = system (sprintf ("Rscript '%s' time '%s' %d average", rscript, file, n));
unlink (file);
r_h = NaN;
r_hc = NaN;
if (status == 0)
  v = sscanf (regexp (out, 'hclust ([\d.]+)', "tokens", "once"){1}, "%f");
  r_h = v;
  r_hc = sscanf (regexp (out, 'hclust\+cutree ([\d.]+)', "tokens", "once"){1}, "%f");
else
  printf ("R's hclust not available (Rscript failed): %s\n", out);
endif

printf ("%-34s %10s %10s %12s %8s\n", "nomcluster 5000 x 20, lin, average", "median", "min", "R hclust", "ratio");
printf ("%-34s %10.4f %10.4f %12.4f %8.1f\n", "nomcluster k=2:10, all outputs", all_med, all_lo, r_hc, r_hc / all_med);
printf ("%-34s %10.4f %10.4f %12.4f %8.1f\n", "merge tree + cuts (__mergetree__)", m_med, m_lo, r_hc, r_hc / m_med);
printf ("%-34s %10.4f %10.4f %12.4f %8.1f\n", "merge tree vs hclust alone", m_med, m_lo, r_h, r_h / m_med);
printf ("%-34s %10.4f %10.4f\n", "nomdist lin alone", d_med, d_lo);
printf ("baseline: R %s hclust + cutree (k = 2:10) on the same %d dissimilarities; R computes no lin measure itself\n",
        "(r-base-core)", numel (D));
