## Installs the package tarball named on the command line into a scratch
## prefix, loads it, runs its tests against the installed copy and the
## demo, then uninstalls it.  Ends with one line "N passed, N failed".
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
  names = {"__rowsmallest__", "__nearscan__", "__levelgap__", ...
           "__forestshare__", "__cellrepulse__"};
  for k = 1:numel (names)
    fcn = names{k};
    where = which (fcn);
    [pass, fail] = check (exist (fcn) == 3 && strncmp (where, scratch, numel (scratch)),
                          [fcn " loads from the installed package"], pass, fail);
    text = get_help_text (fcn);
    [pass, fail] = check (! isempty (strfind (text, ["} " fcn " ("])) ...
                          && ! isempty (strfind (text, "{quorvel}")),
                          [fcn " help text"], pass, fail);
    [n, nmax] = test (fcn, "quiet", stdout);
    printf ("%-16s installed    %3d of %3d passed\n", fcn, n, nmax);
    [pass, fail] = check (nmax > 0, [fcn " has tests in the package"], pass, fail);
    pass += n;
    fail += nmax - n;
  endfor
  out = evalc ("quorvel_demo");
  [pass, fail] = check (! isempty (strfind (out, "== __cellrepulse__")), "demo runs", pass, fail);
  pkg ("unload", "quorvel");
  pkg ("uninstall", "-local", "quorvel");
  left = pkg ("list");
  [pass, fail] = check (! any (cellfun (@(d) strcmp (d.name, "quorvel"), left)), "uninstalled", pass, fail);
  [pass, fail] = check (! exist ("__nearscan__"), "gone from the path", pass, fail);
unwind_protect_cleanup
  confirm_recursive_rmdir (false, "local");
  rmdir (scratch, "s");
end_unwind_protect
printf ("%d passed, %d failed\n", pass, fail);
exit (fail > 0);
