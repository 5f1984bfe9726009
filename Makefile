# Wraps CMake for the README's commands.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps build test demo bench deb clean

all: build

deps:
	@./tools/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# Makes the bundled sample page and clears a copy of it.
demo: build
	@mkdir -p demo
	@$(BUILD)/make_sample_page demo/sample-page.tif
	@cp demo/sample-page.tif demo/sample-page-cleared.tif
	@$(BUILD)/tessvane demo/sample-page-cleared.tif </dev/null
	@echo "original: demo/sample-page.tif"
	@echo "result:   demo/sample-page-cleared.tif"

# Benchmarks on generated 8000 x 8000 pages (64 rows a strip, uncompressed
# and LZW) kept in $(BUILD)/bench-data: the microbenchmarks of each
# operation, then tessvane against tiffcp and Leptonica's reconstruction
# (installed as root when missing; skipped otherwise), medians of 7 rounds.
BENCH_DATA = $(BUILD)/bench-data
bench:
	@./tools/install-deps.sh libleptonica-dev || echo "no Leptonica: the peer figure is skipped"
	@$(MAKE) --no-print-directory build
	@mkdir -p $(BENCH_DATA)
	@[ -f $(BENCH_DATA)/page-none.tif ] || $(BUILD)/make_sample_page $(BENCH_DATA)/page-none.tif 8000 8000 64 none
	@[ -f $(BENCH_DATA)/page-lzw.tif ] || $(BUILD)/make_sample_page $(BENCH_DATA)/page-lzw.tif 8000 8000 64 lzw
	TESSVANE_BENCH_PAGE=$(BENCH_DATA)/page-none.tif $(BUILD)/bench/kernels_bench
	$(BUILD)/bench/end_to_end $(BUILD)/tessvane $(BENCH_DATA) 7 \
	  $$([ -x $(BUILD)/bench/leptonica_peer ] && echo $(BUILD)/bench/leptonica_peer || echo -) \
	  $(BENCH_DATA)/page-none.tif $(BENCH_DATA)/page-lzw.tif

# Builds the Debian package $(BUILD)/tessvane_VERSION_ARCH.deb.
deb: build
	@cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD) demo
