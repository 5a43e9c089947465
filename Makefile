# Thin wrapper over CMake: `make demo` and `make test` work on a fresh machine.
MAKEFLAGS += --no-print-directory
BUILD ?= build
SAN_BUILD ?= build-asan
DEMO_BUILD ?= build-demo
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all deps configure build demo test pytest asan clean

all: build

deps:
	@sh tools/install_deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# The demo needs only the library: its own build folder without tests,
# benchmarks and the tool, and only the two demo targets.
demo:
	@sh tools/install_deps.sh cmake g++ make
	@cmake -S . -B $(DEMO_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNFILE_TESTS=OFF \
	  -DVARNFILE_BENCH=OFF -DVARNFILE_TOOLS=OFF $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(DEMO_BUILD) -j $(JOBS) --target varnfile_demo varnfile_cpp_demo
	@$(DEMO_BUILD)/varnfile_demo
	@$(DEMO_BUILD)/varnfile_cpp_demo

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Only the Python package's tests, with pytest's own report.
pytest: build
	@cd $(BUILD) && ctest -R '^python_package$$' -V | sed -n 's/^[0-9]*: //p' | grep -vE '^( |Test command|Working Directory|Environment variables|Test timeout)'

asan: deps
	@cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DVARNFILE_SANITIZE=ON -DVARNFILE_BENCH=OFF $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(SAN_BUILD) -j $(JOBS)
	@cd $(SAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(DEMO_BUILD)
