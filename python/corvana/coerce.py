"""Reading arguments given in any of their accepted forms: dates and choices.

Shared by the client's functions and by every layer of verdalis above the
core (the optimization context, config files, the command line), so a date or
an option name means the same thing everywhere.  Callers that refuse a value
raise their own error (the client a ValueError, the optimizer its
InvalidArgument, a config its ConfigError), hence ``choice`` and ``member``
return None instead of raising.

``portfolio_optimize`` alone is stricter: its ``cov_model`` and ``risk_model``
are members or their exact values (``"daily"``, not ``"DAILY"`` or
``"FACTOR_MODEL_DAILY"``), as its documented contract fixes, while config
files and the command line, which cannot hold enum members, also take member
names in any letter case.
"""

from __future__ import annotations

import datetime as _dt

import numpy as np
from dateutil import parser as _dateparser

__all__ = ["to_date", "choice", "member"]


def to_date(value) -> _dt.date:
    """Convert any accepted date form to ``datetime.date``.

    Accepted: ``datetime.date``/``datetime``/``pd.Timestamp``, ``numpy.datetime64``,
    an int ``YYYYMMDD``, and strings ``YYYY-MM-DD``, ``YYYYMMDD`` or any full
    date dateutil reads (not a partial one such as "June").  Unreadable strings raise ValueError, other types TypeError.
    """
    if isinstance(value, _dt.datetime):  # also pd.Timestamp
        return value.date()
    if isinstance(value, _dt.date):
        return value
    if isinstance(value, np.datetime64):
        if np.isnat(value):
            raise ValueError("date is NaT")
        return value.astype("datetime64[D]").item()
    if isinstance(value, (int, np.integer)) and 19000101 <= int(value) <= 99991231:
        value = str(int(value))
    if isinstance(value, str):
        s = value.strip()
        try:
            if len(s) == 10 and s[4] == "-" and s[7] == "-":
                return _dt.date(int(s[:4]), int(s[5:7]), int(s[8:]))
            if len(s) == 8 and s.isdigit():
                return _dt.date(int(s[:4]), int(s[4:6]), int(s[6:]))
            # A string missing its year, month or day ("June") would be
            # completed from today's date: refused, by parsing it against two
            # different defaults.
            first = _dateparser.parse(s, default=_dt.datetime(2000, 1, 1))
            if _dateparser.parse(s, default=_dt.datetime(2001, 2, 2)) != first:
                raise ValueError("incomplete date")
            return first.date()
        except (ValueError, OverflowError):
            raise ValueError(f"cannot read {value!r} as a date") from None
    raise TypeError(f"expected a date, got {type(value).__name__}: {value!r}")


def choice(value, allowed, names=None) -> str | None:
    """The allowed (lower-case) value meant by ``value``, or None.

    ``value`` may be the value itself in any letter case, an object whose
    ``.value`` is one (an enum member) or, when ``names`` maps upper-case
    names to values, such a name in any case.
    """
    raw = value if isinstance(value, str) else getattr(value, "value", None)
    if not isinstance(raw, str):
        return None
    low = raw.lower()
    if low in allowed:
        return low
    if names:
        return names.get(raw.upper())
    return None


def member(enum_cls, value):
    """The member of ``enum_cls`` meant by ``value``, or None.

    ``value`` may be a member, a member's (string) value or a member's name,
    values and names in any letter case.
    """
    if isinstance(value, enum_cls):
        return value
    values = {m.value.lower(): m for m in enum_cls if isinstance(m.value, str)}
    picked = choice(value, list(values), {m.name.upper(): m.value.lower() for m in enum_cls
                                          if isinstance(m.value, str)})
    return values.get(picked) if picked is not None else None
