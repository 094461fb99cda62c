"""The font a report carries, so that its pages read the same on any machine.

Industry and stock names are often Chinese; a reader without a CJK font would
see empty boxes.  The report therefore sets every text, in its tables and in
its figures (SVG with text kept as text), in one font embedded in the page:
the subset of Noto Sans CJK SC (SIL Open Font License 1.1, shipped in the
`mplfonts` package on PyPI) holding exactly the characters the page uses.

`VERDALIS_REPORT_FONT=/path/font.otf` chooses another font file.  Characters
the font has no glyph for are never dropped silently: `embed` returns them,
and the page names them in a note and with a `MissingGlyphWarning`.

Cutting a subset out of the whole font (65,000 glyphs) costs about three
times as much as the rest of a report.  `prepare()` (run by scripts/setup.sh)
caches once a lean copy: printable
Latin, punctuation, Greek and the GB2312 set (6,763 common Chinese
characters).  Pages are cut from it; a page with a character outside it is
cut from the whole font, as without the cache.
"""
from __future__ import annotations

import base64
import functools
import hashlib
import importlib.util
import io
import os
import tempfile
import warnings
from dataclasses import dataclass
from pathlib import Path
from typing import Optional

#: the CSS family name of the embedded font (private, so no installed font can shadow it)
FAMILY = "verdalis-embedded"
#: the font file inside the `mplfonts` package
PACKAGED_FONT = ("fonts", "NotoSansCJKsc-Regular.otf")
FONT_ENV = "VERDALIS_REPORT_FONT"
#: bump when the lean copy's contents change, so that old caches are not used
LEAN_VERSION = 1


class MissingGlyphWarning(UserWarning):
    """Characters of a report that its font cannot draw (they show as boxes)."""


def font_path() -> Optional[Path]:
    """The font file reports embed: $VERDALIS_REPORT_FONT, else the one in `mplfonts`; None without either."""
    chosen = os.environ.get(FONT_ENV)
    if chosen:
        path = Path(chosen)
        if not path.is_file():
            raise FileNotFoundError("{}={}: no such font file".format(FONT_ENV, chosen))
        return path
    # found without importing the package: only its font file is used
    spec = importlib.util.find_spec("mplfonts")
    if spec is None or not spec.submodule_search_locations:
        return None
    for folder in spec.submodule_search_locations:
        path = Path(folder).joinpath(*PACKAGED_FONT)
        if path.is_file():
            return path
    return None


@functools.lru_cache(maxsize=4)
def _font_info(path: str):
    """(family name, set of code points with a glyph) of the font file at `path`."""
    from fontTools.ttLib import TTFont

    with TTFont(path, lazy=True) as font:
        name = font["name"].getBestFamilyName() or Path(path).stem
        return name, frozenset(font.getBestCmap())


def _drawn(text):
    """The characters of `text` that need a glyph (not controls, not line breaks)."""
    return {ch for ch in text if ch.isprintable() or ch == " "} - {"\ufeff"}


@dataclass
class EmbeddedFont:
    """The subset of a font that a page carries."""

    #: the font's own family name, e.g. "Noto Sans CJK SC"
    name: str
    #: file the subset was cut from (the lean copy, or the whole font)
    source: Path
    #: the subset, an OpenType file
    data: bytes
    #: the characters the subset draws, sorted
    covered: str
    #: the characters of the page that the font cannot draw, sorted
    missing: str

    def css(self) -> str:
        """An @font-face rule for the subset, as a data URL."""
        return ("@font-face{{font-family:'{}';src:url(data:font/otf;base64,{}) format('opentype');"
                "font-display:block}}".format(FAMILY, base64.b64encode(self.data).decode("ascii")))


def embed(text: str, path=None) -> Optional[EmbeddedFont]:
    """The subset of the report font (`path`, default `font_path()`) that draws
    the characters of `text`; None when there is no font to embed."""
    path = Path(path) if path is not None else font_path()
    if path is None:
        return None
    from fontTools import subset
    from fontTools.ttLib import TTFont

    wanted = _drawn(text)
    source = path
    lean = lean_path(path)
    if lean is not None and lean.is_file():
        name, cmap = _font_info(str(lean))
        if all(ord(ch) in cmap for ch in wanted):
            source = lean
    if source is path:
        name, cmap = _font_info(str(path))
    covered = sorted(ch for ch in wanted if ord(ch) in cmap)
    missing = sorted(wanted - set(covered))
    subsetter = subset.Subsetter(_options())
    subsetter.populate(text="".join(covered))
    buffer = io.BytesIO()
    with TTFont(str(source), lazy=True) as font:
        subsetter.subset(font)
        font.save(buffer)
    return EmbeddedFont(name=name, source=source, data=buffer.getvalue(), covered="".join(covered),
                        missing="".join(missing))


def _options():
    from fontTools import subset

    options = subset.Options()
    # outlines and metrics only: the page needs no hinting, shaping tables or vertical metrics
    options.hinting = False
    options.desubroutinize = True
    options.layout_features = []
    options.drop_tables += ["GSUB", "GPOS", "GDEF", "BASE", "VORG", "vhea", "vmtx", "DSIG"]
    options.name_IDs = [0, 1, 2, 13, 14]   # copyright, family, style, licence and its URL stay with the font
    options.name_languages = [0x409]
    options.notdef_outline = True
    return options


def cache_dir() -> Path:
    """Where verdalis caches derived files: $VERDALIS_CACHE, else the per-user cache folder."""
    chosen = os.environ.get("VERDALIS_CACHE")
    if chosen:
        return Path(chosen)
    base = os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache"
    return Path(base) / "verdalis"


def lean_path(path) -> Optional[Path]:
    """Where the lean copy of the font file `path` is cached (it may not exist yet)."""
    import fontTools

    try:
        stat = Path(path).stat()
    except OSError:
        return None
    key = "{}|{}|{}|{}|{}".format(Path(path).absolute(), stat.st_size, stat.st_mtime_ns, fontTools.version,
                                  LEAN_VERSION)
    return cache_dir() / "fonts" / "{}-{}.otf".format(Path(path).stem, hashlib.sha1(key.encode()).hexdigest()[:12])


def lean_characters() -> str:
    """What the lean copy holds: printable Latin and general punctuation, and the GB2312 set."""
    chars = {chr(c) for c in range(0x20, 0x250)} | {chr(c) for c in range(0x2000, 0x2070)}
    for code in range(0x250, 0x10000):
        ch = chr(code)
        try:
            ch.encode("gb2312")
        except UnicodeEncodeError:
            continue
        chars.add(ch)
    return "".join(sorted(ch for ch in chars if ch.isprintable()))


def prepare(path=None) -> Optional[Path]:
    """Cache the lean copy of the report font, once; its path, or None
    without a font or without a writable cache folder."""
    from fontTools import subset
    from fontTools.ttLib import TTFont

    path = Path(path) if path is not None else font_path()
    target = lean_path(path) if path is not None else None
    if target is None:
        return None
    if target.is_file():
        return target
    subsetter = subset.Subsetter(_options())
    subsetter.populate(text=lean_characters())
    try:
        target.parent.mkdir(parents=True, exist_ok=True)
        handle, tmp = tempfile.mkstemp(dir=target.parent, suffix=".tmp")
    except OSError:
        return None
    try:
        with os.fdopen(handle, "wb") as out, TTFont(str(path), lazy=True) as font:
            subsetter.subset(font)
            font.save(out)
        os.replace(tmp, target)  # whole or not at all: a reader never sees half a font
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)
    return target


def missing_note(font: Optional[EmbeddedFont], text: str) -> Optional[str]:
    """A sentence naming the characters of `text` that will not draw, with a
    `MissingGlyphWarning`; None when every character draws."""
    if font is None:
        wide = sorted(ch for ch in _drawn(text) if ord(ch) > 0x24F)
        if not wide:
            return None
        message = ("no font to embed (install the `mplfonts` package or set {}); {} characters may show "
                   "as boxes on machines without a font for them: {}".format(FONT_ENV, len(wide), _few(wide)))
    elif font.missing:
        message = "{} characters have no glyph in {} and show as boxes: {}".format(
            len(font.missing), font.name, _few(font.missing))
    else:
        return None
    warnings.warn(message, MissingGlyphWarning, stacklevel=3)
    return message


def _few(chars, shown=20):
    chars = list(chars)
    text = " ".join(chars[:shown])
    return text + (" ... ({} more)".format(len(chars) - shown) if len(chars) > shown else "")
