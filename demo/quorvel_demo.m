## Runs every quorvel kernel that has been built on the shipped sample data
## and prints what it found.  Run from the repository root: make demo.
1;
## In the source tree the parts stand beside this script, the data in
## ../data and the kernels in ../build; in the installed package the parts
## and the data stand in quorvel_demo_files/ and the kernels are loaded.
here = fileparts (mfilename ("fullpath"));
parts = here;
data = fullfile (here, "..", "data", "iris.csv");
if (isfolder (fullfile (here, "quorvel_demo_files")))
  parts = fullfile (here, "quorvel_demo_files");
  data = fullfile (parts, "iris.csv");
endif
if (isfolder (fullfile (here, "..", "build")))
  addpath (fullfile (here, "..", "build"));
endif

## Fisher's iris measurements (public domain): 150 flowers, 4 measurements
## in centimetres, three species.
fid = fopen (data);
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
  script = fullfile (parts, ["demo_" demos{k} ".m"]);
  if (exist (fcn) == 3 && exist (script, "file"))
    printf ("== %s\n", fcn);
    run (script);
    printf ("\n");
  endif
endfor
