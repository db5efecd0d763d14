## Times every built kernel and every public function on its workload next
## to plain Octave and the peers users know, and prints the machine's floors.
## Run from the repository root: make bench.
1;
top = pwd ();
addpath (fullfile (top, "build"));
addpath (fullfile (top, "build", "bench"));
addpath (fullfile (top, "bench"));
for folder = {"binding", "rowselect", "nearscan", "nominal", "treeshare", "barneshut"}
  addpath (fullfile (top, folder{1}));
endfor

probe = rand (8e7, 1);
[read_rate, dterm_rate, sterm_rate] = __benchfloor__ (probe);
clear probe;
cpu = strtrim (regexprep (fileread ("/proc/cpuinfo"), '(?s).*?model name\s*:\s*([^\n]*).*', '$1'));
printf ("quorvel benchmark, %s, %s, one thread\n", datestr (now (), "yyyy-mm-dd"), cpu);
printf ("measured: read %.1f GB/s; sub-mul-add terms %.3g/s double, %.3g/s single (512-bit vectors)\n\n",
        read_rate / 1e9, dterm_rate, sterm_rate);
printf ("%-34s %10s %10s %12s %8s\n", "workload", "median s", "min s", "baseline s", "ratio");

## The kernels first, then the public functions.  The scripts share this
## workspace (they read the rates above), so the loop's names are unusual.
bench_order__ = {"rowsmallest", "nearscan", "levelgap", "forestshare", "cellrepulse", ...
                 "knnsearch", "tsne", "nomcluster", "treeshap"};
for bench_k__ = 1:numel (bench_order__)
  bench_name__ = bench_order__{bench_k__};
  bench_script__ = fullfile (top, "bench", ["bench_" bench_name__ ".m"]);
  if ((exist (["__" bench_name__ "__"]) == 3 || exist (bench_name__) == 2)
      && exist (bench_script__, "file"))
    run (bench_script__);
  endif
endfor
