import os
import shutil
import tempfile
from pathlib import Path

import pytest

# Nothing in the test session may build the full demo market or touch the
# user's store: point the client at a scratch folder and make any implicit
# build the small market.
_SCRATCH = Path(tempfile.mkdtemp(prefix="corvana-tests-"))
os.environ["CORVANA_DATA"] = str(_SCRATCH / "store")
os.environ["CORVANA_DEMO_SIZE"] = "small"


def pytest_unconfigure(config):
    shutil.rmtree(_SCRATCH, ignore_errors=True)


@pytest.fixture(scope="session")
def small_market(tmp_path_factory):
    """The small demo market, built once per session; the client is connected to it."""
    import corvana
    from corvana import synth

    path = tmp_path_factory.mktemp("corvana") / "store"
    corvana.write_store(path, synth.generate("small", progress=False), source="test session")
    os.environ["CORVANA_DATA"] = str(path)
    corvana.connect(path)
    yield path


# ------------------------------------------------------------------ hidden cases
# The small market has what real data has: index members that change on a
# rebalance day, suspensions, splits.  These fixtures find them in the market
# (rather than naming them, so they follow the generator) and fail loudly when
# the market no longer has them, so a test built on one never passes by
# running on a quiet day.

INDEX = "000300.XSHG"


@pytest.fixture(scope="session")
def membership_change(small_market):
    """(index, date, prev, left, joined): the index's members differ between
    the previous trading day and the day (a rebalance day of the index)."""
    import datetime

    import corvana

    for day in corvana.get_trading_dates(datetime.date(2021, 1, 4), datetime.date(2021, 12, 31)):
        prev = corvana.get_previous_trading_date(day)
        before, after = set(corvana.index_components(INDEX, prev)), set(corvana.index_components(INDEX, day))
        if before != after and before - after and after - before:
            return INDEX, day, prev, sorted(before - after), sorted(after - before)
    pytest.fail("the small market has no change of {} members in 2021".format(INDEX))


@pytest.fixture(scope="session")
def suspension(small_market):
    """(stock, first, last): an index member with no trades from `first` to
    `last` (volume 0), trading the week before, in the first half of 2021."""
    import datetime

    import corvana

    start, end = datetime.date(2021, 2, 1), datetime.date(2021, 6, 30)
    members = corvana.index_components(INDEX, start)
    bars = corvana.get_price(members, start, end, fields="volume", adjust_type="none")["volume"]
    still = bars[bars == 0].reset_index()
    for ob, days in still.groupby("order_book_id")["date"]:
        first = days.min().date()
        before = bars.xs(ob, level="order_book_id")
        if first > start + datetime.timedelta(days=10) and (before[before.index < pd_ts(first)] > 0).all():
            return ob, first, days.max().date()
    pytest.fail("the small market has no suspended {} member in the first half of 2021".format(INDEX))


def pd_ts(day):
    import pandas as pd

    return pd.Timestamp(day)


@pytest.fixture(scope="session")
def split(small_market):
    """(stock, day): an index member whose raw close jumps on `day` by a
    corporate action (the adjustment factor changes), in 2021."""
    import datetime

    import corvana

    start, end = datetime.date(2021, 1, 4), datetime.date(2021, 12, 31)
    members = corvana.index_components(INDEX, start)
    raw = corvana.get_price(members, start, end, fields="close", adjust_type="none")["close"].unstack(0)
    rates = corvana.get_price_change_rate(members, start, end)
    gap = (raw.pct_change() - rates.reindex(raw.index)).abs().iloc[5:]   # a few days of history first
    found = gap[gap > 0.02].stack()
    if found.empty:
        pytest.fail("the small market has no split of a {} member in 2021".format(INDEX))
    (day, ob), _ = next(iter(found.items()))
    return ob, day.date()


@pytest.fixture(scope="session")
def partial_holding(small_market):
    """(weights, date): half the index's members (the others left out) and
    three stocks outside the index."""
    import datetime

    import numpy as np
    import pandas as pd

    import corvana

    date = datetime.date(2021, 6, 30)
    prev = corvana.get_previous_trading_date(date)
    members = sorted(corvana.index_components(INDEX, prev))
    covered = set(corvana.get_risk_exposure(corvana.all_instruments(type="CS", date=prev)["order_book_id"].tolist(),
                                            prev).index)
    outside = sorted(covered - set(members))[:3]
    held = members[::2] + outside
    w = np.linspace(1.0, 2.0, len(held))
    return pd.Series(w / w.sum(), index=held), date


#: A cost of trading used wherever a backtest's numbers are checked (bps of the value traded).
COST_BPS = 25.0

#: Weekly rebalancing across a year end (the ISO week of 2020-12-28 runs into 2021).
WEEKLY_ACROSS_NEW_YEAR = ("2020-12-14", "2021-01-22")


@pytest.fixture(scope="session")
def cost_bps():
    return COST_BPS


@pytest.fixture(scope="session")
def weekly_across_new_year():
    import datetime

    return tuple(datetime.date.fromisoformat(d) for d in WEEKLY_ACROSS_NEW_YEAR)
