## Runs the test blocks of every plug-in against each build folder named on
## the command line, and ends with one line "N passed, N failed".  Exits
## non-zero on any failure or when a plug-in cannot be loaded.
1;

function [pass, fail] = run_build (top, builddir, names, sources)
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
      t0 = tic ();
      [n, nmax] = test (sources{k}, "quiet", stdout);
      printf ("%-16s %-12s %3d of %3d passed  (%.1f s)\n", fcn, builddir, n, nmax, toc (t0));
      pass += n;
      fail += nmax - n;
    endfor
  unwind_protect_cleanup
    rmpath (builddir);
    clear (names{:});      # unload, so the next build's plug-ins are the ones called
  end_unwind_protect
endfunction

top = pwd ();
plugins = {"rowselect/__rowsmallest__", "nearscan/__nearscan__", ...
           "nominal/__levelgap__", "treeshare/__forestshare__", ...
           "barneshut/__cellrepulse__"};
have = cellfun (@(p) exist (fullfile (top, [p ".cc"]), "file") == 2, plugins);
plugins = plugins(have);
names = cellfun (@(p) p(find (p == "/", 1) + 1:end), plugins, "uniformoutput", false);
sources = cellfun (@(p) fullfile (top, [p ".cc"]), plugins, "uniformoutput", false);
builds = argv ();
if (isempty (builds))
  builds = {"build"};
endif


pass = 0;
fail = 0;
for b = 1:numel (builds)
  [p, f] = run_build (top, fullfile (top, builds{b}), names, sources);
  pass += p;
  fail += f;
endfor
printf ("%d passed, %d failed\n", pass, fail);
exit (fail > 0);
