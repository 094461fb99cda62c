#!/usr/bin/env python3
"""Write docs/messages.md from the message catalog python/verdalis/messages.toml.

    python scripts/gen_messages.py            # rewrite docs/messages.md
    python scripts/gen_messages.py --check    # exit 1 if docs/messages.md is out of date

tests/test_messages.py compares the generated text with the committed file.
"""
from __future__ import annotations

import argparse
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DOC = ROOT / "docs" / "messages.md"
sys.path.insert(0, str(ROOT / "python"))

from verdalis import messages  # noqa: E402  (the catalog module needs no compiled core)


def _cell(text: str) -> str:
    return text.replace("|", "\\|").replace("\n", " ")


def _code(text: str) -> str:
    # a literal in a table cell: backticks, with a template's own backticks doubled around
    return "`` {} ``".format(text) if "`" in text else "`{}`".format(text)


def render() -> str:
    raw = messages.sections()
    out = [raw["header"].rstrip("\n"), ""]
    for section in raw["section"]:
        out += ["## " + section["title"], ""]
        if section.get("intro", "").strip():
            out += [section["intro"].rstrip("\n"), ""]
        out += ["| message | type | English | cause | what to do |", "|---|---|---|---|---|"]
        for m in section.get("message", []):
            out.append("| {} | {} | {} | {} | {} |".format(
                _cell(_code(m["zh"])), m["type"], _cell(m["en"]), _cell(m["cause"]), _cell(m["action"])))
        out.append("")
    out.append(raw["appendix"].rstrip("\n"))
    return "\n".join(out) + "\n"


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="only compare; exit 1 when out of date")
    args = parser.parse_args(argv)
    text = render()
    if args.check:
        if DOC.read_text(encoding="utf-8") != text:
            print("docs/messages.md is out of date: run python scripts/gen_messages.py", file=sys.stderr)
            return 1
        return 0
    DOC.write_text(text, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
