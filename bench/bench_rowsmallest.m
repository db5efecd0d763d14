## W1: the K smallest of each row of a 4000 x 20000 matrix, against a full
## sort of each row cut after K (timed on a quarter of the rows, scaled).
rand ("seed", 42);
dist = rand (4000, 20000);
part = dist(1:1000,:);
for cls = {"double", "single"}
  d = cast (dist, cls{1});
  p = cast (part, cls{1});
  [bmed, ~] = time_runs (@() sort (p, 2), 3);
  bmed *= rows (d) / rows (p);
  for K = [10 200 1000]
    [med, lo] = time_runs (@() __rowsmallest__ (d, K), 5);
    printf ("%-34s %10.4f %10.4f %12.4f %8.1f\n",
            sprintf ("W1 rowsmallest %s K=%d", cls{1}, K), med, lo, bmed, bmed / med);
  endfor
  bytes = numel (d) * (4 + 4 * strcmp (cls{1}, "double"));
  printf ("floor: W1 %s: %.0f MB read once / %.1f GB/s = %.4f s\n",
          cls{1}, bytes / 1e6, read_rate / 1e9, bytes / read_rate);
endfor
clear dist part d p;
