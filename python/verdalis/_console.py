"""What the command line and the demo share: the error that is the whole
explanation, reading a date, the text of the core's messages, the store in use
and its one-line description."""
import datetime

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
