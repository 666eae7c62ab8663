# Two commands do everything on a fresh Debian machine (as root):
#   make run    install what is missing, build, run the demo chain
#   make test   install what is missing, build, run every test
# SANITIZE=1 builds into build-asan/ with AddressSanitizer and UndefinedBehaviorSanitizer;
# SANITIZE=thread into build-tsan/ with ThreadSanitizer.
# WERROR=1 turns warnings into errors (CI does).
# make package builds the Debian packages weft-pipe and libzeb-dev into $(BUILD_DIR)/;
# make package-check also checks them without installing them (scripts/check-package.sh).

JOBS     ?= $(shell nproc 2>/dev/null || echo 2)
SANITIZE ?= 0
WERROR   ?= 0
FUZZ_SECONDS ?= 30

ifeq ($(SANITIZE),1)
BUILD_DIR ?= build-asan
CMAKE_FLAGS += -DWEFT_SANITIZE=ON
else ifeq ($(SANITIZE),thread)
BUILD_DIR ?= build-tsan
CMAKE_FLAGS += -DWEFT_TSAN=ON
else
BUILD_DIR ?= build
endif
ifeq ($(WERROR),1)
CMAKE_FLAGS += -DWEFT_WERROR=ON
endif

.PHONY: all deps build run test package package-check bench fuzz format clean

all: build

deps:
	./scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j$(JOBS)

run: build
	cd $(BUILD_DIR) && ./weft-pipe -f ../examples/demo.json

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j$(JOBS) $(CTEST_ARGS)

package: build
	cd $(BUILD_DIR) && cpack -G DEB

package-check: package
	./scripts/check-package.sh $(BUILD_DIR)

# Benchmarks (not part of make test): builds with -DWEFT_BENCH=ON, then runs
# every benchmark script and program under bench/.
bench: deps
	cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS) -DWEFT_BENCH=ON -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD_DIR) -j$(JOBS)
	./bench/run-all.sh $(BUILD_DIR)

fuzz: deps
	./scripts/run-fuzzers.sh $(FUZZ_SECONDS)

format:
	git ls-files '*.cpp' '*.h' '*.c' | xargs clang-format -i

clean:
	rm -rf build build-asan build-tsan build-fuzz
