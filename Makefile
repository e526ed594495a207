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

.PHONY: deps configure build test run voices deb sanitize screenshots fuzz bench bench-voices clean

deps:
	@tools/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DHORATONE_WERROR=ON >/dev/null

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
