# Front door of the project. `make run` and `make test` install what is
# missing, build and then start the program or run every test. Each target
# installs the groups of packages.txt that it needs (DEPS_GROUPS) and no more.
BUILD      ?= build
BUILD_ASAN ?= build-asan
BUILD_FUZZ ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = expand codec bmp jpeg
CMAKE_ARGS ?=
JOBS       ?= $(shell nproc)
PREFIX     ?= /usr/local
# What `make install` wrote and made, for `make uninstall`.
INSTALLED  ?= $(BUILD)/installed-files.txt

# Set per target below; a target's values hold for what it builds on.
DEPS_GROUPS = build
# What the target needs built besides the programs (tests, benchmarks).
BUILD_ARGS  =

.PHONY: all deps configure build run test test-asan fuzz bench screenshots install uninstall deb clean

all: build

deps:
	@tools/install-deps.sh $(DEPS_GROUPS)

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release $(BUILD_ARGS) $(CMAKE_ARGS)

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@if [ -z "$$DISPLAY$$WAYLAND_DISPLAY$$QT_QPA_PLATFORM" ]; then \
	   echo "make run: no display to open the windows on (neither DISPLAY nor WAYLAND_DISPLAY" >&2; \
	   echo "is set, nor QT_QPA_PLATFORM). Start it from a desktop session, or see the" >&2; \
	   echo "windows rendered to PNG files with 'make screenshots'." >&2; \
	   exit 1; \
	 fi
	@exec $(BUILD)/vendaru

# Renders both windows (at start, after "Kompres", after "Dekompres") into
# PNG files in $(BUILD)/screenshots, without a display.
screenshots: build
	@QT_QPA_PLATFORM=offscreen $(BUILD)/vendaru-screenshots $(BUILD)/screenshots

# The tests of the installed tree build and check the Debian package too.
test: DEPS_GROUPS = build test package
test: BUILD_ARGS = -DVG_TESTS=ON
test: build
	@cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# The same tests built with AddressSanitizer and UBSan (g++'s own).
test-asan: DEPS_GROUPS = build test
test-asan: deps
	@cmake -S . -B $(BUILD_ASAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVG_SANITIZE=ON \
	       -DVG_TESTS=ON -DVG_BENCH=OFF $(CMAKE_ARGS)
	@cmake --build $(BUILD_ASAN) -j $(JOBS)
	@cd $(BUILD_ASAN) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# Each fuzz target under libFuzzer for FUZZ_SECONDS seconds, built with clang,
# AddressSanitizer and UBSan. New inputs collect in $(BUILD_FUZZ)/corpus; an
# input that finds a fault is kept in $(BUILD_FUZZ)/faults/<target>/ (after
# the mend, add it to fuzz/corpus/<target>/ so that the tests replay it).
fuzz: DEPS_GROUPS = build fuzz
fuzz: deps
	@cmake -S . -B $(BUILD_FUZZ) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	       -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	       -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link \
	       -DVG_SANITIZE=ON -DVG_FUZZ=ON -DVG_TESTS=OFF -DVG_BENCH=OFF $(CMAKE_ARGS)
	@cmake --build $(BUILD_FUZZ) -j $(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))
	@for t in $(FUZZ_TARGETS); do \
	   mkdir -p $(BUILD_FUZZ)/corpus/$$t $(BUILD_FUZZ)/faults/$$t; \
	   log=$(BUILD_FUZZ)/fuzz_$$t.log; \
	   if $(BUILD_FUZZ)/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -timeout=20 -rss_limit_mb=2048 \
	        -print_final_stats=1 -artifact_prefix=$(BUILD_FUZZ)/faults/$$t/ \
	        $(BUILD_FUZZ)/corpus/$$t fuzz/corpus/$$t >$$log 2>&1; then \
	     echo "fuzz_$$t: $$(grep -E '^#[0-9]+[[:space:]]+DONE' $$log | tail -1)"; \
	   else \
	     tail -n 40 $$log; echo "fuzz_$$t found a fault; the input is in $(BUILD_FUZZ)/faults/$$t/" >&2; \
	     exit 1; \
	   fi; \
	 done

bench: DEPS_GROUPS = build test
bench: BUILD_ARGS = -DVG_BENCH=ON
bench: build
	@for b in $(BUILD)/bench/*/bench_*; do [ -x "$$b" ] && "$$b"; done

# Installs the programs, stripped, with their menu entry, icons, file type
# and manual pages under $(PREFIX); DESTDIR is honoured. Builds first when
# needed (an already configured build folder is only brought up to date;
# run as root, it leaves the build folder to its owner). `make uninstall`
# removes what the last `make install` wrote and made. See dist/install.sh.
install: $(if $(wildcard $(BUILD)/build.ninja),,configure)
	@JOBS=$(JOBS) DESTDIR="$(DESTDIR)" dist/install.sh install $(BUILD) "$(PREFIX)" "$(INSTALLED)"

uninstall:
	@dist/install.sh uninstall "$(INSTALLED)"

# The Debian package, into $(BUILD)/package, built from the programs and
# their files alone, then checked by lintian.
deb: DEPS_GROUPS = build package
deb: configure
	@cmake --build $(BUILD) -j $(JOBS) --target vg_installed
	@rm -f $(BUILD)/package/*.deb
	@cd $(BUILD) && cpack --config CPackConfig.cmake
	@lintian -I --fail-on error $(BUILD)/package/*.deb
	@ls $(BUILD)/package/*.deb

clean:
	@rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_FUZZ)
