# All set-up is done here: missing packages, configure, build.
BUILD ?= build
JOBS ?= $(shell nproc)
SIMULATE ?= cedar,cedar

.PHONY: setup configure build images run test bench clean format

setup:
	@./scripts/setup.sh

configure: setup
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# Redraws the images in resources/imgs (they are checked in, so `build` does not).
images: configure
	@cmake --build $(BUILD) --target images

# The application with virtual amplifiers listed: two of the reference model, so that each
# connects alone and both connect together as "All" (which takes amplifiers of one model only).
run: build
	@$(BUILD)/app/kav4 --simulate $(SIMULATE)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench: build
	@for b in $(BUILD)/bench/bench_*; do [ -f "$$b" ] && [ -x "$$b" ] || continue; echo "== $$b"; $$b; done

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	@rm -rf $(BUILD)
