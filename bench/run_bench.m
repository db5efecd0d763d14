## Times every built kernel on its benchmark workload next to the plain
## Octave computation of the same result, and prints the machine's floors.
## Run from the repository root: make bench.
1;
top = pwd ();
addpath (fullfile (top, "build"));
addpath (fullfile (top, "build", "bench"));
addpath (fullfile (top, "bench"));

probe = rand (8e7, 1);
[read_rate, dterm_rate, sterm_rate] = __benchfloor__ (probe);
clear probe;
cpu = strtrim (regexprep (fileread ("/proc/cpuinfo"), '(?s).*?model name\s*:\s*([^\n]*).*', '$1'));
printf ("quorvel benchmark, %s, %s, one thread\n", datestr (now (), "yyyy-mm-dd"), cpu);
printf ("measured: read %.1f GB/s; sub-mul-add terms %.3g/s double, %.3g/s single (512-bit vectors)\n\n",
        read_rate / 1e9, dterm_rate, sterm_rate);
printf ("%-34s %10s %10s %12s %8s\n", "workload", "median s", "min s", "baseline s", "ratio");

benches = {"rowsmallest", "nearscan", "levelgap", "forestshare", "cellrepulse"};
for k = 1:numel (benches)
  script = fullfile (top, "bench", ["bench_" benches{k} ".m"]);
  if (exist (["__" benches{k} "__"]) == 3 && exist (script, "file"))
    run (script);
  endif
endfor
