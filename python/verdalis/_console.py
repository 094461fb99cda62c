"""What the command line and the demo share: the error that is the whole
explanation, reading a date, the store in use and its one-line description."""
import datetime

class UserError(Exception):
    """A request the command cannot serve; its message is the whole explanation."""


def _parse_date(text):
    try:
        return datetime.date.fromisoformat(text.strip())
    except ValueError:
        raise UserError("cannot read the date {!r}; write it as YYYY-MM-DD".format(text)) from None


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
