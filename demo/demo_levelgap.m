## __levelgap__ on the passengers and crew of the Titanic (1912).
## Source: the well-known Titanic survival table (Class x Sex x Age x
## Survived counts of the 2201 people aboard; public domain), expanded here
## to one row of level codes per person.
1;

function s = profile_text (row)
  cls = {"1st", "2nd", "3rd", "crew"};
  sex = {"male", "female"};
  age = {"child", "adult"};
  fate = {"died", "survived"};
  s = sprintf ("%s %s %s %s", cls{row(1)}, sex{row(2)}, age{row(3)}, fate{row(4)});
endfunction

## Counts by class (1st 2nd 3rd crew), one line per (survived, sex, age).
cells = [ ...
  ## survived sex age   1st  2nd  3rd  crew   (sex 1 male, age 1 child)
     1  1  1     0    0   35     0
     1  2  1     0    0   17     0
     1  1  2   118  154  387   670
     1  2  2     4   13   89     3
     2  1  1     5   11   13     0
     2  2  1     1   13   14     0
     2  1  2    57   14   75   192
     2  2  2   140   80   76    20];
people = zeros (0, 4);              # class, sex, age, survived
for r = 1:rows (cells)
  for c = 1:4
    people = [people; repmat([c, cells(r,2), cells(r,3), cells(r,1)], cells(r,3+c), 1)];
  endfor
endfor
printf ("Titanic: %d people, 4 nominal variables (class, sex, age, survived)\n", rows (people));

## The distinct profiles, scored with frequencies counted over everybody.
[prof, ~, which] = unique (people, "rows");
printf ("%d distinct profiles\n", rows (prof));
np = rows (prof);
[I, J] = find (triu (true (np), 1));
[~, o] = sortrows ([I J]);            # the condensed pair order
I = I(o);
J = J(o);
w = ones (1, 4);
for m = {"sm", "iof", "of", "lin", "goodall3", "eskin"}
  D = __levelgap__ (prof, [], people, m{1}, w);
  [dlo, klo] = min (D);
  [dhi, khi] = max (D);
  printf ("%-8s closest   %.3f  %-32s ~ %s\n", m{1}, dlo, profile_text (prof(I(klo),:)), profile_text (prof(J(klo),:)));
  printf ("%-8s farthest  %.3f  %-32s ~ %s\n", "", dhi, profile_text (prof(I(khi),:)), profile_text (prof(J(khi),:)));
endfor

## Two-set form: a few people against every profile, under lin.
probe = [1 2 2 2; 3 1 1 1; 4 1 2 1];
D = __levelgap__ (probe, prof, people, "lin", w);
pop = accumarray (which, 1);
for r = 1:rows (probe)
  own = find (ismember (prof, probe(r,:), "rows"));
  d = D(r,:);
  d(own) = Inf;
  [~, near] = min (d);
  printf ("lin: nearest other profile to %-26s is %-30s (%d people, d = %.3f)\n",
          profile_text (probe(r,:)), profile_text (prof(near,:)), pop(near), D(r,near));
endfor
