## Installs the package tarball named on the command line into a scratch
## prefix, loads it, runs the tests of every plug-in and public function
## against the installed copy and the demo, then uninstalls it.  Ends with one line "N passed, N failed".
1;
tarball = make_absolute_filename (argv (){1});
scratch = tempname ();
mkdir (scratch);
pkg ("prefix", fullfile (scratch, "pkg"), fullfile (scratch, "arch"));
pkg ("local_list", fullfile (scratch, "octave_packages"));
pkg ("global_list", fullfile (scratch, "octave_packages_global"));
pass = 0;
fail = 0;
function [pass, fail] = check (ok, what, pass, fail)
  if (ok)
    pass += 1;
  else
    printf ("FAIL  %s\n", what);
    fail += 1;
  endif
endfunction

unwind_protect
  pkg ("install", "-local", tarball);
  have = pkg ("list");
  [pass, fail] = check (sum (cellfun (@(d) strcmp (d.name, "quorvel"), have)) == 1, "installed", pass, fail);
  pkg ("load", "quorvel");
  ## Every plug-in and every public function the package ships, found in
  ## the installed copy itself.
  info = pkg ("list", "quorvel"){1};
  octs = dir (fullfile (info.archprefix, "*", "__*__.oct"));
  if (isempty (octs))
    octs = dir (fullfile (info.archprefix, "__*__.oct"));
  endif
  kernels = regexprep ({octs.name}, '\.oct$', '');
  ms = dir (fullfile (info.dir, "*.m"));
  fronts = setdiff (regexprep ({ms.name}, '\.m$', ''), {"quorvel_demo"});
  [pass, fail] = check (numel (kernels) >= 5, "the plug-ins are installed", pass, fail);
  for k = 1:numel (kernels)
    fcn = kernels{k};
    where = which (fcn);
    [pass, fail] = check (exist (fcn) == 3 && strncmp (where, scratch, numel (scratch)),
                          [fcn " loads from the installed package"], pass, fail);
    text = get_help_text (fcn);
    [pass, fail] = check (! isempty (strfind (text, ["} " fcn " ("])) ...
                          && ! isempty (strfind (text, "{quorvel}")),
                          [fcn " help text"], pass, fail);
  endfor
  for k = 1:numel (fronts)
    fcn = fronts{k};
    where = which (fcn);
    [pass, fail] = check (exist (fcn) == 2 && strncmp (where, scratch, numel (scratch)),
                          [fcn " is found in the installed package"], pass, fail);
    [text, form] = get_help_text (fcn);
    [pass, fail] = check (strcmp (form, "texinfo") && ! isempty (strfind (text, [fcn " ("])),
                          [fcn " help text"], pass, fail);
  endfor
  for fcn = [kernels, fronts]
    [n, nmax] = test (fcn{1}, "quiet", stdout);
    printf ("%-16s installed    %3d of %3d passed\n", fcn{1}, n, nmax);
    [pass, fail] = check (nmax > 0, [fcn{1} " has tests in the package"], pass, fail);
    pass += n;
    fail += nmax - n;
  endfor
  out = evalc ("quorvel_demo");
  [pass, fail] = check (! isempty (strfind (out, "== knnsearch")), "demo runs", pass, fail);
  pkg ("unload", "quorvel");
  pkg ("uninstall", "-local", "quorvel");
  left = pkg ("list");
  [pass, fail] = check (! any (cellfun (@(d) strcmp (d.name, "quorvel"), left)), "uninstalled", pass, fail);
  [pass, fail] = check (! exist ("__nearscan__") && ! exist ("knnsearch"), "gone from the path", pass, fail);
unwind_protect_cleanup
  confirm_recursive_rmdir (false, "local");
  rmdir (scratch, "s");
end_unwind_protect
printf ("%d passed, %d failed\n", pass, fail);
exit (fail > 0);
