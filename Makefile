# The front door. `make run` and `make test` each install what is missing (as root through
# apt-get; otherwise they print the one line to run), configure, build, then run.
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
# The system directory: Horatone.ini and the voices' drive trees.
ROOT ?= $(if $(filter 0,$(shell id -u)),/var/lib/horatone,$(HOME)/.local/share/horatone)
# Extra arguments for `make run`, e.g. ARGS="--headless --start-at '2026-12-06 13:59:50'".
ARGS ?=

.PHONY: deps configure build test run voices deb sanitize screenshots clean

deps:
	@tools/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

voices: deps
	@mkdir -p "$(ROOT)"
	@tools/make-voices "$(ROOT)"

run: build voices
	$(BUILD)/app/horatone --root "$(ROOT)" $(ARGS)

deb: build
	@cmake --build $(BUILD) --target voices
	@cd $(BUILD) && cpack -G DEB
	@ls $(BUILD)/*.deb

sanitize:
	@tools/install-deps
	@cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DHORATONE_SANITIZE=ON >/dev/null
	@cmake --build build-asan -j $(JOBS)
	@ctest --test-dir build-asan --output-on-failure -j $(JOBS)

# Pictures of the window (three tabs, Details, About, node panel) in ./screenshots/, drawn on
# the offscreen platform.
screenshots: build
	@QT_QPA_PLATFORM=offscreen $(BUILD)/tests/horatone_screenshots screenshots

clean:
	rm -rf $(BUILD) build-asan
