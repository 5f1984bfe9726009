# Wraps CMake for the README's commands.
BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
LINT_BUILD ?= build-lint
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
# The sanitizer build of everything: AddressSanitizer and UndefinedBehavior-
# Sanitizer, ending the process at the first report.  The warning flags of
# every build are set in cmake/Warnings.cmake.
SANITIZE_FLAGS = -fsanitize=address,undefined -fno-sanitize-recover=all \
  -fno-omit-frame-pointer

.PHONY: all build configure build-all install test-deps asan tsan test fuzz lint demo bench evaluate deb clean

all: build

# Building the tool needs only libtiff, CMake and a compiler; each target
# below that needs more installs its own group (tools/install-deps.sh).
configure:
	@./tools/install-deps.sh build
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

# The tool and the sample page generator, nothing else.
build: configure
	@cmake --build $(BUILD) -j $(JOBS) --target tessvane make_sample_page

# Every target the configuration has: tests and benchmarks included.
build-all: configure
	@cmake --build $(BUILD) -j $(JOBS)

# The executable, the manual page and the OCRmyPDF plugin under PREFIX
# (default /usr/local), the plugin on the Python module path of that prefix.
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

test-deps:
	@./tools/install-deps.sh test

asan: test-deps
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_FLAGS="$(SANITIZE_FLAGS)" >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)

# The code that runs on several threads (the thread pool, the parallel loop,
# the block coding of 8-bit and bilevel pages, the tool on a page) built
# with ThreadSanitizer, and its tests run
# there, the first report failing them.  The LZMA and ZSTD round trips are
# left out: they run the same code of ours, and their coders' tables take
# minutes under the sanitizer.
TSAN_FLAGS = -fsanitize=thread -fno-omit-frame-pointer
TSAN_TESTS = ^(ThreadPool|ParallelFor|UsableCpus|BlockCodec|Bilevel)\.
TSAN_SKIPPED = WithLargeCoders
tsan: test-deps
	@cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_FLAGS="$(TSAN_FLAGS)" >/dev/null
	@cmake --build $(TSAN_BUILD) -j $(JOBS) --target tessvane tessvane_tests
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	  ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(JOBS) -R '$(TSAN_TESTS)' \
	  -E '$(TSAN_SKIPPED)'

# The plain suite, then the same suite built with the sanitizers, then the
# threaded code under ThreadSanitizer, then how many tests of the first two
# were skipped and why (some need root; README says which).
test: test-deps build-all asan
	@status=0; \
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) \
	  --output-junit $(abspath $(BUILD))/ctest-results.xml || status=1; \
	UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS) \
	  --output-junit $(abspath $(ASAN_BUILD))/ctest-results.xml || status=1; \
	$(MAKE) --no-print-directory tsan || status=1; \
	/usr/bin/python3 tools/skipped_tests.py $(BUILD)/ctest-results.xml $(ASAN_BUILD)/ctest-results.xml; \
	exit $$status

# Builds the libFuzzer target with clang (a build of its own, fuzz/) and runs
# it for FUZZ_SECONDS on one core.
fuzz:
	@./tools/install-deps.sh fuzz
	@cmake -S fuzz -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@./fuzz/run_fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# clang-tidy and cppcheck over src/; the profile is in docs/hardening.md.
lint:
	@./tools/install-deps.sh lint
	@cmake -S . -B $(LINT_BUILD) -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DBUILD_TESTING=OFF >/dev/null
	@./tools/lint.sh $(LINT_BUILD)

# Makes the bundled sample page and clears a copy of it.
demo: build
	@mkdir -p demo
	@$(BUILD)/make_sample_page demo/sample-page.tif
	@cp demo/sample-page.tif demo/sample-page-cleared.tif
	@$(BUILD)/tessvane demo/sample-page-cleared.tif </dev/null
	@echo "original: demo/sample-page.tif"
	@echo "result:   demo/sample-page-cleared.tif"

# Benchmarks on generated pages kept in $(BUILD)/bench-data: 8000 x 8000,
# 64 rows a strip, uncompressed, LZW, Deflate, PackBits, ZSTD, LZMA and
# JPEG, with scanner noise (Gaussian, 3 gray levels) and, LZW and Deflate,
# also without; the noisy LZW page again in LZW tiles of 256 x 256; an A4
# bilevel page at 600 dpi (4960 x 7016) in CCITT Group 4, one strip as
# archives store it, with a black margin and a binding gutter; an A4 page
# at 300 dpi (LZW, noisy) for the batch; files of 500 and of 2,000
# uncompressed pages of 16 x 16 for the page-count figure.  The
# microbenchmarks of each operation, then tessvane on every CPU and under
# taskset -c 0 against tiffcp, against the durable tiffcp copy (fsync,
# rename, directory fsync) of the input and of tessvane's output, warm
# (every page) and cold (the first three), against Leptonica's reconstruction
# (installed as root when missing; skipped otherwise), and the batch of 40
# A4 pages through xargs -P 2, and the 2,000 pages against the 500.
# docs/performance.md explains the figures.
BENCH_DATA = $(BUILD)/bench-data
BENCH_PAGE = $(BUILD)/make_sample_page
bench:
	@./tools/install-deps.sh bench
	@./tools/install-deps.sh libleptonica-dev || echo "no Leptonica: the peer figure is skipped"
	@$(MAKE) --no-print-directory build-all
	@mkdir -p $(BENCH_DATA)
	@[ -f $(BENCH_DATA)/page-none.tif ] || $(BENCH_PAGE) $(BENCH_DATA)/page-none.tif 8000 8000 64 none 3
	@[ -f $(BENCH_DATA)/page-lzw.tif ] || $(BENCH_PAGE) $(BENCH_DATA)/page-lzw.tif 8000 8000 64 lzw 3
	@[ -f $(BENCH_DATA)/page-deflate.tif ] || $(BENCH_PAGE) $(BENCH_DATA)/page-deflate.tif 8000 8000 64 deflate 3
	@[ -f $(BENCH_DATA)/page-lzw-smooth.tif ] || $(BENCH_PAGE) $(BENCH_DATA)/page-lzw-smooth.tif 8000 8000 64 lzw
	@for codec in packbits zstd lzma jpeg; do [ -f $(BENCH_DATA)/page-$$codec.tif ] || \
	  $(BENCH_PAGE) $(BENCH_DATA)/page-$$codec.tif 8000 8000 64 $$codec 3; done
	@[ -f $(BENCH_DATA)/page-deflate-smooth.tif ] || $(BENCH_PAGE) $(BENCH_DATA)/page-deflate-smooth.tif 8000 8000 64 deflate
	@[ -f $(BENCH_DATA)/a4-lzw.tif ] || $(BENCH_PAGE) $(BENCH_DATA)/a4-lzw.tif 2480 3508 64 lzw 3
	@[ -f $(BENCH_DATA)/page-lzw-tiled.tif ] || \
	  tiffcp -t -w 256 -l 256 -c lzw $(BENCH_DATA)/page-lzw.tif $(BENCH_DATA)/page-lzw-tiled.tif
	@[ -f $(BENCH_DATA)/a4-600-g4.tif ] || $(BENCH_PAGE) $(BENCH_DATA)/a4-600-g4.tif 4960 7016 7016 g4
	@[ -f $(BENCH_DATA)/page-16.tif ] || $(BENCH_PAGE) $(BENCH_DATA)/page-16.tif 16 16 16 none
	@for pages in 500 2000; do [ -f $(BENCH_DATA)/pages-$$pages.tif ] || \
	  tiffcp $$(for i in $$(seq $$pages); do echo $(BENCH_DATA)/page-16.tif; done) $(BENCH_DATA)/pages-$$pages.tif; done
	TESSVANE_BENCH_PAGE=$(BENCH_DATA)/page-none.tif $(BUILD)/bench/kernels_bench
	$(BUILD)/bench/end_to_end --tessvane $(BUILD)/tessvane --durable $(BUILD)/bench/durable_copy \
	  --workdir $(BENCH_DATA) --rounds 7 --cold-rounds 5 --pause 4 \
	  $$([ -x $(BUILD)/bench/leptonica_peer ] && echo --peer $(BUILD)/bench/leptonica_peer) \
	  $(BENCH_DATA)/page-none.tif $(BENCH_DATA)/page-lzw.tif $(BENCH_DATA)/page-deflate.tif \
	  $(BENCH_DATA)/a4-600-g4.tif \
	  --warm-only $(BENCH_DATA)/page-lzw-smooth.tif --warm-only $(BENCH_DATA)/page-deflate-smooth.tif \
	  --warm-only $(BENCH_DATA)/page-packbits.tif --warm-only $(BENCH_DATA)/page-zstd.tif \
	  --warm-only $(BENCH_DATA)/page-lzma.tif --warm-only $(BENCH_DATA)/page-jpeg.tif \
	  --warm-only $(BENCH_DATA)/page-lzw-tiled.tif \
	  --batch $(BENCH_DATA)/a4-lzw.tif --batch-pages 40 --batch-rounds 5 \
	  --page-count $(BENCH_DATA)/pages-500.tif --page-count $(BENCH_DATA)/pages-2000.tif

# The OCR evaluation: renders scanned-looking pages, runs Tesseract on each
# before and after tessvane; runs it on the real pages of eval/realpages as
# scanned and after tessvane, Leptonica and unpaper; prints both summaries
# and writes docs/ocr-evaluation.md, its plot and a crop (eval/evaluate.py;
# about 10 minutes on 2 cores, Tesseract 2 at once).
evaluate: build
	@./tools/install-deps.sh evaluate
	/usr/bin/python3 eval/evaluate.py --tessvane $(BUILD)/tessvane --work $(BUILD)/eval --docs docs

# Builds the Debian package $(BUILD)/tessvane_VERSION_ARCH.deb.
deb: build
	@./tools/install-deps.sh deb
	@cmake -S . -B $(BUILD) >/dev/null
	@cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) $(LINT_BUILD) demo
