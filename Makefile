# Thin wrapper over the CMake presets.
.PHONY: deps demo check-demo test test-asan test-tsan bench package check-package check-pristine lint-man clean

deps:
	./scripts/install-deps.sh

demo:
	./scripts/demo.sh

test: deps
	./scripts/test.sh

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

# The Debian packages (debian/), built as root in build/deb and written to
# build/pkg: vorq (the command and xtrctl), libkbvdtrac1, libkbvddfc1 and
# their -dev packages.
package:
	./scripts/install-deps.sh package
	dpkg-checkbuilddeps
	debian/rules clean
	debian/rules binary

# Checks the packages with lintian, then installs them in a pristine Debian
# root, uses them and purges them (root only).
check-package: package
	./scripts/package_test.sh build/pkg/*.deb

# The README's two set-up commands, run in a fresh clone on a pristine
# Debian root (root only).
check-pristine:
	./scripts/pristine_check.sh

# The manual pages format without a warning.
lint-man: deps
	./scripts/lint_man.sh

# The README's demo command, with its output checked for the trace of what it did.
check-demo:
	./scripts/check_demo.sh

clean:
	rm -rf build
