## [med, lo, t] = time_runs (f, r): median and minimum of R timed runs of
## the function handle F after one warm-up run, and the R times.
function [med, lo, t] = time_runs (f, r)
  f ();
  t = zeros (r, 1);
  for k = 1:r
    t0 = tic ();
    f ();
    t(k) = toc (t0);
  endfor
  med = median (t);
  lo = min (t);
endfunction
