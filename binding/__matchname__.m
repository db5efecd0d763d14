## -*- texinfo -*-
## @deftypefn {} {@var{name} =} __matchname__ (@var{fname}, @var{txt}, @var{names}, @var{what})
## Internal function of the quorvel package, called by its public functions;
## it is not meant to be called directly.
##
## Return the entry of the cell array @var{names} that @var{txt} names:
## exactly in any case, or else as an unambiguous prefix in any case, the
## way MATLAB users abbreviate option names and values.  Anything else is
## refused with one sentence that starts with @var{fname}, says whether
## @var{txt} was unknown or ambiguous as a @var{what} and lists the valid
## names.
## @end deftypefn

function name = __matchname__ (fname, txt, names, what)
  hit = strcmpi (txt, names);
  if (! any (hit) && ! isempty (txt))
    hit = strncmpi (txt, names, numel (txt));
  endif
  if (nnz (hit) != 1)
    if (any (hit))
      why = "ambiguous";
    else
      why = "unknown";
    endif
    error ("%s: %s %s '%s'; valid names are %s.", fname, why, what, txt,
           strjoin (names, ", "));
  endif
  name = names{hit};
endfunction

%!test
%! names = {"Distance", "DistParameter", "K", "Kernel"};
%! assert (__matchname__ ("f", "dista", names, "option"), "Distance");
%! assert (__matchname__ ("f", "k", names, "option"), "K");    # exact beats prefix
%! assert (__matchname__ ("f", "KERN", names, "option"), "Kernel");
%!error <f: ambiguous option 'dist'; valid names are Distance, DistParameter, K, Kernel.>
%! __matchname__ ("f", "dist", {"Distance", "DistParameter", "K", "Kernel"}, "option")
%!error <f: unknown metric ''> __matchname__ ("f", "", {"a", "b"}, "metric")
