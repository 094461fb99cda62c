"""Dates and option names as the client and the optimization context read them."""
import datetime as dt
import enum

import numpy as np
import pandas as pd
import pytest

from corvana.coerce import choice, to_date

JUNE_1 = dt.date(2021, 6, 1)


@pytest.mark.parametrize("value", [
    JUNE_1, dt.datetime(2021, 6, 1, 15, 30), pd.Timestamp("2021-06-01 09:30"),
    np.datetime64("2021-06-01T12:00"), 20210601, np.int64(20210601),
    "2021-06-01", " 20210601 ", "2021/6/1", "June 1, 2021",
])
def test_to_date_reads_every_accepted_form(value):
    assert to_date(value) == JUNE_1


@pytest.mark.parametrize("value, error", [
    ("2021-13-01", ValueError), ("not a date", ValueError), (np.datetime64("NaT"), ValueError),
    (None, TypeError), (1.5, TypeError), (12345, TypeError),  # an int that is not YYYYMMDD
])
def test_to_date_refuses(value, error):
    with pytest.raises(error):
        to_date(value)


class Horizon(enum.Enum):
    DAILY = "daily"
    MONTHLY = "monthly"


ALLOWED = ("daily", "monthly")
NAMES = {m.name: m.value for m in Horizon}


@pytest.mark.parametrize("value, names, expected", [
    ("daily", None, "daily"),
    ("MONTHLY", None, "monthly"),        # values in any case
    (Horizon.MONTHLY, None, "monthly"),  # an enum member stands for its value
    ("Daily", NAMES, "daily"),
    ("monthly", NAMES, "monthly"),
    ("weekly", None, None),
    ("DAILY_X", NAMES, None),
    (3, None, None),
    (None, NAMES, None),
])
def test_choice(value, names, expected):
    assert choice(value, ALLOWED, names) == expected


def test_choice_reads_member_names_only_when_given():
    class Model(enum.Enum):
        V1 = "first"

    assert choice("v1", ("first",)) is None
    assert choice("v1", ("first",), {m.name: m.value for m in Model}) == "first"
