## Runs the test blocks of every plug-in and of every function file (the
## public functions and their shared helpers) against each build folder named on the command line, and ends with one
## line "N passed, N failed".  The public functions call the plug-ins, so
## running their tests against every build proves each build gives them the
## same results.  Exits non-zero on any failure or when a plug-in cannot be
## loaded.
1;

function [pass, fail] = run_build (builddir, names, sources, fronts)
  pass = 0;
  fail = 0;
  addpath (builddir);
  unwind_protect
    for k = 1:numel (names)
      fcn = names{k};
      where = which (fcn);
      if (exist (fcn) != 3 || ! strncmp (where, builddir, numel (builddir)))
        printf ("FAIL  %s: no plug-in in %s\n", fcn, builddir);
        fail += 1;
        continue;
      endif
      try
        feval (fcn);        # loads the plug-in; the usage error is expected
      catch err
        if (isempty (strfind (err.message, "Invalid call")))
          printf ("FAIL  %s: loading failed: %s\n", fcn, err.message);
          fail += 1;
          continue;
        endif
      end_try_catch
      [p, f] = run_tests (fcn, sources{k}, builddir);
      pass += p;
      fail += f;
    endfor
    for k = 1:numel (fronts)
      [~, fcn] = fileparts (fronts{k});
      [p, f] = run_tests (fcn, fronts{k}, builddir);
      pass += p;
      fail += f;
    endfor
  unwind_protect_cleanup
    rmpath (builddir);
    clear (names{:});      # unload, so the next build's plug-ins are the ones called
  end_unwind_protect
endfunction

function [pass, fail] = run_tests (fcn, source, builddir)
  t0 = tic ();
  [pass, nmax] = test (source, "quiet", stdout);
  fail = nmax - pass;
  printf ("%-16s %-12s %3d of %3d passed  (%.1f s)\n", fcn, builddir, pass, nmax, toc (t0));
endfunction

top = pwd ();
folders = {"binding", "rowselect", "nearscan", "nominal", "treeshare", "barneshut"};
sources = {};
fronts = {};
for k = 1:numel (folders)
  where = fullfile (top, folders{k});
  found = dir (fullfile (where, "__*__.cc"));
  sources = [sources, cellfun(@(f) fullfile (where, f), {found.name}, "uniformoutput", false)];
  found = dir (fullfile (where, "*.m"));
  fronts = [fronts, cellfun(@(f) fullfile (where, f), {found.name}, "uniformoutput", false)];
  addpath (where);
endfor
names = cellfun (@(s) nthargout (2, @fileparts, s), sources, "uniformoutput", false);
builds = argv ();
if (isempty (builds))
  builds = {"build"};
endif

pass = 0;
fail = 0;
for b = 1:numel (builds)
  [p, f] = run_build (fullfile (top, builds{b}), names, sources, fronts);
  pass += p;
  fail += f;
endfor
printf ("%d passed, %d failed\n", pass, fail);
exit (fail > 0);
