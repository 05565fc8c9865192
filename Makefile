# All set-up is done here: missing packages, configure, build.
BUILD ?= build
JOBS ?= $(shell nproc)
SIMULATE ?= cedar,cedar

.PHONY: setup configure build run test bench clean format

setup:
	@./scripts/setup.sh

configure: setup
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# Until the application exists: the virtual amplifiers, then a few seconds of their data.
run: build
	@$(BUILD)/tools/kav4-cli --simulate $(SIMULATE) list
	@$(BUILD)/tools/kav4-cli --simulate $(SIMULATE) stream VCEDAR01,VCEDAR02 --seconds 3 --rate 10k \
		--range 2n --protocol "Square wave" --param Vpulse=20 --param Thold=50 --param Tpulse=50

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench: build
	@for b in $(BUILD)/bench/bench_*; do [ -f "$$b" ] && [ -x "$$b" ] || continue; echo "== $$b"; $$b; done

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	@rm -rf $(BUILD)
