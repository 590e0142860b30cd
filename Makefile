# Thin wrapper over the CMake presets.
.PHONY: deps demo check-demo test test-asan test-tsan bench package check-package lint-man clean

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

# The Debian package, built in build/pkg for the prefix /usr:
# build/pkg/vorq_<version>_<arch>.deb.
PKG_DIR := build/pkg
package: deps
	cmake -S . -B $(PKG_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORQ_BUILD_TESTS=OFF \
	  -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
	cmake --build $(PKG_DIR)
	cd $(PKG_DIR) && cpack -G DEB

# Installs the package on this machine, uses it and purges it (root only).
check-package: package
	./scripts/package_test.sh $$(ls -t $(PKG_DIR)/vorq_*.deb | head -1)

# The manual pages format without a warning.
lint-man: deps
	./scripts/lint_man.sh

# `make demo`, with its output checked for the trace of what it did.
check-demo:
	./scripts/check_demo.sh

clean:
	rm -rf build
