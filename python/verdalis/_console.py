"""What the command line and the demo share: the error that is the whole
explanation, reading a date, the one date check, the text of the core's
messages, the store in use and its one-line description."""
import datetime

import corvana
from corvana.coerce import to_date

from .messages import english

#: -v on the command line: the core's own (Chinese) text follows the English
VERBOSE = False


class UserError(Exception):
    """A request the command cannot serve; its message is the whole explanation."""


def _parse_date(text):
    try:
        return to_date(text)
    except (TypeError, ValueError):
        raise UserError("cannot read the date {!r}; write it as YYYY-MM-DD".format(text)) from None


#: objectives whose expected returns are estimated from a window of history when not given
_WINDOWED = {"MeanVariance": "expected_returns", "ActiveMeanVariance": "expected_active_returns",
             "MaxSharpeRatio": "expected_returns", "MaxInformationRatio": "expected_active_returns"}


def history_needed(objective: dict) -> int:
    """Trading days of history before the date that a config's objective reads (0: none)."""
    given = _WINDOWED.get(objective.get("type"))
    if given is None or objective.get(given) is not None:
        return 0
    return int(objective.get("window", 252))


def _check_date(date, history=0, what="date"):
    """The data date of `date`, after the one check every command makes: the
    store holds the trading date before `date` and `history` trading days
    before that, and `date` is not past its end.  A refusal names the first
    (or last) date that works."""
    calendar = corvana.get_trading_dates(datetime.date.min, datetime.date.max)
    if not calendar:
        raise UserError("the market-data store at {} has an empty trading calendar".format(_store().path))
    first, last = calendar[0], calendar[-1]
    earliest = calendar[history + 1] if len(calendar) > history + 1 else None
    works = ("the first date that works is {}".format(earliest) if earliest
             else "no date works: the store holds {} trading days".format(len(calendar)))
    if date > last:
        raise UserError("{} {} is past the end of the store ({} .. {}): the last date it holds is {}".format(
            what, date, first, last, last))
    if date <= first:
        raise UserError("{} {} is not after the first trading date of the store ({} .. {}): an optimization for "
                        "date D uses the data of the trading date before D; {}".format(what, date, first, last,
                                                                                       works))
    prev = corvana.get_previous_trading_date(date)
    if calendar.index(prev) < history:
        raise UserError("{} {} needs {} trading days of history before it; the store starts at {}, so {}".format(
            what, date, history, first, works))
    return prev


def message_text(obj):
    """The English text of an exception or warning of the package (or a
    recorded warning); with -v, the core's own text follows in brackets."""
    text = english(obj)
    original = str(getattr(obj, "message", obj))
    if VERBOSE and original != text:
        text += " [{}]".format(original)
    return text


def _store():
    from corvana.client import current
    return current()


def _market_line(store):
    first = store.manifest.get("first_date")
    last = store.manifest.get("last_date")
    if store.synthetic:
        return ("market: the synthetic demo market ({} .. {}), generated data, not real market figures"
                .format(first, last))
    return "market: {} ({} .. {}), from {}".format(store.path, first, last, store.manifest.get("source", "?"))
