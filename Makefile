# Everything sets itself up: a virtual environment per CPython version (from pyenv),
# the package installed from this checkout with its test extra, the extensions built.
PYVER ?= 3.9
# The CPythons `make wheels` builds for; all of 3.9 to 3.13 and 3.13t when empty.
WHEEL_VERSIONS ?=
PYENV_ROOT ?= $(shell pyenv root 2>/dev/null || echo $(HOME)/.pyenv)
# The newest patch release of PYVER with the GIL (PYVER=3.13t: the free-threaded build),
# by the rule tools/pyenv-python keeps for every script that takes a CPython from pyenv.
BASE_PY := $(shell PYENV_ROOT='$(PYENV_ROOT)' tools/pyenv-python $(PYVER) 2>/dev/null)
VENV := .venv-$(PYVER)
PY := $(VENV)/bin/python
# A second environment holds the package built with the sanitizers.
SAN_PY := $(VENV)-sanitize/bin/python
# A third holds the package built with clang against libc++, the C++ library of macOS.
CLANG_PY := $(VENV)-clang/bin/python
# Installs this checkout. pip keeps wheels built from a local folder whose path looks like
# name-version (a clone in /tmp/orvane-master, say) in its cache under the folder's URL
# alone: neither the -C settings nor the sources are part of that key, so a build with
# other settings or older sources would come back. No cache, no stale wheel.
PIP_CHECKOUT := -m pip install -qq --no-cache-dir
# A free-threaded CPython (PYVER=3.13t, which tools/ensure-python-ft installs) runs the
# suite with the GIL off. polars has no such build, and the newest releases of some
# dependencies ship no free-threaded wheel, which pip would try to build: binaries only.
ifeq ($(patsubst %t,,$(PYVER)),)
EXTRAS := test
DEPS := --only-binary :all:
GIL := PYTHON_GIL=0
else
EXTRAS := test,polars
DEPS :=
GIL :=
endif

.PHONY: demo test stress tsan install dev dev-test bench sanitize fuzz test-clang test-hostile clean demo-browser test-browser \
  wheels sdist binary-wheels test-wheel test-sdist

$(PY) $(SAN_PY) $(CLANG_PY):
	@test -n "$(BASE_PY)" || { echo "CPython $(PYVER) not found under $(PYENV_ROOT)/versions"; exit 1; }
	$(BASE_PY) -m venv $(@:/bin/python=)
	$@ -m pip install -qq --upgrade pip

install: $(PY)
	$(PY) $(PIP_CHECKOUT) $(DEPS) -C cmake.define.ORV_TEST_EXTENSIONS=ON ".[$(EXTRAS)]"

demo: install
	$(PY) examples/demo.py

# The same cases on every run: the add-in page's too, in headless chromium, which
# tools/ensure-chromium installs when it is missing (selenium comes with the test extra).
test: install
	tools/ensure-chromium
	tools/check-modules $(PY) plain
	cd tests && $(GIL) ORV_REQUIRE_BROWSER=1 ../$(PY) -m pytest -q -p no:cacheprovider

# The threads that share what the modules read (tests/test_free_threading.py), for
# STRESS_SECONDS each (2 by default in `make test`); with PYVER=3.13t, with the GIL off.
STRESS_SECONDS ?= 60
stress: install
	cd tests && $(GIL) ORV_STRESS_SECONDS=$(STRESS_SECONDS) ../$(PY) -m pytest -q -p no:cacheprovider test_free_threading.py

# The tests whose hooks mutate, empty or drop what the modules are reading, under CPython's
# debug allocator: it fills freed memory, so a reference kept past its owner fails every time.
HOSTILE_TESTS := test_wire_hostile.py test_faults.py test_handler_faults.py test_coroutine_adapter.py
test-hostile: install
	tools/check-modules $(PY) plain
	cd tests && PYTHONMALLOC=debug ../$(PY) -m pytest -q -p no:cacheprovider $(HOSTILE_TESTS)

# ThreadSanitizer: the stress module on a second free-threaded CPython built with it
# (tools/ensure-python-ft --tsan, some minutes once), against both modules built with it.
TSAN_VENV := .venv-3.13t-tsan
TSAN_PY := $(TSAN_VENV)/bin/python
# Setting up runs under that interpreter too: its own races (at exit, in pip) are not
# reported there, or the exit status of each step would say so.
tsan: export TSAN_OPTIONS = report_bugs=0
tsan:
	tools/ensure-python-ft --tsan >/dev/null
	test -x $(TSAN_PY) || "$$(tools/ensure-python-ft --tsan)" -m venv $(TSAN_VENV)
	$(TSAN_PY) -m pip install -qq --upgrade pip
	$(TSAN_PY) -m pip install -qq --only-binary numpy,pandas numpy pandas pytest websockets
	$(TSAN_PY) $(PIP_CHECKOUT) --no-deps -C build-dir=build/tsan-{wheel_tag} -C cmake.define.ORV_TSAN=ON \
	  -C cmake.build-type=RelWithDebInfo .
	ORV_STRESS_SECONDS=$(or $(STRESS_SECONDS_TSAN),10) tools/tsan-pytest $(TSAN_PY) test_free_threading.py

# Fast loop for development: build in place next to the Python sources.
dev: $(PY)
	$(PY) -m pip install -qq numpy pandas polars pytest hypothesis mypy websockets
	cmake -S . -B build/dev-$(PYVER) -G Ninja -DORV_INPLACE=ON -DORV_TEST_EXTENSIONS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	cmake --build build/dev-$(PYVER) -j2

dev-test: dev
	cd tests && PYTHONPATH=../python ../$(PY) -m pytest -q -p no:cacheprovider

# The whole suite against AddressSanitizer + UndefinedBehaviorSanitizer builds of both modules,
# the tests of the channel, the proxies, the codec and the coroutines under collector torture.
TORTURE ?= core
sanitize: $(SAN_PY)
	$(SAN_PY) $(PIP_CHECKOUT) $(DEPS) -C build-dir=build/sanitize-{wheel_tag} -C cmake.define.ORV_SANITIZE=ON \
	  -C cmake.define.ORV_TEST_EXTENSIONS=ON -C cmake.build-type=RelWithDebInfo ".[$(EXTRAS)]"
	tools/check-modules $(SAN_PY) sanitize
	$(GIL) tools/sanitized-pytest $(SAN_PY) --gc-torture=$(TORTURE)

# Coverage-guided fuzzing of both modules (clang + sanitizers when available), FUZZ_SECONDS per target.
fuzz:
	@test -n "$(BASE_PY)" || { echo "CPython $(PYVER) not found under $(PYENV_ROOT)/versions"; exit 1; }
	fuzz/run $(BASE_PY)

# The whole suite against both modules built with clang and libc++ (tools/ensure-clang
# installs them), warnings fatal, in a build folder of their own: a cached compiler is
# never switched.
test-clang: $(CLANG_PY)
	CXX=clang++ CXXFLAGS=-stdlib=libc++ LDFLAGS=-stdlib=libc++ $(CLANG_PY) $(PIP_CHECKOUT) \
	  -C build-dir=build/clang-{wheel_tag} -C cmake.define.CMAKE_COMPILE_WARNING_AS_ERROR=ON \
	  -C cmake.define.ORV_TEST_EXTENSIONS=ON ".[test,polars]"
	tools/check-modules $(CLANG_PY) clang
	cd tests && ../$(CLANG_PY) -m pytest -q -p no:cacheprovider

# The add-in as a web page in Debian's chromium (tools/ensure-chromium installs it and its
# driver; selenium drives it). SELENIUM is the browser extra's requirement, installed alone
# so that an installed package is not built again.
SELENIUM := selenium>=4.11

# The example sessions against the page in headless chromium; saves build/demo-browser.png.
# WATCH=1 starts no browser: open the printed URL in your own and watch the sheet fill in.
demo-browser: install
	$(if $(WATCH),,tools/ensure-chromium)
	$(PY) -m pip install -qq "$(SELENIUM)"
	$(PY) examples/browser_demo.py $(if $(WATCH),--watch)

# The add-in cases against both add-ins (the Python stand-in and the page) and the cases
# only a JavaScript peer shows; a missing browser fails here instead of skipping.
test-browser: install
	tools/ensure-chromium
	$(PY) -m pip install -qq "$(SELENIUM)"
	tools/check-modules $(PY) plain
	cd tests && ORV_REQUIRE_BROWSER=1 ../$(PY) -m pytest -q -p no:cacheprovider -k browser

# The benchmarks against the build of this checkout; with a wheel of this CPython in dist/
# (make wheels), the same benchmarks against the installed wheel, run in turn, and the
# wheel's times as ratios of the local build's.
bench: install
	@if ls dist/orvane_master-*-cp$(subst .,,$(PYVER))-*.whl >/dev/null 2>&1; then \
	  tools/wheels/test-wheel --install-only $(PYVER) && \
	  $(PY) tools/wheels/compare-bench $(PY) .venv-wheel-$(PYVER)/bin/python; \
	else $(PY) benchmarks/run_all.py; fi

# Release artefacts in dist/: the sdist and a manylinux_2_17 wheel for each CPython from
# 3.9 to 3.13 and for the free-threaded 3.13t (which tools/ensure-python-ft builds once),
# built with the pinned toolchain of tools/wheels/requirements.txt.
# `make sdist` and `make binary-wheels` are its two halves, the second from the sdist in dist/.
wheels:
	tools/wheels/build $(WHEEL_VERSIONS)

sdist:
	tools/wheels/build --sdist

binary-wheels:
	tools/wheels/build --wheels $(WHEEL_VERSIONS)

# The suite against the wheel of one CPython, installed from dist/ into a fresh environment.
test-wheel:
	tools/wheels/test-wheel $(PYVER)

# The sdist unpacked into a fresh folder, built there (this machine's compiler) and tested.
test-sdist:
	tools/wheels/test-sdist $(PYVER)

clean:
	rm -rf build dist .venv-*
	find python tests/ext -name '*.so' -delete
