## The quorvel tour: each public function on data shipped with the package,
## with what it found printed and its pictures saved as PNG files.  Run from
## the repository root with make demo, or as quorvel_demo once the package
## is loaded.
1;

## Each part runs in a workspace of its own that holds only data_dir and
## out_dir, so no part can disturb the tour or the next part.
function tour_part (script, data_dir, out_dir)
  run (script);
endfunction

## In the source tree the parts stand beside this script, the data in
## ../data, the plug-ins in ../build and the functions in their capability
## folders; in the installed package the parts and the data stand in
## quorvel_demo_files/ and everything else is loaded.
here = fileparts (mfilename ("fullpath"));
parts = here;
data_dir = fullfile (here, "..", "data");
out_dir = fullfile (tempdir (), "quorvel_demo");
if (isfolder (fullfile (here, "quorvel_demo_files")))
  parts = fullfile (here, "quorvel_demo_files");
  data_dir = parts;
endif
top = fullfile (here, "..");
if (isfolder (fullfile (top, "build")))
  top = canonicalize_file_name (top);
  addpath (fullfile (top, "build"));
  for folder = {"binding", "rowselect", "nearscan", "nominal", "treeshare", "barneshut"}
    addpath (fullfile (top, folder{1}));
  endfor
  out_dir = fullfile (top, "build", "demo");
  data_dir = fullfile (top, "data");
endif
if (! isfolder (out_dir))
  mkdir (out_dir);
endif

## Pictures are drawn off screen by gnuplot, so the tour runs without a display.
if (isempty (file_in_path (getenv ("PATH"), "gnuplot")))
  error ("quorvel_demo: gnuplot is needed for the pictures; install Debian's gnuplot-nox.");
endif
warning ("off", "Octave:gnuplot-graphics");
graphics_toolkit ("gnuplot");
set (0, "defaultfigurevisible", "off");

printf ("quorvel tour: data from %s, pictures in %s\n\n", data_dir, out_dir);
for fcn = {"knnsearch", "tsne", "nomcluster", "treeshap"}
  script = fullfile (parts, ["demo_" fcn{1} ".m"]);
  if (exist (fcn{1}) == 2 && exist (script, "file"))
    printf ("== %s\n", fcn{1});
    tour_part (script, data_dir, out_dir);
    printf ("\n");
  endif
endfor
