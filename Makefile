# The two set-up commands: `make demo` runs the main job against the bundled
# simulators; `make check` installs what is needed, builds and runs every test;
# `make package` builds the Debian packages into build-pkg/.
.PHONY: demo check build deps package clean

demo: build
	scripts/demo.sh

check:
	scripts/check.sh

build:
	scripts/build.sh

deps:
	scripts/deps.sh

package:
	scripts/package.sh

clean:
	rm -rf build build-check build-tsan build-pkg
