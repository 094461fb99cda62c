"""Command line of the market-data client: ``python -m corvana {build-demo,import,info}``."""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

from .store import MANIFEST, StoreError, default_path, write_store


def _target(path) -> Path:
    return Path(path).expanduser().absolute() if path else default_path().absolute()


def _build_demo(args) -> int:
    from . import synth

    target = _target(args.path)
    print(f"corvana: building the {args.size} demo market (seed {args.seed}) at {target}", file=sys.stderr)
    tables = synth.generate(args.size, seed=args.seed, progress=not args.quiet)
    write_store(target, tables, source=f"corvana.synth.generate(size={args.size!r}, seed={args.seed})")
    print(f"corvana: wrote {target}")
    return 0


def _import(args) -> int:
    from .importer import import_store

    target = import_store(args.source, _target(args.path))
    print(f"corvana: imported {Path(args.source).absolute()} into {target}")
    return _info(argparse.Namespace(path=str(target)))


def _info(args) -> int:
    target = _target(args.path)
    manifest_path = target / MANIFEST
    if not manifest_path.is_file():
        print(f"corvana: no market data at {target} (build it with `python -m corvana build-demo`)", file=sys.stderr)
        return 1
    try:
        manifest = json.loads(manifest_path.read_text(encoding="utf-8"))
    except (OSError, ValueError) as exc:
        raise StoreError(f"cannot read {manifest_path}: {exc}") from None
    print(f"store:   {target}")
    print(f"source:  {manifest.get('source', '?')}")
    print(f"created: {manifest.get('created', '?')}")
    print(f"dates:   {manifest.get('first_date')} .. {manifest.get('last_date')}")
    tables = manifest.get("tables", {})
    width = max((len(n) for n in tables), default=0)
    for name, meta in tables.items():
        print(f"  {name:<{width}}  {meta.get('rows', 0):>12,d} rows")
    return 0


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="corvana", description="Local market-data store for verdalis.")
    sub = parser.add_subparsers(dest="command", required=True)

    p = sub.add_parser("build-demo", help="build the deterministic demo market")
    p.add_argument("--size", choices=["full", "small"], default="full")
    p.add_argument("--path", help="store folder (default: $CORVANA_DATA or the per-user folder)")
    p.add_argument("--seed", type=int, default=20240101)
    p.add_argument("--quiet", action="store_true", help="no progress bar")
    p.set_defaults(func=_build_demo)

    p = sub.add_parser("import", help="replace the store with the CSV/Parquet tables of a folder")
    p.add_argument("source", metavar="SOURCE_DIR")
    p.add_argument("--path", help="store folder (default: $CORVANA_DATA or the per-user folder)")
    p.set_defaults(func=_import)

    p = sub.add_parser("info", help="show the tables of a store")
    p.add_argument("--path", help="store folder (default: $CORVANA_DATA or the per-user folder)")
    p.set_defaults(func=_info)

    args = parser.parse_args(argv)
    try:
        return args.func(args)
    except (ValueError, StoreError, OSError) as exc:  # DataImportError is a ValueError
        print(f"corvana: error: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("corvana: interrupted; the store was left as it was", file=sys.stderr)
        return 130
