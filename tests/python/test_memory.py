"""A fit that runs short of memory or threads: it fails cleanly and says why, or it goes
on with the threads it has and grows the same tree."""

import os
import subprocess
import sys
import textwrap

import pytest

from conftest import SANITIZED_MODULE_DIR

# Run in a fresh interpreter: address-space limits cannot be lifted once set.
PRELUDE = textwrap.dedent("""
    import os, resource, threading
    import numpy as np
    from qor import QORClassifier

    def limit(extra_mib):
        pages = int(open("/proc/self/statm").read().split()[0])
        used = pages * os.sysconf("SC_PAGE_SIZE")
        _, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (used + extra_mib * 2**20, hard))

    rng = np.random.default_rng(0)
    X = rng.normal(size=(300_000, 20))
    y = (X[:, 0] + rng.normal(size=len(X)) > 0).astype(int)
""")


def run(script, **env):
    environment = {**os.environ, "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1", **env}
    done = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(script)],
                          capture_output=True, text=True, env=environment, timeout=600)
    assert done.returncode == 0, done.stderr
    return done.stdout


# AddressSanitizer maps its own bookkeeping outside the allocator and aborts when an
# address-space limit refuses it, before the fit could see a failed allocation.
@pytest.mark.skipif(bool(SANITIZED_MODULE_DIR),
                    reason="the sanitizer aborts under an address-space limit")
@pytest.mark.parametrize("max_bins", [None, 255])
def test_running_out_of_memory_says_what_the_fit_was_doing(max_bins):
    out = run(f"""
        model = QORClassifier(max_depth=3, max_bins={max_bins}).fit(X[:2000], y[:2000])
        before = model.predict(X[:2000])
        limit(12)
        try:
            model.fit(X, y + 10)  # other classes: a half-made fit would relabel the tree
        except MemoryError as error:
            print("MemoryError:", error)
        assert (model.predict(X[:2000]) == before).all() and model.classes_.tolist() == [0, 1]
    """)
    assert out.startswith("MemoryError: out of memory while ")
    assert "which needs about" in out and "MiB" in out


def test_threads_that_cannot_start_leave_the_tree_as_it_is():
    # With a 1 GiB default stack no thread can start under a limit that the fit's
    # data fit in: the fit goes on on the calling thread alone.
    out = run("""
        one = QORClassifier(max_depth=8).fit(X, y)
        limit(400)
        try:
            threading.Thread(target=print).start()
            print("a thread started")
        except RuntimeError:
            pass
        two = QORClassifier(max_depth=8, n_jobs=2).fit(X, y)
        binned = QORClassifier(max_depth=8, max_bins=64, n_jobs=2).fit(X, y)
        same = all((getattr(one.tree_, a) == getattr(two.tree_, a)).all()
                   for a in ("feature", "threshold", "value"))
        print("same" if same and binned.tree_.node_count > 100 else "different")
    """)
    assert out.strip() == "same"


@pytest.fixture(autouse=True)
def big_stacks(monkeypatch):
    import resource
    soft, hard = resource.getrlimit(resource.RLIMIT_STACK)
    wanted = 2**30 if hard == resource.RLIM_INFINITY else min(2**30, hard)
    resource.setrlimit(resource.RLIMIT_STACK, (wanted, hard))
    yield
    resource.setrlimit(resource.RLIMIT_STACK, (soft, hard))
