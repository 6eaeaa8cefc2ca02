# Thin wrapper over CMake for the targets people type.
BUILD ?= build
BUILD_TYPE ?= Release
CMAKE_FLAGS ?=
PREFIX ?= /usr/local
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

FUZZ_SECONDS ?= 60
CORPUS ?= ../shared/corpus/real
DUMPS ?= ../shared/corpus/dumps

.PHONY: all configure demo test prerequisites test-nosimd install bench asan fuzz test-large clean wasm playground js-test

# The WebAssembly build: the same three sources for wasm32-wasi (Debian:
# clang, lld, wasi-libc, libclang-rt-14-dev-wasm32), no C++ runtime, no
# imports.  The stack holds the conversion's work area; memory grows as
# inputs need, up to 4 GiB.
WASM_CXX ?= clang++
WASM_OUT = build-wasm/libtrivanex-wikitext-table.wasm
VERSION := $(shell grep -o 'trivanex-wikitext-table VERSION [0-9.]*' CMakeLists.txt | cut -d' ' -f3)
WASM_EXPORTS = wttable_to_html wttable_parse_document wttable_has_tables wttable_last_error wttable_version
# The tables as data are a module of their own, loaded only by those who use them.
WASM_TABLES_EXPORTS = wtt_new wtt_free wtt_parse wtt_failed_line wtt_tables_json
WASM_TABLES_OUT = build-wasm/libtrivanex-wikitext-tables.wasm
WASM_CC ?= clang
WASM_TABLES = wt_bytes wt_raw wt_markup wt_model wt_cell_text wt_tables
WASM_FLAGS ?= -O2 -msimd128

all: configure
	cmake --build $(BUILD) -j $(JOBS)

configure:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)

# Converts the example article and writes a page that shows each table's
# markup beside its rendering.
demo: all
	$(BUILD)/cli/wttable examples/article.wiki
	$(BUILD)/cli/wttable_demo_page examples/article.wiki > $(BUILD)/demo.html
	@echo "wrote $(BUILD)/demo.html: open it in a browser"

# Installs what the suite needs when it can (cmake/prerequisites.txt; see
# cmake/prerequisites.sh, WTTABLE_NO_INSTALL=1 to only name it), then builds
# the library, the tools and the WebAssembly package and runs every suite.
test: prerequisites
	$(MAKE) all wasm
	bash cmake/run_tests.sh $(BUILD) $(JOBS)

prerequisites:
	bash cmake/prerequisites.sh

# PYTHON=/usr/bin/python3 installs the Python package for that interpreter.
install: all
	$(if $(PYTHON),cmake -S . -B $(BUILD) -DWTTABLE_PYTHON=$(PYTHON) > /dev/null)
	cmake --install $(BUILD) --prefix $(PREFIX)

# Throughput against memchr and memcpy on this machine, the stack one
# conversion needs, and the tool's many-files throughput; see README.
bench: all
	$(BUILD)/bench/wttable_bench
	$(BUILD)/bench/wttable_stack_use
	python3 bench/many_files.py $(BUILD)/cli/wttable

# The suite on a build without any SIMD code: the scalar paths checked
# against the reference like the others.
test-nosimd:
	cmake -S . -B build-nosimd -DCMAKE_BUILD_TYPE=Release -DWTTABLE_NO_SIMD=ON $(CMAKE_FLAGS)
	cmake --build build-nosimd -j $(JOBS)
	bash cmake/run_tests.sh build-nosimd $(JOBS)

# The whole test suite under AddressSanitizer and UndefinedBehaviorSanitizer.
asan:
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DWTTABLE_SANITIZE=address,undefined \
	  -DWTTABLE_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	bash cmake/run_tests.sh build-asan $(JOBS)

# Each fuzz target for FUZZ_SECONDS, from seeds made of the case tables and,
# where it exists, the corpus of real articles.
fuzz:
	cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
	  -DCMAKE_CXX_COMPILER=clang++ -DWTTABLE_FUZZ=ON -DWTTABLE_SANITIZE=address,undefined \
	  -DWTTABLE_BUILD_TESTS=OFF -DWTTABLE_BUILD_BENCH=OFF
	cmake --build build-fuzz -j $(JOBS)
	python3 fuzz/make_seeds.py tests/cases/conversion.txt build-fuzz/seeds $(CORPUS)
	mkdir -p build-fuzz/corpus-convert build-fuzz/corpus-buffer
	build-fuzz/fuzz/fuzz_convert -max_total_time=$(FUZZ_SECONDS) -dict=fuzz/wttable.dict \
	  -artifact_prefix=build-fuzz/ \
	  -max_len=65536 -print_final_stats=1 build-fuzz/corpus-convert build-fuzz/seeds
	build-fuzz/fuzz/fuzz_buffer -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	  -artifact_prefix=build-fuzz/ \
	  build-fuzz/corpus-buffer
	python3 fuzz/make_dump_seeds.py build-fuzz/seeds-dump build-fuzz/seeds $(DUMPS)
	mkdir -p build-fuzz/corpus-dump
	build-fuzz/fuzz/fuzz_dump -max_total_time=$(FUZZ_SECONDS) -dict=fuzz/wttable.dict \
	  -artifact_prefix=build-fuzz/ \
	  -max_len=65536 -print_final_stats=1 build-fuzz/corpus-dump build-fuzz/seeds-dump

# Opt-in: texts larger than 4 GiB through both modes (about 10 GB of memory),
# and the WebAssembly module's memory past 2 GiB and at its 4 GiB end.
test-large: all wasm
	$(BUILD)/tests/wttable_large_tests
	cd js && node --test test-large/

wasm:
	mkdir -p build-wasm
	sed 's/@PROJECT_VERSION@/$(VERSION)/' src/wttable_config.h.in > build-wasm/wttable_config.h
	for f in $(WASM_TABLES); do \
	  $(WASM_CC) --target=wasm32-wasi $(WASM_FLAGS) -mbulk-memory -std=c11 -Itables -Isrc -Ibuild-wasm \
	    -DWTTABLE_TABLES_BUILDING -c tables/$$f.c -o build-wasm/$$f.o || exit 1; \
	done
	$(WASM_CXX) --target=wasm32-wasi $(WASM_FLAGS) -std=c++17 -fno-exceptions -fno-rtti -nostdlib++ \
	  -mexec-model=reactor -Iinclude -Isrc -Ibuild-wasm -DWTTABLE_BUILDING \
	  js/src/wt_wasm.cpp $(foreach f,$(WASM_TABLES),build-wasm/$(f).o) \
	  $(foreach f,$(WASM_TABLES_EXPORTS),-Wl,--export=$(f)) \
	  -Wl,--wrap=malloc -Wl,--wrap=realloc \
	  -Wl,-z,stack-size=1048576 -Wl,--max-memory=4294967296 -Wl,--strip-all \
	  -o $(WASM_TABLES_OUT)
	cp $(WASM_TABLES_OUT) js/
	$(WASM_CXX) --target=wasm32-wasi $(WASM_FLAGS) -std=c++17 -fno-exceptions -fno-rtti -nostdlib++ \
	  -mexec-model=reactor -Iinclude -Isrc -Ibuild-wasm -DWTTABLE_BUILDING \
	  $(wildcard src/*.cpp) js/src/wt_wasm.cpp \
	  $(foreach f,$(WASM_EXPORTS),-Wl,--export=$(f)) \
	  -Wl,--wrap=malloc -Wl,--wrap=realloc \
	  -Wl,-z,stack-size=1048576 -Wl,--max-memory=4294967296 -Wl,--strip-all \
	  -o $(WASM_OUT)
	cp $(WASM_OUT) js/
	cp examples/article.wiki js/playground/example.wiki
	@echo "wrote $(WASM_OUT): $$(wc -c < $(WASM_OUT)) bytes, $$(gzip -9 -c $(WASM_OUT) | wc -c) gzipped"
	@echo "wrote $(WASM_TABLES_OUT): $$(wc -c < $(WASM_TABLES_OUT)) bytes, $$(gzip -9 -c $(WASM_TABLES_OUT) | wc -c) gzipped"

# The JavaScript package's tests alone (Node's test runner), the packed
# tarball and the playground in Chromium; `make test` runs them too.
js-test: wasm all
	cd js && WTTABLE_CLI=$(abspath $(BUILD))/cli/wttable node --test test/

# Serves the playground on localhost.
playground: wasm
	@echo "playground: http://127.0.0.1:8765/playground/"
	cd js && python3 -m http.server 8765 --bind 127.0.0.1

clean:
	rm -rf $(BUILD) build-asan build-fuzz build-wasm build-nosimd

