# Ravelin: build on Linux into real Windows executables, test under Wine.
BUILD ?= build
TRAP_BUILD ?= $(BUILD)-trap
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=Release
SOURCES := $(shell find src tests tools simulator bench -name '*.cpp' -o -name '*.h' 2>/dev/null)

.PHONY: all bootstrap configure build check test trap-test test-wine10 mutants mutants-changed mutants-src lint demo dist dist-test-signed windows-kit format format-check clean

all: build

bootstrap:
	@tools/bootstrap.sh

$(BUILD)/CMakeCache.txt: | bootstrap
	cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake $(CMAKE_FLAGS)

configure: bootstrap $(BUILD)/CMakeCache.txt

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# A test that fails is run once more and counts as passed when the second run passes; the failed
# run's output stays in the log, and the run ends with a line naming every test that needed the
# second run, so a flaky test is seen on a green run too. Under Wine a test process very rarely
# ends at once with no output (about once in 3,000 starts here, never reproduced on demand), which
# would otherwise fail a whole run that has nothing wrong.
CTEST_FLAGS ?= --output-on-failure --repeat until-pass:2
# run_tests BUILD: runs the tests of one build tree and names those that passed only when run again.
run_tests = ctest --test-dir $(1) $(CTEST_FLAGS) -j $(JOBS); status=$$?; \
	tools/retried-tests.sh $(1); exit $$status

# The edit loop: the normal flavour's build and tests.
check: build
	@$(call run_tests,$(BUILD))

# Everything CI and a new machine run: the format, both flavours.
test: build format-check
	@$(call run_tests,$(BUILD))
	@$(MAKE) --no-print-directory trap-test

# The same tests once more, built to trap undefined behaviour and out-of-bounds container access.
# Built at -O1: it compiles in about two thirds of the time of -O3, and it is the lowest level at
# which every check is inserted (at -O0 GCC leaves out the object-size check of out-of-bounds
# access through pointers, which needs the optimiser's size analysis).
TRAP_CMAKE_FLAGS ?= $(CMAKE_FLAGS) -DRAVELIN_TRAP_UNDEFINED=ON -DCMAKE_CXX_FLAGS_RELEASE="-O1 -DNDEBUG"
trap-test: bootstrap
	cmake -S . -B $(TRAP_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake $(TRAP_CMAKE_FLAGS) >/dev/null
	cmake --build $(TRAP_BUILD) -j $(JOBS)
	@$(call run_tests,$(TRAP_BUILD))

# The second test platform: the tests already built in $(BUILD), run again under Wine 10 from
# Debian 13's packages, in a Debian 13 root of their own made once and reused
# (tools/wine10-tests.sh). On Debian 13 make test runs under Wine 10 already, and this does nothing.
# CI runs it after make test.
test-wine10: build
	@tools/wine10-tests.sh $(BUILD)

# The mutation check (tests/mutants.txt): each listed decision broken in turn, in a scratch copy
# of the tree built in build-mutants/; every mutant must be killed by a test. Not part of make test.
# With MUTANTS_EVERY_KILLER=1 each mutant's tests run whole and every test that fails is named, for
# tools/test-kills.py to tell which tests kill something no other test does.
mutants: bootstrap
	tools/mutants.sh

# Generated mutants (tools/mutant-generator.py) of the product lines changed since BASE (default:
# the commit before HEAD), at most SAMPLE of them (default 40, about half an hour on two cores);
# and one of each line of src/ (about 2,100 mutants: most of a day on two cores), for the release
# check, in an order drawn once, each mutant tried only on the tests that run its line, and going
# on where an earlier run of the same tree stopped; or LAYER_SAMPLE of each layer's (a score per
# layer in an hour or two).
BASE ?= HEAD~1
SAMPLE ?= 40
LAYER_SAMPLE ?=
mutants-changed: bootstrap
	tools/mutants-changed.sh $(BASE) $(SAMPLE)
mutants-src: bootstrap
	mkdir -p build-mutants
	tools/mutant-generator.py --stats --seed src \
	  $(if $(LAYER_SAMPLE),--sample $(LAYER_SAMPLE) --per-layer,--per-line --shuffle) \
	  $$(git ls-files 'src/*.cpp' 'src/*.h') > build-mutants/src.txt
	$(if $(LAYER_SAMPLE),,MUTANTS_RESUME=1 MUTANTS_COVERAGE=1) tools/mutants.sh build-mutants/src.txt

# The second compiler and the static analysis (tools/lint.sh, .clang-tidy): clang 14 builds
# everything for the same target with -Wall -Wextra -Werror in build-lint/, then clang-tidy reads
# src/ and simulator/. Any warning fails. CI runs it after make test; make test does not.
LINT_BUILD ?= build-lint
lint: bootstrap
	tools/lint.sh $(LINT_BUILD)

demo: build
	@tools/demo.sh $(BUILD)

# The Windows test kit in dist/: the unit tests, the agent and run-tests.cmd, for a vendor to run on
# its own Windows 10 or 11 machines and send the report back (docs/windows-test-kit.md).
windows-kit: build
	@tools/windows-kit.sh $(BUILD) dist

# The release package in dist/, built in a tree of its own: ravelin-<version>-win-x64-unsigned.zip,
# -signed.zip or -test-signed.zip. Every time in it is the commit's, so two builds of one commit
# give the same bytes (a signature without a time stamp is refused when the commit's time lies
# outside the signer certificate's validity). Signing (tools/dist.sh says more): SIGN_CERT (a PEM
# chain, signer first) with SIGN_KEY (a key file, or a PKCS#11 URI with SIGN_PKCS11_MODULE), and
# SIGN_CA, the root the signature must chain to; SIGN_TIMESTAMP_URL adds an RFC 3161 time stamp,
# SIGN_TSA_CA names the root it must chain to. An agent signed elsewhere: SIGNED_AGENT with SIGN_CA.
# Packages left in dist/ go first, so a failed build leaves none.
DIST_BUILD ?= build-dist
EPOCH := $(shell git log -1 --format=%ct 2>/dev/null)
SIGNING := SIGN_CERT SIGN_KEY SIGN_CA SIGN_PKCS11_MODULE SIGN_TIMESTAMP_URL SIGN_TSA_CA SIGNED_AGENT
export $(SIGNING)
dist: bootstrap
	rm -f dist/ravelin-*-win-x64*.zip
	SOURCE_DATE_EPOCH=$(EPOCH) cmake -S . -B $(DIST_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	  -DCMAKE_BUILD_TYPE=Release >/dev/null
	SOURCE_DATE_EPOCH=$(EPOCH) cmake --build $(DIST_BUILD) --target ravelin -j $(JOBS)
	tools/dist.sh $(DIST_BUILD) dist $(EPOCH)

# The signing path tried on any clone, the first time: a throwaway chain valid from the commit's
# time signs the package, which is named test-signed. Never ship it.
TEST_CHAIN := $(DIST_BUILD)/test-chain
dist-test-signed: bootstrap
	tests/helpers/make-test-signing-chain.sh $(TEST_CHAIN) $$(( ($$(date +%s) - $(EPOCH)) / 86400 + 30 )) $(EPOCH)
	$(MAKE) dist SIGN_CERT=$(TEST_CHAIN)/chain.pem SIGN_KEY=$(TEST_CHAIN)/signer.key SIGN_CA=$(TEST_CHAIN)/root.pem

format:
	clang-format -i $(SOURCES)

format-check: bootstrap
	@clang-format --dry-run --Werror $(SOURCES) && echo "format: ok"

clean:
	rm -rf $(BUILD) $(TRAP_BUILD) $(DIST_BUILD) $(LINT_BUILD) build-mutants dist
