# Two entry points for a fresh Debian machine: `make demo` and `make test`.
# Both install what is missing, configure and build first.

BUILD_DIR ?= build
ASAN_BUILD_DIR ?= build-asan
FUZZ_BUILD_DIR ?= build-fuzz
FUZZ_SECONDS ?= 300
FUZZ_RUNS ?= 10000000
FAST_FUZZ_BUILD_DIR ?= build-fuzz-fast
DEB_DIR ?= build-deb
SOAK_SECONDS ?= 600
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

# Debian packages the build and the tests need.
DEB_PACKAGES := cmake make g++ qtbase5-dev libsystemd0 systemd clang-format clang libclang-rt-14-dev \
	debhelper dpkg-dev lintian mandoc socat gdb pkg-config prometheus prometheus-node-exporter

MAKEFLAGS += --no-print-directory

.PHONY: all deps configure build test check test-sanitize fuzz-build fuzz fuzz-ci fuzz-campaign soak deb demo clean

all: build

# Quick and silent when everything is present; apt-get runs only for what is missing.
deps:
	@missing=""; \
	for p in $(DEB_PACKAGES); do \
		dpkg-query -W -f='$${Status}\n' "$$p" 2>/dev/null | grep -q '^install ok installed$$' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
		sudo=""; [ "$$(id -u)" -eq 0 ] || sudo=sudo; \
		echo "Installing:$$missing"; \
		$$sudo apt-get update -qq && \
		DEBIAN_FRONTEND=noninteractive $$sudo apt-get install -y -qq --no-install-recommends $$missing >/dev/null; \
	fi

configure: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

# Everything CI runs: the suite, the suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the fuzzers briefly.
test: check test-sanitize fuzz-ci

# The suite alone, in the normal build.
check: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

test-sanitize: deps
	@cmake -S . -B $(ASAN_BUILD_DIR) -DCMAKE_BUILD_TYPE=Debug -DOSTREL_SANITIZE=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(ASAN_BUILD_DIR) -j $(JOBS)
	cd $(ASAN_BUILD_DIR) && ctest --output-on-failure -j $(JOBS) -LE package # packaged without sanitizers

fuzz-build: deps
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTREL_FUZZ=ON \
		-DOSTREL_BUILD_TESTS=OFF -DOSTREL_SANITIZE=ON >/dev/null
	@cmake --build $(FUZZ_BUILD_DIR) -j $(JOBS) --target fuzz_frames fuzz_profile fuzz_status

# The committed corpus replayed, then each fuzz target for FUZZ_SECONDS on a copy of it.
fuzz: fuzz-build
	fuzz/run.sh $(FUZZ_BUILD_DIR) $(FUZZ_SECONDS)

# FUZZ_RUNS inputs per target on a fast build (undefined alone), the corpus merged back and
# replayed on the address build.
fuzz-campaign: fuzz-build
	@CC=clang CXX=clang++ cmake -S . -B $(FAST_FUZZ_BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTREL_FUZZ=ON \
		-DOSTREL_BUILD_TESTS=OFF -DOSTREL_SANITIZE=ON -DOSTREL_SANITIZERS=undefined >/dev/null
	@cmake --build $(FAST_FUZZ_BUILD_DIR) -j $(JOBS) --target fuzz_frames fuzz_profile fuzz_status
	fuzz/run.sh $(FUZZ_BUILD_DIR) $(FUZZ_RUNS) $(FAST_FUZZ_BUILD_DIR)

# The committed corpus replayed, then a minute of fuzzing per target.
fuzz-ci: fuzz-build
	fuzz/run.sh $(FUZZ_BUILD_DIR) 60

# The fault soak for SOAK_SECONDS (the suite runs a 40 s form of it).
soak: build
	OSTREL_SOAK_SECONDS=$(SOAK_SECONDS) QTEST_FUNCTION_TIMEOUT=$$(( ($(SOAK_SECONDS) + 300) * 1000 )) \
		$(BUILD_DIR)/tests/soak

# The Debian packages, built from a copy of the tracked sources: $(DEB_DIR)/*.deb.
deb: deps
	rm -rf $(DEB_DIR) && mkdir -p $(DEB_DIR)/ostrel
	git ls-files -z | xargs -0 cp --parents -t $(DEB_DIR)/ostrel
	cd $(DEB_DIR)/ostrel && DEB_BUILD_OPTIONS="parallel=$(JOBS)" dpkg-buildpackage -us -uc -b
	@ls $(DEB_DIR)/*.deb

# The demo also plots its run.
demo: DEB_PACKAGES += gnuplot-nox
demo: build
	@tools/run-demo.sh $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR) $(ASAN_BUILD_DIR) $(FUZZ_BUILD_DIR) $(FAST_FUZZ_BUILD_DIR) $(DEB_DIR)
