"""One call reads one version of the store: a rewrite during a call never
mixes two versions in its result, and the next call sees the new version."""
import datetime
import subprocess
import sys
import threading

import numpy as np
import pandas as pd
import pytest

import corvana
from corvana import store as cstore
from verdalis.objective import MinTrackingError
from verdalis.optimize import portfolio_optimize

DATE = datetime.date(2021, 6, 30)
PREV = "2021-06-29"


@pytest.fixture(scope="module")
def versions(small_market, tmp_path_factory):
    """Two versions of the small store whose risk models differ, written as folders of tables."""
    st = cstore.Store(small_market)
    a = {name: st.read_table(name).to_pandas() for name in st.manifest["tables"]}
    st.close()
    b = {k: v.copy() for k, v in a.items()}
    # factor risk up, specific risk down: a mixture of A and B is neither
    b["factor_covariance"]["cov"] *= 3.0
    b["specific_risk"]["specific_variance"] *= 0.5
    root = tmp_path_factory.mktemp("versions")
    for name, tables in (("a", a), ("b", b)):
        (root / name).mkdir()
        for t, frame in tables.items():
            frame.to_parquet(root / name / f"{t}.parquet")
    return root, a, b


@pytest.fixture
def live(versions, small_market, tmp_path):
    """A store holding version A, the client connected to it."""
    root, a, _ = versions
    path = tmp_path / "live"
    corvana.write_store(path, a, source="version a")
    corvana.connect(path)
    yield path
    corvana.connect(small_market)


def _call():
    pool = corvana.index_components("000300.XSHG", PREV)
    return portfolio_optimize(pool, DATE, MinTrackingError(), bnds={"*": (0, 0.2)}, benchmark="000300.XSHG")


@pytest.fixture
def expected(live, versions):
    """The call's weights on version A and on version B."""
    root, a, b = versions
    on_a = _call()
    corvana.write_store(live, b, source="version b")
    on_b = _call()
    corvana.write_store(live, a, source="version a")
    assert not np.allclose(on_a.to_numpy(), on_b.to_numpy(), atol=1e-4)
    return on_a, on_b


def _which(weights, expected):
    for label, w in zip("ab", expected):
        if weights.index.equals(w.index) and np.array_equal(weights.to_numpy(), w.to_numpy()):
            return label
    return None


def test_a_rewrite_in_the_middle_of_a_call_is_seen_from_the_next_call(live, versions, expected, monkeypatch):
    root, a, b = versions
    real, done = corvana.get_factor_covariance, []

    def rewrite_then_read(*args, **kwargs):
        if not done:  # the first risk-model read of the call: the store changes under it
            done.append(1)
            corvana.write_store(live, b, source="version b")
        return real(*args, **kwargs)

    monkeypatch.setattr(corvana, "get_factor_covariance", rewrite_then_read)
    assert _which(_call(), expected) == "a"
    assert done and _which(_call(), expected) == "b"


def test_a_pinned_block_reads_the_old_files_after_this_process_replaced_them(live, versions):
    root, a, b = versions
    with corvana.pinned():
        before = corvana.get_specific_risk(corvana.index_components("000300.XSHG", PREV), PREV)
        corvana.write_store(live, b, source="version b")  # deletes A's files
        # a table not read before the rewrite: still A's
        cov = corvana.get_factor_covariance(PREV)
        again = corvana.get_specific_risk(before.index, PREV)
    pd.testing.assert_series_equal(before, again, check_exact=True)
    assert np.array_equal(corvana.get_factor_covariance(PREV).to_numpy(), 3.0 * cov.to_numpy())


REWRITER = r"""
import sys, pandas as pd, corvana
root, path, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
names = ["instruments", "trading_dates", "bars", "index_weights", "industries",
         "style_exposure", "factor_covariance", "specific_risk"]
tables = {v: {t: pd.read_parquet(f"{root}/{v}/{t}.parquet") for t in names} for v in "ab"}
for k in range(n):
    v = "ba"[k % 2]
    corvana.write_store(path, tables[v], source="version " + v)
"""


@pytest.mark.parametrize("writer", ["process", "thread"])
def test_calls_racing_rewrites_each_read_one_version(live, versions, expected, writer):
    root, a, b = versions
    rewrites = 8
    if writer == "process":
        proc = subprocess.Popen([sys.executable, "-c", REWRITER, str(root), str(live), str(rewrites)])
        running = lambda: proc.poll() is None  # noqa: E731
    else:
        def loop():
            for k in range(rewrites):
                corvana.write_store(live, (b, a)[k % 2], source="rewrite")
        thread = threading.Thread(target=loop)
        thread.start()
        running = thread.is_alive
    seen = []
    while running() or not seen:
        seen.append(_which(_call(), expected))
    if writer == "process":
        assert proc.wait() == 0
    else:
        thread.join()
    assert None not in seen, f"{seen.count(None)} of {len(seen)} calls mixed two versions"
    assert _which(_call(), expected) == "a"  # the last rewrite wrote A
