# vo: the two set-up commands for a fresh Debian machine, and a few conveniences.
#   make demo   installs what it needs, builds, and runs a real session on this machine
#   make test   installs what it needs, builds both targets, runs every test
#   make dist   builds the release: Windows zip and installer, relay .deb (in dist/)
.PHONY: all deps web test demo bench fuzz soak dist dist-check clean

all:
	@bash scripts/deps.sh >/dev/null
	@bash scripts/web.sh >/dev/null || echo "web: viewer page without its crypto library (npm unavailable)"
	@cmake --preset debug >/dev/null && cmake --build build/debug -j2

deps:
	@bash scripts/deps.sh >/dev/null

# The browser viewer page's dependency (libsodium's JavaScript build) from npm into web/vendor/.
web:
	@bash scripts/web.sh

test:
	@bash scripts/test.sh

demo:
	@bash scripts/demo.sh

bench:
	@bash scripts/bench.sh

fuzz:
	@FUZZ_SECONDS=$${FUZZ_SECONDS:-300} bash scripts/fuzz.sh

# 1000 sequential loopback sessions against one host; resident memory must stay flat.
soak:
	@bash scripts/deps.sh >/dev/null
	@cmake --preset release >/dev/null && cmake --build build/release -j2 --target vo_soak >/dev/null
	@build/release/vo_soak 1000 3

# The release artifacts in dist/; dist-check builds them and tests them (Wine, dpkg, lintian).
dist:
	@bash scripts/dist.sh

dist-check:
	@bash scripts/dist_check.sh

clean:
	rm -rf build dist
