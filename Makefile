# Tallypad's project interface: make, make test, make run, make fuzz, make bench,
# make install.
BUILD      ?= build
TEST_BUILD ?= build-test
BENCH_BUILD ?= build-bench
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
PORT       ?= 8080
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
FUZZ_SECONDS ?= 60
PREFIX     ?= /usr/local
DESTDIR    ?=
BINDIR     = $(PREFIX)/bin
DOCDIR     = $(PREFIX)/share/doc/tallypad
DATADIR    = $(PREFIX)/share/tallypad
# Files the server writes into a server root while it runs; they are not
# part of the demo that is installed.
DEMO_RUNTIME_FILES = outbox.kqs outbox.bak outbox.dead outbox.state outbox.lock kqscounts.ini

.PHONY: all test tsan deps run fuzz bench install install-files clean

all:
	@scripts/install-deps.sh build
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DTALLYPAD_TESTS=OFF
	cmake --build $(BUILD) -j $(JOBS)

deps:
	@scripts/install-deps.sh test

test: deps
	scripts/check-layers.sh
	cmake -S . -B $(TEST_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTALLYPAD_SANITIZE=ON
	cmake --build $(TEST_BUILD) -j $(JOBS)
	cd $(TEST_BUILD) && ctest --output-on-failure -j $(JOBS)
	$(MAKE) tsan

# The tests of what runs on more than one thread (the server loop, the
# outbox thread, the name look-ups, the password guard and the caches they
# share), built with ThreadSanitizer: any data race fails them.
# Tests that time a respondent's latency are left out: under the sanitizer
# every memory access is slower, and they check timing, not races.
TSAN_TESTS = ServerThreadTest|OutboxServerTest|HostNames|PasswordGuard|StatisticsUpdate|AppendRecord|FileCache
TSAN_TIMED = CostOthersNothing
tsan: deps
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALLYPAD_TSAN=ON
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target httpd_tests mail_tests store_tests base_tests
	cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(JOBS) \
	  -R '$(TSAN_TESTS)' -E '$(TSAN_TIMED)'


# The demo is served from a copy in the build folder, so that the answers
# it collects never land in the source tree. Only files newer in
# examples/demo are copied again, so answers from earlier runs are kept.
DEMO_ROOT ?= $(BUILD)/demo-root

run: all
	@mkdir -p $(DEMO_ROOT)
	@cp -R -u examples/demo/. $(DEMO_ROOT)/
	@echo "Tallypad: open http://127.0.0.1:$(PORT)/ in a browser (Ctrl-C stops the server)"
	@echo "Serving a copy of examples/demo in $(DEMO_ROOT) (remove it to start afresh)"
	$(BUILD)/tallypad --port $(PORT) $(DEMO_ROOT)

bench:
	@scripts/install-deps.sh bench
	cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DTALLYPAD_BENCH=ON -DTALLYPAD_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j $(JOBS)

fuzz:
	@scripts/install-deps.sh fuzz
	CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALLYPAD_FUZZ=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	scripts/run-fuzzers.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# Installs the program, the documentation, the demo server root and the
# example service unit (its program path adjusted to PREFIX). DESTDIR is put
# in front of every path, for staging a package. install-files copies what
# $(BUILD) holds without building (the tests stage an install with it).
install: all
	$(MAKE) install-files

install-files:
	install -d "$(DESTDIR)$(BINDIR)" "$(DESTDIR)$(DOCDIR)" "$(DESTDIR)$(DATADIR)/demo"
	install -m 755 $(BUILD)/tallypad "$(DESTDIR)$(BINDIR)/tallypad"
	install -m 644 docs/*.md "$(DESTDIR)$(DOCDIR)/"
	tar -C examples/demo $(addprefix --exclude=,$(DEMO_RUNTIME_FILES)) -cf - . | tar -C "$(DESTDIR)$(DATADIR)/demo" --no-same-owner -xf -
	sed -e 's|/usr/local/bin/tallypad|$(BINDIR)/tallypad|g' -e 's|/usr/local/share/|$(PREFIX)/share/|g' \
	  contrib/tallypad.service > "$(DESTDIR)$(DATADIR)/tallypad.service"
	chmod 644 "$(DESTDIR)$(DATADIR)/tallypad.service"

clean:
	rm -rf $(BUILD) $(TEST_BUILD) $(BENCH_BUILD) $(FUZZ_BUILD) $(TSAN_BUILD)
