# All set-up is done here: missing packages, configure, build.
BUILD ?= build
JOBS ?= $(shell nproc)
SIMULATE ?= cedar,cedar

.PHONY: setup configure build images run test bench clean format python sanitize sanitize-address sanitize-thread soak udev

setup:
	@./scripts/setup.sh

configure: setup
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# The Python module `kav4` in $(BUILD)/python: PYTHONPATH=$(BUILD)/python /usr/bin/python3.
python: configure
	@cmake --build $(BUILD) --target python -j $(JOBS)

# Redraws the images in resources/imgs (they are checked in, so `build` does not).
images: configure
	@cmake --build $(BUILD) --target images

# The application with virtual amplifiers listed: two of the reference model, so that each
# connects alone and both connect together as "All" (which takes amplifiers of one model only).
run: build
	@$(BUILD)/app/kav4 --simulate $(SIMULATE)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The whole suite under AddressSanitizer with UndefinedBehaviorSanitizer in build-asan/, then under
# ThreadSanitizer in build-tsan/; a report fails its test. Tests that need real time (label
# realtime) are left out: instrumented code cannot keep it.
SANITIZE_CONFIGURE = -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g"
SANITIZE_TEST = ctest --output-on-failure -j $(JOBS) -LE realtime

sanitize: sanitize-address sanitize-thread

sanitize-address: setup
	@cmake -S . -B build-asan $(SANITIZE_CONFIGURE) -DKAV4_SANITIZE=address,undefined >/dev/null
	@cmake --build build-asan -j $(JOBS)
	@cd build-asan && QT_QPA_PLATFORM=offscreen \
		ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1 \
		UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 $(SANITIZE_TEST)

# Qt is not built for ThreadSanitizer: scripts/tsan.supp silences reports lying wholly inside it.
sanitize-thread: setup
	@cmake -S . -B build-tsan $(SANITIZE_CONFIGURE) -DKAV4_SANITIZE=thread >/dev/null
	@cmake --build build-tsan -j $(JOBS)
	@cd build-tsan && QT_QPA_PLATFORM=offscreen \
		TSAN_OPTIONS=second_deadlock_stack=1:suppressions=$(CURDIR)/scripts/tsan.supp \
		$(SANITIZE_TEST)

# A long recording of Dogwood 32 at its highest rate in pattern mode, read back frame by frame
# (scripts/soak.sh): no frame may be lost. SOAK_FAULTS=1 injects a fault every minute instead and
# checks that each loss is counted and marked exactly.
SOAK_SECONDS ?= 3600
SOAK_FAULTS ?= 0

soak: configure
	@cmake --build $(BUILD) --target kav4-cli -j $(JOBS)
	@./scripts/soak.sh $(BUILD)/tools/kav4-cli $(SOAK_SECONDS) $(SOAK_FAULTS)

# Access to real amplifiers without root: the udev rule for the bridges' USB ids (see README).
udev:
	@./scripts/udev.sh

bench: build
	@for b in $(BUILD)/bench/bench_*; do [ -f "$$b" ] && [ -x "$$b" ] || continue; echo "== $$b"; $$b; done

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	@rm -rf $(BUILD)
