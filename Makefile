# Varnel: the two everyday commands.
#   make run    install what is missing, build in Release, open your PixInsight settings file
#               (or a scratch copy of the demo file when none is found)
#   make test   install what is missing, build, run every test
#   make package   build the Debian package $(BUILD)/release/varnel_<version>_amd64.deb
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: run test release package bench clean

run: release
	tools/run.sh $(BUILD)/release

release:
	tools/install-deps.sh run
	cmake -S . -B $(BUILD)/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVARNEL_BUILD_TESTS=OFF -DVARNEL_BUILD_BENCH=OFF
	cmake --build $(BUILD)/release -j $(JOBS)

package: release
	tools/install-deps.sh package
	cd $(BUILD)/release && cpack

test:
	tools/install-deps.sh test
	cmake -S . -B $(BUILD)/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD)/test -j $(JOBS)
	ctest --test-dir $(BUILD)/test --output-on-failure -j 2

bench:
	tools/install-deps.sh test
	cmake -S . -B $(BUILD)/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVARNEL_BUILD_TESTS=OFF
	cmake --build $(BUILD)/bench -j $(JOBS) --target varnel-bench
	$(BUILD)/bench/bench/varnel-bench

clean:
	rm -rf $(BUILD)
