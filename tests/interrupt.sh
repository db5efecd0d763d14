#!/usr/bin/env bash
# Interrupts a long __levelgap__ call in ADDQ mode inside an interactive
# interpreter, then checks that the call ended promptly with the host's
# interrupt, that the interpreter ran the next command, and that the
# plug-in gives the same results as before the interrupt.  A second
# interpreter does the same with a long knnsearch, which works through
# blocks of queries and must stop within about a second of the signal.
# Usage: tests/interrupt.sh BUILDDIR
set -u
build=$(cd "${1:-build}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
pid=; pid2=
trap 'exec 3>&- 4>&-; kill -9 $pid $pid2 2>/dev/null; rm -rf "$work"' EXIT
mkfifo "$work/in"
octave-cli --norc --quiet --no-history --no-line-editing -i <"$work/in" >"$work/out" 2>&1 &
pid=$!
exec 3>"$work/in"

cat >&3 <<OCT
PS1 (""); PS2 ("");
addpath ("$build");
rand ("seed", 7);
X = randi (6, 400, 12);  Y = randi (6, 300, 12);  w = ones (1, 12);
before = __levelgap__ (X, Y, [], "lin1", w, true);
big = randi (40, 30000, 30);  bigY = randi (40, 3000, 30);
printf ("started\n"); fflush (stdout);
t0 = tic ();  D = __levelgap__ (big, bigY, [], "lin1", ones (1, 30), true);  printf ("finished\n");
OCT

for i in $(seq 1 600); do
  grep -q started "$work/out" && break
  sleep 0.1
done
sleep 1
stamp=$(date +%s.%N)
kill -INT "$pid"

cat >&3 <<OCT
printf ("interrupted after %.2f s\n", toc (t0));
printf ("result assigned: %d\n", exist ("D", "var"));
after = __levelgap__ (X, Y, [], "lin1", w, true);
printf ("same results again: %d\n", isequal (before, after));
exit (0);
OCT
exec 3>&-

for i in $(seq 1 300); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
cat "$work/out"
echo "signal sent $(echo "$(date +%s.%N) - $stamp" | bc) s before the interpreter exited"
pass=0; fail=0
check () { if grep -q -E "$1" "$work/out"; then pass=$((pass+1)); else echo "FAIL  $2"; fail=$((fail+1)); fi; }
check 'started$' "the long call started"
check '^interrupted after [0-4]\.[0-9]+ s' "the interpreter ran the next command"
check '^result assigned: 0' "the interrupted call returned nothing"
check '^same results again: 1' "the plug-in is callable again with the same results"
if grep -q '^finished' "$work/out"; then echo "FAIL  the call ran to its end"; fail=$((fail+1)); fi

# Second case: knnsearch, about 25 times the work of a 2000-query search
# of 100000 points, interrupted one second in.
mkfifo "$work/in2"
octave-cli --norc --quiet --no-history --no-line-editing -i <"$work/in2" >"$work/out2" 2>&1 &
pid2=$!
exec 4>"$work/in2"

cat >&4 <<OCT
PS1 (""); PS2 ("");
addpath ("$build", "$root/nearscan", "$root/binding");
randn ("state", 7);
X = randn (400, 8);  Y = randn (300, 8);
[bi, bd] = knnsearch (X, Y, "K", 5);
big = randn (250000, 32);  bigY = randn (20000, 32);
printf ("knnsearch started\n"); fflush (stdout);
t0 = tic ();  [idx, D] = knnsearch (big, bigY, "K", 10);  printf ("knnsearch finished\n");
OCT

for i in $(seq 1 600); do
  grep -q 'knnsearch started' "$work/out2" && break
  sleep 0.1
done
sleep 1
stamp=$(date +%s.%N)
kill -INT "$pid2"

cat >&4 <<OCT
printf ("knnsearch interrupted after %.2f s\n", toc (t0));
printf ("knnsearch result assigned: %d\n", exist ("idx", "var"));
[ai, ad] = knnsearch (X, Y, "K", 5);
printf ("knnsearch same results again: %d\n", isequal (bi, ai) && isequal (bd, ad));
exit (0);
OCT
exec 4>&-

lag=
for i in $(seq 1 300); do
  if [ -z "$lag" ] && grep -q '^knnsearch interrupted' "$work/out2"; then
    lag=$(echo "$(date +%s.%N) - $stamp" | bc)
  fi
  kill -0 "$pid2" 2>/dev/null || break
  sleep 0.05
done
cat "$work/out2"
echo "knnsearch: the interpreter answered ${lag:-never} s after the signal"
check2 () { if grep -q -E "$1" "$work/out2"; then pass=$((pass+1)); else echo "FAIL  $2"; fail=$((fail+1)); fi; }
check2 'knnsearch started$' "the long knnsearch started"
check2 '^knnsearch interrupted after [0-2]\.[0-9]+ s' "the interpreter ran the next command soon after"
check2 '^knnsearch result assigned: 0' "the interrupted knnsearch returned nothing"
check2 '^knnsearch same results again: 1' "knnsearch gives the same results again"
if [ -n "$lag" ] && [ "$(echo "$lag < 1.5" | bc)" -eq 1 ]; then pass=$((pass+1)); else echo "FAIL  knnsearch stopped within about a second of the signal"; fail=$((fail+1)); fi
if grep -q '^knnsearch finished' "$work/out2"; then echo "FAIL  knnsearch ran to its end"; fail=$((fail+1)); fi
echo "$pass passed, $fail failed"
[ "$fail" -eq 0 ]
