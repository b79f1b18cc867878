# make test   install what is missing, build (plain and sanitized), run every test
# make build  the plain build only, in build/
# make bench  the benchmarks, from the plain build
# make demo   build, then open the program on a private demo FTP server
# make run    build, then start the program
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: test build build-asan deps bench clean demo run

deps:
	scripts/install-deps

build: deps
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)

build-asan: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVEK_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)

test: build build-asan
	cd build && ctest --output-on-failure -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS)
	@if [ -x scripts/run-fuzz ]; then scripts/run-fuzz; fi
	scripts/check-demo build/session/RiraRAR

bench: build
	@for b in build/bench/*/bench_*; do [ -x "$$b" ] && echo "== $$b" && "$$b"; done

clean:
	rm -rf build build-asan build-fuzz

demo: build
	scripts/demo build/session/RiraRAR

run: build
	build/session/RiraRAR
