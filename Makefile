# Wraps CMake for the README's commands.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps build test demo deb clean

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

# Builds the Debian package $(BUILD)/tessvane_VERSION_ARCH.deb.
deb: build
	@cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD) demo
