"""The message catalog: every core message in Chinese (as the core writes it) and English.

The catalog lives in ``messages.toml`` beside this module: one entry per
message, its Chinese template (``zh``, filled with ``str.format``), its English
template (``en``; ``{0}``, ``{1}`` may reorder the values), the type raised and
an explanation.  docs/messages.md is generated from it (scripts/gen_messages.py).

The core builds every catalogued exception and warning through `_build`, so
each carries ``template`` (the Chinese template, the catalog key) and
``values`` (the values that fill it).  The language of the text is Chinese by
default; ``VERDALIS_LANG=en`` in the environment, or ``set_language("en")``,
switches the text to English.  Types, categories, arguments and attributes
are the same in both languages.

`english(error)` gives the English text of any exception or warning of the
package, whatever the language it was raised in; the command line and the
reports show that.
"""
from __future__ import annotations

import os
import sys
from dataclasses import dataclass
from functools import lru_cache
from pathlib import Path

if sys.version_info >= (3, 11):
    import tomllib
else:  # pragma: no cover - older interpreters
    import tomli as tomllib

__all__ = ["Entry", "LANGUAGES", "catalog", "entry", "english", "get_language", "original",
           "render", "set_language", "sections"]

LANGUAGES = ("zh", "en")
CATALOG_PATH = Path(__file__).with_name("messages.toml")


@dataclass(frozen=True)
class Entry:
    """One catalogued message."""

    zh: str
    en: str
    type: str
    cause: str
    action: str
    section: str


def _from_environment() -> str:
    value = os.environ.get("VERDALIS_LANG", "").strip().lower()
    return "en" if value.startswith("en") else "zh"


_language = _from_environment()


def set_language(language: str | None) -> str:
    """Choose the language of the core's messages: "zh" (the default) or "en";
    None goes back to what ``VERDALIS_LANG`` says.  Returns the language set."""
    global _language
    if language is None:
        _language = _from_environment()
        return _language
    value = str(language).strip().lower()
    if value not in LANGUAGES:
        raise ValueError("language must be one of {}, got {!r}".format(", ".join(LANGUAGES), language))
    _language = value
    return _language


def get_language() -> str:
    """The language new messages are written in: "zh" or "en"."""
    return _language


@lru_cache(maxsize=None)
def _load():
    with CATALOG_PATH.open("rb") as f:
        raw = tomllib.load(f)
    entries = {}
    for section in raw["section"]:
        for m in section.get("message", []):
            entries[m["zh"]] = Entry(m["zh"], m["en"], m["type"], m["cause"], m["action"],
                                     section["title"])
    return raw, entries


def catalog() -> dict:
    """Every entry, keyed by its Chinese template."""
    return dict(_load()[1])


def sections() -> list:
    """The raw catalog: header, sections with their entries, appendix (for the docs)."""
    return _load()[0]


def entry(template: str) -> Entry | None:
    """The entry of a Chinese template, or None."""
    return _load()[1].get(template)


class IdList(str):
    """A list of ids shown in a message, cut after a number of names: a str in
    the language it was made in, re-rendered for `english`."""

    def __new__(cls, shown, total, language=None):
        shown = [str(s) for s in shown]
        text = ", ".join(shown)
        if total > len(shown):
            text += render(" 等共 {} 只", (total,), language)
        self = super().__new__(cls, text)
        self.ids, self.total, self.language = shown, total, language or _language
        return self

    def __reduce__(self):
        # an exception carrying it crosses process boundaries (sweep workers)
        return IdList, (self.ids, self.total, self.language)

    def in_language(self, language):
        return IdList(self.ids, self.total, language)


def _ids(shown, total):
    return IdList(shown, int(total))


def render(template: str, values=(), language: str | None = None) -> str:
    """The text of a catalogued template filled with `values`, in `language`
    (default: the current one).  A template missing from the catalog is
    filled as it is."""
    language = language or _language
    found = entry(template)
    text = found.en if (language == "en" and found is not None) else template
    values = tuple(v.in_language(language) if isinstance(v, IdList) else v for v in values)
    if "%r" in template:
        return text % values
    return text.format(*values)


def _build(cls, template, values, **attributes):
    """An instance of the exception or warning class `cls` with the text of
    `template` in the current language; it carries the template, the values
    and `attributes`.  The core calls this for every catalogued message."""
    values = tuple(values)
    instance = cls(render(template, values))
    instance.template, instance.values = template, values
    for name, value in attributes.items():
        setattr(instance, name, value)
    return instance


def _subject(obj):
    # a record of warnings.catch_warnings(record=True) holds the warning in .message
    message = getattr(obj, "message", None)
    return message if isinstance(message, Warning) else obj


def _in(obj, language):
    obj = _subject(obj)
    template = getattr(obj, "template", None)
    if isinstance(template, str) and entry(template) is not None:
        return render(template, getattr(obj, "values", ()), language)
    text = str(obj.args[0]) if isinstance(obj, BaseException) and len(obj.args) == 1 else str(obj)
    # A message built without values (a fixed text) is found by its template.
    found = entry(text)
    if found is not None and "{}" not in text:
        return found.en if language == "en" else found.zh
    return text


def english(obj) -> str:
    """The English text of an exception or warning of the package (or of a
    recorded warning); other objects give their own text."""
    return _in(obj, "en")


def original(obj) -> str:
    """The text as the core writes it by default (Chinese)."""
    return _in(obj, "zh")
