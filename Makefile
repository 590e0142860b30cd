# Thin wrapper over the CMake presets.
.PHONY: deps demo test test-asan test-tsan bench clean

deps:
	./scripts/install-deps.sh

demo: deps
	cmake --preset release >/dev/null
	cmake --build --preset release
	./scripts/demo.sh build/release

test: deps
	cmake --preset ci >/dev/null
	cmake --build --preset ci
	ctest --preset ci

test-asan: deps
	cmake --preset debug >/dev/null
	cmake --build --preset debug
	ctest --preset debug

test-tsan: deps
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan
	ctest --preset tsan

bench: deps
	cmake --preset release >/dev/null
	cmake --build --preset release
	./bench/hosts_bench.sh build/release/command/vorqManageHostsFile

clean:
	rm -rf build
