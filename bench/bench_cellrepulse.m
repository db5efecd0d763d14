## Times __cellrepulse__ on t-SNE-sized embeddings next to the exact
## pairwise sums computed in blocks in plain Octave.
1;

function [F, Z] = exact_blocked (Y)
  [N, D] = size (Y);
  F = zeros (N, D);
  Z = 0;
  B = 32;                                # rows per block: temporaries stay in cache
  for a = 1:B:N
    r = a:min (a + B - 1, N);
    d2 = zeros (numel (r), N);
    for j = 1:D
      d = Y(r,j) - Y(:,j)';
      d2 += d .* d;
    endfor
    q = 1 ./ (1 + d2);
    q(sub2ind (size (q), 1:numel (r), r)) = 0;
    w = q .* q;
    for j = 1:D
      F(r,j) = sum (w .* (Y(r,j) - Y(:,j)'), 2);
    endfor
    Z += sum (q(:));
  endfor
endfunction

function row (label, t, tb)
  printf ("%-34s %10.4f %10.4f %12.4f %8.1f\n", label, median (t), min (t),
          median (tb), median (tb) / median (t));
endfunction

randn ("state", 42);
rand ("state", 42);
Yn = randn (20000, 2);
centres = 20 * randn (12, 2);
Yc = centres(randi (12, 20000, 1),:) + randn (20000, 2);
Y5 = randn (5000, 2);

## The exact baseline for N = 20000 runs once: it takes seconds.
t0 = tic ();
exact_blocked (Yn);
tn = toc (t0);
t0 = tic ();
exact_blocked (Yc);
tc = toc (t0);

[~, ~, t] = time_runs (@() __cellrepulse__ (Yn, 0.5), 9);
row ("N=20000 2-D normal, theta=0.5", t, tn);
[~, ~, t] = time_runs (@() __cellrepulse__ (Yc, 0.5), 9);
row ("N=20000 2-D clustered, theta=0.5", t, tc);
[~, ~, t] = time_runs (@() __cellrepulse__ (Y5, 0), 9);
[~, ~, tb] = time_runs (@() exact_blocked (Y5), 3);
row ("N=5000 2-D normal, theta=0", t, tb);

printf ("floor: theta=0 keeps Z one running sum: N*(N-1) = %.3g dependent adds x 3 cycles = %.3g cycles = %.4f s at 3.7 GHz\n",
        5000 * 4999, 3 * 5000 * 4999, 3 * 5000 * 4999 / 3.7e9);
clear Yn Yc Y5 centres t0 tn tc t tb;
