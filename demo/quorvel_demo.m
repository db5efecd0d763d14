## Runs every quorvel kernel that has been built on the shipped sample data
## and prints what it found.  Run from the repository root: make demo.
1;
top = pwd ();
addpath (fullfile (top, "build"));
addpath (fullfile (top, "demo"));

## Fisher's iris measurements (public domain): 150 flowers, 4 measurements
## in centimetres, three species.
fid = fopen (fullfile (top, "data", "iris.csv"));
fgetl (fid);
cols = textscan (fid, "%f%f%f%f%s", "Delimiter", ",");
fclose (fid);
iris_X = [cols{1:4}];
[iris_names, ~, iris_species] = unique (cols{5});
printf ("iris: %d flowers, %d measurements, species %s\n\n", rows (iris_X),
        columns (iris_X), strjoin (iris_names', ", "));

demos = {"rowsmallest", "nearscan", "levelgap", "forestshare", "cellrepulse"};
for k = 1:numel (demos)
  fcn = ["__" demos{k} "__"];
  script = fullfile (top, "demo", ["demo_" demos{k} ".m"]);
  if (exist (fcn) == 3 && exist (script, "file"))
    printf ("== %s\n", fcn);
    run (script);
    printf ("\n");
  endif
endfor
