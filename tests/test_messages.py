"""The message catalog: every core message has an English text, both languages
fill the same placeholders, and English mode changes only the text."""
import importlib.util
import os
import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import verdalis
import verdalis.constraints as vc
import verdalis.objective as vo
import verdalis.optimize as vopt
from verdalis import messages
from verdalis.exception import InvalidArgument, InvalidBounds, OptimizerWarning, SoftConstraintsDropped

from test_docs import MESSAGES, cpp_messages

ROOT = Path(__file__).resolve().parents[1]
CATALOG = messages.catalog()


@pytest.fixture
def english_mode():
    messages.set_language("en")
    yield
    messages.set_language("zh")


def _sentinels(template):
    count = template.count("%r") if "%r" in template else template.count("{}")
    return tuple("<v{}>".format(i) for i in range(count))


@pytest.mark.parametrize("template", sorted(CATALOG), ids=lambda t: t[:30])
def test_every_catalogued_message_round_trips_through_its_placeholders(template):
    entry = CATALOG[template]
    values = _sentinels(template)
    for language in ("zh", "en"):
        text = messages.render(template, values, language)
        # every value appears, once per placeholder of the Chinese template
        for v in values:
            assert ("'{}'".format(v) if "%r" in template else v) in text, (language, text)
    # the English text uses no value the Chinese one lacks, and is English
    assert entry.en.strip() and not any("\u4e00" <= c <= "\u9fff" for c in entry.en)
    built = messages._build(InvalidArgument, template, values)
    assert messages.english(built) == messages.render(template, values, "en")
    assert messages.original(built) == str(built)


@pytest.mark.parametrize("source, message", MESSAGES, ids=["{}: {}".format(p.name, m.strip()[:30]) for p, m in MESSAGES])
def test_every_source_message_has_an_english_text(source, message):
    assert message in CATALOG, "{}: add {!r} with its English text to python/verdalis/messages.toml".format(
        source.relative_to(ROOT), message)


def test_a_new_source_message_without_english_is_caught():
    # the scan that feeds the test above finds a message the catalog lacks
    found = cpp_messages('raise_(G.invalid_argument(), msg("新的消息：{}", v));', False)
    assert found == ["新的消息：{}"] and found[0] not in CATALOG


def test_the_messages_page_is_generated_from_the_catalog():
    spec = importlib.util.spec_from_file_location("gen_messages", ROOT / "scripts" / "gen_messages.py")
    gen = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(gen)
    assert (ROOT / "docs" / "messages.md").read_text(encoding="utf-8") == gen.render(), (
        "docs/messages.md is out of date: run python scripts/gen_messages.py")


# Calls refused by the core (C++ and the helper), as a table: English mode
# must give the same type, arguments and attributes, and only other text.
def _helper_refusal():
    from verdalis.helper import OptimizeHelper
    OptimizeHelper(["000001.XSHE", "000002.XSHE"], "2021-06-01", None, "hourly", "v1", 1.0, 1.0)


REFUSALS = [
    ("not a pair", lambda: vopt.parse_bnds({"A": (0.1,)}, ["A", "B"]),
     "the bounds of A must be given as (lower, upper); got (0.1,)"),
    ("sum", lambda: vopt.parse_bnds({"*": (0, 0.3)}, ["A", "B"]), "the upper bounds sum to less than 1"),
    ("pool", lambda: vopt.ensure_order_book_ids(5, "2021-06-01"), "invalid order_book_ids"),
    ("limit", lambda: vc.TrackingErrorLimit(-0.1), "the tracking-error limit -0.1 is not positive"),
    ("two limits", lambda: vc.IndustryConstraint("银行"),
     "IndustryConstraint: give at least one of upper_limit and lower_limit"),
    ("holding", lambda: vc.TransactionVolumeLimit(upper_limit=0.1),
     "TransactionVolumeLimit: give current_holding or cash (or both)"),
    ("window", lambda: vo.MeanVariance(window=0), "window must be a positive integer; got 0"),
    ("ids cut", lambda: vo.MaxIndicator({"S{:02d}".format(i): "x" for i in range(25)}),
     "indicator_series: these entries are not (finite) numbers: " +
     ", ".join("S{:02d}".format(i) for i in range(20)) + " ... 25 in all"),
    ("helper", _helper_refusal, "invalid cov_model: hourly; choose from daily, monthly, quarterly"),
]


def _raised(call):
    with pytest.raises(InvalidArgument) as info:
        call()
    return info.value


@pytest.mark.parametrize("name, call, english", REFUSALS, ids=[r[0] for r in REFUSALS])
def test_english_mode_changes_only_the_text(name, call, english, small_market):
    chinese = _raised(call)
    messages.set_language("en")
    try:
        translated = _raised(call)
    finally:
        messages.set_language("zh")
    assert type(translated) is type(chinese) and len(translated.args) == len(chinese.args) == 1
    assert str(translated) == english and any("\u4e00" <= c <= "\u9fff" for c in str(chinese))
    own = lambda e: {k: v for k, v in vars(e).items() if k != "values"}  # noqa: E731
    assert own(translated) == own(chinese)
    assert [str(v) for v in translated.values] == [str(v) for v in chinese.values] or name == "ids cut"
    # the product layer gets the English text of either, and the original back
    assert messages.english(chinese) == messages.english(translated) == english
    assert messages.original(translated) == str(chinese)


def test_english_warnings_keep_their_category_and_line(small_market, english_mode):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        vopt.ensure_order_book_ids(["000001.XSHE", "000300.XSHG"], "2021-06-01")
    [w] = [w for w in caught if getattr(w.message, "template", None) == "{} 不是股票，被剔除"]
    assert str(w.message) == "000300.XSHG is not a stock; removed"
    assert w.category is OptimizerWarning and w.filename == __file__


def _members(n):
    import corvana
    return sorted(corvana.index_components("000300.XSHG", "2021-05-31"))[:n]


def test_soft_constraints_dropped_carries_the_constraints(small_market):
    ids = _members(4)
    soft = vc.StockPoolLimit(ids[:1], lower_limit=0.9, hard=False)
    hard = vc.StockPoolLimit(ids[1:2], lower_limit=0.5)
    with pytest.warns(SoftConstraintsDropped) as record:
        vopt.portfolio_optimize(ids, "2021-06-01", cons=[soft, hard])
    [w] = [w for w in record if w.category is SoftConstraintsDropped]
    assert issubclass(w.category, OptimizerWarning) and str(w.message) == "约束无法满足，放弃所有软约束重试"
    assert w.message.constraints == [soft] and w.filename == __file__


def test_ids_in_a_message_are_rendered_again_in_english():
    import pickle

    ids = messages.IdList(["A", "B"], 30)
    assert str(ids) == "A, B 等共 30 只"
    error = messages._build(InvalidArgument, "股票池中存在重复的 order_book_id：{}", (ids,))
    assert messages.english(error) == "the pool holds duplicate order_book_ids: A, B ... 30 in all"
    # a failure in a sweep worker comes back whole
    back = pickle.loads(pickle.dumps(error))
    assert str(back) == str(error) and messages.english(back) == messages.english(error)


@pytest.mark.parametrize("obj, text", [
    (ValueError("plain"), "plain"),                      # not ours: its own text
    (InvalidArgument("下限之和大于1"), "the lower bounds sum to more than 1"),  # a fixed text by lookup
    (InvalidArgument("合约 A 的下限 2 无效"), "合约 A 的下限 2 无效"),   # filled text without its values: as is
])
def test_english_of_other_objects(obj, text):
    assert messages.english(obj) == text


def test_set_language_checks_its_argument(monkeypatch):
    with pytest.raises(ValueError, match="language must be one of zh, en"):
        verdalis.set_language("fr")
    monkeypatch.setenv("VERDALIS_LANG", "en_GB.UTF-8")
    assert verdalis.set_language(None) == "en" == verdalis.get_language()
    monkeypatch.delenv("VERDALIS_LANG")
    assert verdalis.set_language(None) == "zh"


def test_the_environment_variable_switches_a_fresh_process():
    code = ("import verdalis.optimize as o\n"
            "try:\n    o.parse_bnds({'*': (0.6, 1)}, ['A', 'B'])\n"
            "except o.InvalidArgument as e:\n    print(type(e).__name__, e.side, e)")
    env = dict(os.environ, VERDALIS_LANG="en")
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "InvalidBounds lower the lower bounds sum to more than 1"


def test_the_command_line_adds_the_original_with_v(small_market, tmp_path, capsys):
    from verdalis import cli

    path = tmp_path / "m.toml"
    path.write_text('date = 2021-06-30\n[pool]\nindex = "000300.XSHG"\n[objective]\ntype = "MinVariance"\n'
                    '[bounds]\n"*" = [0, 0.0001]\n')
    assert cli.main(["run", str(path), "-v", "--out", str(tmp_path / "o")]) == cli.EXIT_DATA
    err = capsys.readouterr().err
    assert err.strip() == "verdalis: error: the upper bounds sum to less than 1 [上限之和小于1]"


def test_diagnosis_does_not_read_message_text(small_market, monkeypatch):
    # Reword every core message: the diagnosis still finds the bound sums and
    # the dropped soft constraints, from the types and their attributes.
    from verdalis.diagnose import diagnose

    monkeypatch.setattr(messages, "render", lambda template, values=(), language=None: "reworded")
    ids = _members(3)
    refused = diagnose(ids, "2021-06-01", bnds={"*": (0, 0.2)})
    assert refused.bound_sums == "the caps sum to 0.6, below 1"
    soft = vc.StockPoolLimit(ids[:1], lower_limit=0.9, hard=False)
    hard = vc.StockPoolLimit(ids[1:2], lower_limit=0.5)
    dropped = diagnose(ids, "2021-06-01", cons=[soft, hard])
    assert not dropped.feasible and dropped.weights is not None and len(dropped.dropped) == 1
