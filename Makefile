# The front door. `make run` and `make test` each install what is missing (as root through
# apt-get; otherwise they print the one line to run), configure, build, then run.
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
# The system directory: Horatone.ini and the voices' drive trees.
ROOT ?= $(if $(filter 0,$(shell id -u)),/var/lib/horatone,$(HOME)/.local/share/horatone)
# Extra arguments for `make run`, e.g. ARGS="--headless --start-at '2026-12-06 13:59:50'".
ARGS ?=

FUZZ_SECONDS ?= 60
# What tools/install-deps installs and whether the tests are built: `make run` needs neither the
# tests nor what they start; everything else builds them.
DEPS ?= test
TESTS ?= ON
run voices: DEPS = run
run voices: TESTS = OFF
# The packages: `make deb` for this machine, `make deb-arm64` (or deb-armhf) cross-built, with
# the tests that need no outside server run under qemu. They land in $(BUILD)/deb/.
VERSION := $(shell dpkg-parsechangelog -S Version 2>/dev/null || echo 2.0.1)
DEB_OUT = $(BUILD)/deb
PARALLEL = parallel=$(JOBS)

.PHONY: deps configure build test run voices deb deb-arm64 deb-armhf lintian sanitize screenshots fuzz bench bench-voices clean

deps:
	@tools/install-deps $(DEPS)

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DHORATONE_WERROR=ON \
	  -DHORATONE_BUILD_TESTS=$(TESTS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

voices: deps
	@mkdir -p "$(ROOT)"
	@tools/make-voices "$(ROOT)"

run: build voices
	$(BUILD)/app/horatone --root "$(ROOT)" $(ARGS)

# dpkg-buildpackage leaves its files beside the source folder; they are moved to $(DEB_OUT).
# The voices that `make run` made in $(ROOT) are reused when the generator and tables match.
define move_debs
	@mkdir -p $(DEB_OUT)
	@mv ../horatone*_$(VERSION)_$(1).* $(DEB_OUT)/
	@mv ../horatone-voices_$(VERSION)_all.deb $(DEB_OUT)/ 2>/dev/null || true
	@ls $(DEB_OUT)
endef

deb:
	@tools/install-deps deb
	HORATONE_VOICES_FROM="$(wildcard $(ROOT))" DEB_BUILD_OPTIONS="$(PARALLEL) $(DEB_BUILD_OPTIONS)" \
	  dpkg-buildpackage -us -uc -b
	$(call move_debs,$(shell dpkg --print-architecture))

deb-arm64 deb-armhf: deb-%:
	@tools/install-deps cross $*
	DEB_BUILD_OPTIONS="$(PARALLEL) crossbuildcanrunhostbinaries $(DEB_BUILD_OPTIONS)" \
	  dpkg-buildpackage -a $* -Pcross -us -uc -B
	$(call move_debs,$*)

# Debian's checks on every package built; an error or a warning fails.
lintian:
	lintian --fail-on error,warning --display-info $(DEB_OUT)/*.deb

# AddressSanitizer (with LeakSanitizer) and UndefinedBehaviorSanitizer; any report fails.
sanitize:
	@tools/install-deps
	@cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DHORATONE_SANITIZE=ON -DHORATONE_WERROR=ON >/dev/null
	@cmake --build build-asan -j $(JOBS)
	@ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest --test-dir build-asan --output-on-failure -j $(JOBS)

# libFuzzer with ASan and UBSan, built by clang in its own folder; each target runs for
# FUZZ_SECONDS from the seeds in fuzz/corpus/.
fuzz:
	@tools/install-deps
	@CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHORATONE_WERROR=ON \
	  -DHORATONE_SANITIZE=ON -DHORATONE_FUZZ=ON -DHORATONE_BUILD_TESTS=OFF -DHORATONE_WINDOW=OFF >/dev/null
	@cmake --build build-fuzz -j $(JOBS)
	@tools/run-fuzz build-fuzz $(FUZZ_SECONDS)

# The benchmarks, in the release build: one table (see bench/README.md). They take about
# three minutes and measure time, so they run on their own, never under ctest.
bench: build
	@echo "| measure | result | goal |"
	@echo "|---|---|---|"
	@$(BUILD)/bench/announce_bench
	@$(BUILD)/bench/audio_bench
	@$(BUILD)/bench/headless_bench 60
	@$(BUILD)/bench/svxlink_bench 5
	@python3 bench/echolink_bench.py $(BUILD)/app/horatone 5
	@$(BUILD)/bench/sound_server_bench 60

# How well a listener (pocketsphinx) understands the English voices, with their joins, edges and
# levels: one table per voice (bench/README.md).
bench-voices: build
	@cmake --build $(BUILD) --target voices
	@bench/voice-recognition $(BUILD)/app/horatone "$(BUILD)/voices/C/Program Files/Horatone" \
	  $(BUILD)/voices/C/HoraVoice/M $(BUILD)/voices/C/HoraVoice/F $(BUILD)/voices/C/HoraVoice/F_UK \
	  $(BUILD)/voices/C/HoraVoice/M_UK

# Pictures of the window (three tabs, Details, About, node panel) in ./screenshots/, drawn on
# the offscreen platform; and of the web page at desktop and phone widths, in headless chromium.
screenshots: build
	@QT_QPA_PLATFORM=offscreen $(BUILD)/tools/horatone_screenshots screenshots
	@python3 tests/app/web_page_test.py $(BUILD)/app/horatone --screenshots screenshots

clean:
	rm -rf $(BUILD) build-asan build-fuzz
	@[ ! -x /usr/bin/dh ] || debian/rules clean >/dev/null
