"""Command line of the market-data client: ``python -m corvana {build-demo,import,verify,upgrade,estimate-risk-model,info}``."""

from __future__ import annotations

import argparse
import json
import sys
import warnings
from pathlib import Path

from ._command import command
from .checks import DataWarning
from .store import FORMAT_VERSION, MANIFEST, StoreError, default_path
from .writer import write_store

DEFAULT_SEED = 20240101


def _version() -> str:
    try:
        from importlib.metadata import version

        return version("verdalis")
    except Exception:  # not installed as a distribution (source tree on sys.path)
        return "unknown"


def _target(path) -> Path:
    return Path(path).expanduser().absolute() if path else default_path().absolute()


def _build_demo(args) -> int:
    from . import synth

    target = _target(args.path)
    print(f"corvana: building the {args.size} synthetic demo market (seed {args.seed}) at {target}", file=sys.stderr)
    tables = synth.generate(args.size, seed=args.seed, progress=not args.quiet)
    write_store(target, tables, source=f"corvana.synth.generate(size={args.size!r}, seed={args.seed})",
                synthetic=True)
    print(f"corvana: wrote the synthetic demo market to {target}")
    return 0


def _import(args) -> int:
    from .importer import import_store

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", DataWarning)
        target = import_store(args.source, _target(args.path), estimate_risk_model=args.estimate_risk_model,
                              progress=not args.quiet, **_estimate_options(args))
    print(f"corvana: imported {Path(args.source).absolute()} into {target}"
          + (" and estimated its risk model" if args.estimate_risk_model else ""))
    code = _info(argparse.Namespace(path=str(target)))
    _print_findings([str(w.message) for w in caught if issubclass(w.category, DataWarning)])
    for w in caught:
        if not issubclass(w.category, DataWarning):
            print(f"corvana: warning: {w.message}", file=sys.stderr)
    return code


def _print_findings(lines) -> None:
    """The plausibility findings, one line each (or that there were none)."""
    if not lines:
        print("checks: no findings")
        return
    print(f"checks: {len(lines)} finding(s)")
    for line in lines:
        print(f"  {line}")


def _estimate_options(args) -> dict:
    return {"market": args.market, "standard": args.standard, "min_history": args.min_history}


def _estimate(args) -> int:
    from .riskmodel import estimate_store

    target = _target(args.path)
    if not (target / MANIFEST).is_file():
        print(f"corvana: error: no market data at {target} (import yours first with "
              f"`{command('corvana')} import SOURCE_DIR`)", file=sys.stderr)
        return 1
    print(f"corvana: estimating the risk model of {target}", file=sys.stderr)
    estimate_store(target, progress=not args.quiet, **_estimate_options(args))
    print(f"corvana: wrote the estimated risk model to {target}")
    return _info(argparse.Namespace(path=str(target)))


def _estimate_arguments(p) -> None:
    p.add_argument("--market", metavar="INDEX_ID",
                   help="index whose returns are the market for beta (default: the cap-weighted "
                        "average of the stocks, equal-weighted without market values)")
    p.add_argument("--standard", help="industry classification whose industries are the industry "
                                      "factors (default: sws when present, else the first one)")
    p.add_argument("--min-history", type=int, default=63, metavar="DAYS",
                   help="days of factor returns before the first snapshot (default %(default)s)")


def _info(args) -> int:
    target = _target(args.path)
    manifest_path = target / MANIFEST
    if not manifest_path.is_file():
        print(f"corvana: error: no market data at {target} (build the demo market with "
              f"`{command('corvana')} build-demo`, or import yours with `{command('corvana')} import SOURCE_DIR`)",
              file=sys.stderr)
        return 1
    try:
        manifest = json.loads(manifest_path.read_text(encoding="utf-8"))
    except (OSError, ValueError) as exc:
        raise StoreError(f"cannot read {manifest_path}: {exc}") from None
    print(f"store:   {target}")
    print(f"source:  {manifest.get('source', '?')}")
    if manifest.get("synthetic"):
        print("data:    synthetic demo market (generated, not real market figures)")
    print(f"created: {manifest.get('created', '?')}")
    found = manifest.get("format", 1)
    print(f"format:  {found}" + (f" (`{command('corvana')} upgrade --path {target}` rewrites it as format "
                                f"{FORMAT_VERSION}, read faster)" if isinstance(found, int)
                                and found < FORMAT_VERSION else ""))
    print(f"dates:   {manifest.get('first_date')} .. {manifest.get('last_date')}")
    tables = manifest.get("tables", {})
    width = max((len(n) for n in tables), default=0)
    for name, meta in tables.items():
        print(f"  {name:<{width}}  {meta.get('rows', 0):>12,d} rows")
    return 0


def _verify(args) -> int:
    from .store import Store

    target = _target(args.path)
    if not (target / MANIFEST).is_file():
        print(f"corvana: error: no market data at {target}", file=sys.stderr)
        return 1
    store = Store(target)
    try:
        bad = store.verify()
    finally:
        store.close()
    if not bad:
        print(f"corvana: every table file of {target} is sound")
        _print_findings([str(f) for f in _review(target)])
        return 0
    for name, problem in bad.items():
        print(f"corvana: bad file {target / (name + '.parquet')} (table {name!r}): {problem}", file=sys.stderr)
    manifest = json.loads((target / MANIFEST).read_text(encoding="utf-8"))
    print(f"corvana: rewrite the store with `{store.repair_command(manifest)}`", file=sys.stderr)
    return 1


def _review(target):
    """The plausibility findings on the tables of a sound store."""
    from .checks import review
    from .store import Store

    st = Store(target)
    try:
        tables = {name: st.read_table(name).to_pandas()
                  for name in ("instruments", "trading_dates", "bars", "index_weights")}
    finally:
        st.close()
    return review(tables)


def _upgrade(args) -> int:
    from .writer import upgrade_store

    target = _target(args.path)
    if not (target / MANIFEST).is_file():
        print(f"corvana: error: no market data at {target}", file=sys.stderr)
        return 1
    found = upgrade_store(target)
    if found >= FORMAT_VERSION:
        print(f"corvana: the store at {target} is already in format {found}; nothing to do")
    else:
        print(f"corvana: rewrote the store at {target} from format {found} to format {FORMAT_VERSION}")
    return 0


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="corvana", description="Local market-data store for verdalis.")
    parser.add_argument("--version", action="version", version=f"%(prog)s (verdalis {_version()})")
    sub = parser.add_subparsers(dest="command", required=True)

    p = sub.add_parser(
        "build-demo", help="build the deterministic synthetic demo market",
        description="Build the synthetic demo market (generated data, not real market figures) "
                    "and make it the store, replacing any store there.")
    p.add_argument("--size", choices=["full", "small"], default="full",
                   help="full: 5400 stocks over 2020-2024 (about 30 s); small: 80 stocks over 2020-2021, "
                        "for tests and quick trials (default %(default)s)")
    p.add_argument("--path", help="store folder (default: $CORVANA_DATA or the per-user folder)")
    p.add_argument("--seed", type=int, default=DEFAULT_SEED,
                   help="random seed; the same size and seed give identical tables (default %(default)s)")
    p.add_argument("--quiet", action="store_true", help="no progress bar")
    p.set_defaults(func=_build_demo)

    p = sub.add_parser("import", help="replace the store with the CSV/Parquet tables of a folder")
    p.add_argument("source", metavar="SOURCE_DIR")
    p.add_argument("--path", help="store folder (default: $CORVANA_DATA or the per-user folder)")
    p.add_argument("--estimate-risk-model", action="store_true",
                   help="estimate the risk-model tables from the imported bars (replacing any given)")
    _estimate_arguments(p)
    p.add_argument("--quiet", action="store_true", help="no progress bar")
    p.set_defaults(func=_import)

    p = sub.add_parser("verify", help="check every file of a store (size, SHA-256, schema, page checksums)")
    p.add_argument("--path", help="store folder (default: $CORVANA_DATA or the per-user folder)")
    p.set_defaults(func=_verify)

    p = sub.add_parser(
        "upgrade", help="rewrite a store written by an earlier version in the current format",
        description=f"Rewrite the store in the current format (format {FORMAT_VERSION}: a CRC-32 per file "
                    "for the quick check on first read, integer ids in the bars for fast whole-market "
                    "reads), with the same data, atomically. Older stores are read as they are; this "
                    "makes them faster to read.")
    p.add_argument("--path", help="store folder (default: $CORVANA_DATA or the per-user folder)")
    p.set_defaults(func=_upgrade)

    p = sub.add_parser(
        "estimate-risk-model", help="estimate the factor risk model from the store's own data",
        description="Estimate style exposures, factor returns, factor covariances and specific "
                    "variances from the store's daily bars (and volumes, market values and industry "
                    "classification when present) and write the risk-model tables into the store, "
                    "atomically, replacing any it had.")
    p.add_argument("--path", help="store folder (default: $CORVANA_DATA or the per-user folder)")
    _estimate_arguments(p)
    p.add_argument("--quiet", action="store_true", help="no progress bar")
    p.set_defaults(func=_estimate)

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
