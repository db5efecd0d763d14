#!/bin/sh
# Compiles every plug-in for aarch64 with Debian's cross compiler against
# this host's Octave headers, in the fast build and in the plain one, with
# the flags the real builds use: the package must build off x86.  Code
# generation only (-c into a scratch folder); nothing is linked or run.
#
#   tests/cross.sh            from the top of the source tree

set -u
cd "$(dirname "$0")/.." || exit 2

CROSS=${CROSS:-aarch64-linux-gnu-g++}
if ! command -v "$CROSS" >/dev/null 2>&1; then
  echo "cross.sh: installing g++-aarch64-linux-gnu"
  { apt-get update && DEBIAN_FRONTEND=noninteractive \
      apt-get install -y --no-install-recommends g++-aarch64-linux-gnu; } >/dev/null ||
    { echo "cross.sh: cannot install the aarch64 cross compiler."; exit 2; }
fi
MKOCTFILE=${MKOCTFILE:-mkoctfile}
if ! command -v "$MKOCTFILE" >/dev/null 2>&1; then
  echo "cross.sh: mkoctfile is missing (make host installs it)."
  exit 2
fi

# mkoctfile's own include and preprocessor flags, minus what only the host
# compiler understands; the warning and code flags are the Makefile's.
INC=$("$MKOCTFILE" -p INCFLAGS)
CPP=$("$MKOCTFILE" -p CPPFLAGS)
PIC=$("$MKOCTFILE" -p CXXPICFLAG)
FLAGS="-std=gnu++17 -O2 -Wall -Wextra -Werror -ffp-contract=off -fno-math-errno"

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
passed=0
failed=0
for src in */__*__.cc; do
  for variant in fast plain; do
    extra=""
    [ "$variant" = plain ] && extra="-DQUORVEL_PLAIN"
    obj="$out/$(basename "$src" .cc)-$variant.o"
    # shellcheck disable=SC2086
    if "$CROSS" $FLAGS $PIC $CPP $INC $extra -c "$src" -o "$obj" 2>"$out/log"; then
      passed=$((passed + 1))
      echo "ok   $src ($variant)"
    else
      failed=$((failed + 1))
      echo "FAIL $src ($variant)"
      sed 's/^/     /' "$out/log" | head -40
    fi
  done
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
