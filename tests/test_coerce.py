"""Dates and option names as the client and the optimization context read them."""
import datetime as dt
import enum

import numpy as np
import pandas as pd
import pytest

from corvana import coerce
from corvana.coerce import choice, to_date

JUNE_1 = dt.date(2021, 6, 1)


@pytest.mark.parametrize("value", [
    JUNE_1, dt.datetime(2021, 6, 1, 15, 30), pd.Timestamp("2021-06-01 09:30"),
    np.datetime64("2021-06-01T12:00"), 20210601, np.int64(20210601),
    "2021-06-01", " 20210601 ", "2021/6/1", "June 1, 2021",
])
def test_to_date_reads_every_accepted_form(value):
    assert to_date(value) == JUNE_1


@pytest.mark.parametrize("value, expected", [
    (19000101, dt.date(1900, 1, 1)), (99991231, dt.date(9999, 12, 31)),  # the int range, both ends
    ("2021-06-15", dt.date(2021, 6, 15)), ("20211215", dt.date(2021, 12, 15)),
])
def test_to_date_edges(value, expected):
    assert to_date(value) == expected


@pytest.mark.parametrize("value", ["2021-06-15", " 20210615", 20210615, np.int32(20210615)])
def test_plain_forms_are_read_without_the_general_parser(monkeypatch, value):
    # to_date runs for every date of every query: the common forms take a fast path
    def refuse(text):
        raise AssertionError(f"general parser used for {text!r}")

    monkeypatch.setattr(coerce._dateparser, "parse", refuse)
    assert to_date(value) == dt.date(2021, 6, 15)


@pytest.mark.parametrize("value, error, message", [
    ("2021-13-01", ValueError, "^cannot read '2021-13-01' as a date$"),
    ("not a date", ValueError, "^cannot read 'not a date' as a date$"),
    ("abc", ValueError, "^cannot read 'abc' as a date$"),  # shorter than any fast form
    (np.datetime64("NaT"), ValueError, "^date is NaT$"),
    (None, TypeError, "^expected a date, got NoneType: None$"),
    (1.5, TypeError, "^expected a date, got float: 1.5$"),
    (12345, TypeError, "^expected a date, got int: 12345$"),  # an int that is not YYYYMMDD
    (99991232, TypeError, "^expected a date, got int: 99991232$"),
    (19000100, TypeError, "^expected a date, got int: 19000100$"),
])
def test_to_date_refuses(value, error, message):
    with pytest.raises(error, match=message):
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
