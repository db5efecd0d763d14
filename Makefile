# quorvel: statistics and machine learning for GNU Octave: public functions
# (knnsearch, tsne, nomdist, nomcluster, treeshap) over exact C++ kernels
# built as oct-files.
#
#   make          build every plug-in into build/
#   make check    build, then run every test of every plug-in and function
#   make demo     build, then run the functions on the shipped data, with pictures
#   make sanitize the test suite under AddressSanitizer and UBSan
#   make fuzz     hostile argument lists, ordinary and sanitized builds
#   make cross    compile every plug-in for aarch64 as well
#   make bench    timings next to plain Octave and the peers, with the machine's floors
#   make dist     the package tarball; make distcheck installs and tests it
#
# Results must be bit for bit reproducible, so no multiply-add is ever
# fused (-ffp-contract=off) in any build.  The tests run against four
# builds: the fast one (widest vectors the CPU has), two capped at AVX2 and
# at SSE2, and the plain one with the reference loops only, which proves
# every vector path gives the same bits.

MKOCTFILE ?= mkoctfile
OCTAVE    ?= octave-cli
OCTAVE_RUN = $(OCTAVE) --norc --quiet --no-history
FLAGS     := -O2 -Wall -Wextra -ffp-contract=off -fno-math-errno

# One folder per capability: its plug-ins are the __name__.cc files in it,
# its public functions the .m files.
FOLDERS := rowselect nearscan nominal treeshare barneshut
SOURCES := $(wildcard $(FOLDERS:%=%/__*__.cc))
PLUGINS := $(SOURCES:.cc=)
NAMES   := $(notdir $(SOURCES:.cc=))
HEADERS := $(wildcard binding/*.h */*.h)
OCTS    := $(NAMES:%=build/%.oct)
VARIANTS := $(foreach v,avx2 sse2 plain,$(NAMES:%=build/$(v)/%.oct))

vpath %.cc $(dir $(PLUGINS))

.PHONY: all check sanitize fuzz cross demo bench dist distcheck host plotting peers clean
all: host $(OCTS)

# Every plug-in depends on every header: simple, and a header edit can never
# leave a stale plug-in behind.
build/%.oct: %.cc $(HEADERS)
	@mkdir -p $(@D)
	CXXFLAGS="$(FLAGS)" $(MKOCTFILE) -o $@ $<

build/avx2/%.oct: %.cc $(HEADERS)
	@mkdir -p $(@D)
	CXXFLAGS="$(FLAGS) -DQUORVEL_MAX_ISA=256" $(MKOCTFILE) -o $@ $<

build/sse2/%.oct: %.cc $(HEADERS)
	@mkdir -p $(@D)
	CXXFLAGS="$(FLAGS) -DQUORVEL_MAX_ISA=128" $(MKOCTFILE) -o $@ $<

build/plain/%.oct: %.cc $(HEADERS)
	@mkdir -p $(@D)
	CXXFLAGS="$(FLAGS) -DQUORVEL_PLAIN" $(MKOCTFILE) -o $@ $<

check: all $(VARIANTS)
	$(OCTAVE_RUN) tests/run_suite.m build build/avx2 build/sse2 build/plain

# The whole suite, then the hostile-input suite, under AddressSanitizer and
# UndefinedBehaviorSanitizer inside the real interpreter.  Octave itself is
# not instrumented, so leak reports (its own, at exit) are switched off, and
# short allocation stacks keep its interpreted tests fast enough.
SANFLAGS := -g -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all
SANENV    = ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:malloc_context_size=2:quarantine_size_mb=32 \
            UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
            LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)"
SANITIZE := $(NAMES:%=build/sanitize/%.oct)
# Calls per kernel; the sanitized build is about seven times slower, so it
# may be given fewer.
FUZZ_CALLS ?= 3000
FUZZ_SANITIZED_CALLS ?= $(FUZZ_CALLS)

build/sanitize/%.oct: %.cc $(HEADERS)
	@mkdir -p $(@D)
	CXXFLAGS="$(FLAGS) $(SANFLAGS)" LDFLAGS="-fsanitize=address,undefined" $(MKOCTFILE) -o $@ $<

sanitize: host $(SANITIZE)
	$(SANENV) $(OCTAVE_RUN) tests/run_suite.m build/sanitize

fuzz: all $(SANITIZE)
	$(OCTAVE_RUN) tests/fuzz.m build $(FUZZ_CALLS)
	$(SANENV) $(OCTAVE_RUN) tests/fuzz.m build/sanitize $(FUZZ_SANITIZED_CALLS)

cross:
	tests/cross.sh

demo: all plotting
	$(OCTAVE_RUN) demo/quorvel_demo.m

# Installs what is missing from Debian's packages, and nothing else: the
# interpreter and its headers; gnuplot for the pictures; the peers the bench
# compares with.
APT_INSTALL = { apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y
host:
	@command -v $(MKOCTFILE) >/dev/null && command -v $(OCTAVE) >/dev/null || \
	  $(APT_INSTALL) octave octave-dev; }
plotting:
	@command -v gnuplot >/dev/null || $(APT_INSTALL) gnuplot-nox; }
peers:
	@/usr/bin/python3 -c "import sklearn, xgboost" 2>/dev/null && command -v Rscript >/dev/null || \
	  $(APT_INSTALL) python3-sklearn python3-xgboost r-base-core; }

clean:
	rm -rf build

build/bench/%.oct: bench/%.cc
	@mkdir -p $(@D)
	CXXFLAGS="$(FLAGS)" $(MKOCTFILE) -o $@ $<

bench: all peers $(NAMES:%=build/plain/%.oct) build/bench/__benchfloor__.oct
	OMP_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1 $(OCTAVE_RUN) bench/run_bench.m

# The interpreter's package: pkg install quorvel-$(VERSION).tar.gz.
VERSION := 0.2.0
dist:
	package/assemble.sh $(VERSION)

distcheck: host plotting dist
	$(OCTAVE_RUN) tests/distcheck.m quorvel-$(VERSION).tar.gz
