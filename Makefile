# Front door of the project. `make run` and `make test` install what is
# missing, build and then start the program or run every test.
BUILD      ?= build
BUILD_ASAN ?= build-asan
CMAKE_ARGS ?=
JOBS       ?= $(shell nproc)

.PHONY: all deps configure build run test test-asan bench screenshots clean

all: build

deps:
	@tools/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS)

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

test: build
	@cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# The same tests built with AddressSanitizer and UBSan.
test-asan: deps
	@cmake -S . -B $(BUILD_ASAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVG_SANITIZE=ON \
	       -DVG_BENCH=OFF $(CMAKE_ARGS)
	@cmake --build $(BUILD_ASAN) -j $(JOBS)
	@cd $(BUILD_ASAN) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

bench: build
	@for b in $(BUILD)/bench/*/bench_*; do [ -x "$$b" ] && "$$b"; done

clean:
	@rm -rf $(BUILD) $(BUILD_ASAN)
