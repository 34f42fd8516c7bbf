# The two set-up commands: `make demo` runs the main job against the bundled
# simulators; `make check` installs what is needed, builds and runs every test.
.PHONY: demo check build deps clean

demo: build
	scripts/demo.sh

check:
	scripts/check.sh

build:
	scripts/build.sh

deps:
	scripts/deps.sh

clean:
	rm -rf build build-check build-tsan
