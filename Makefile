# The front door: every build step of the project goes through CMake from here.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all build test run format format-check clean

all: build

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)

build: $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

# Every test: unit tables, pseudo-terminal integration tests, the real binary end to end.
test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The daemon on the real bench: scans /dev for the boards' serial ports, serves port 2015.
run: build
	./$(BUILD_DIR)/benchd

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

format-check:
	clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD_DIR)
