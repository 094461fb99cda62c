"""A store of generated data says so: once per process from corvana, and in the demo's header."""
import json
import logging
import shutil

import pytest

import corvana
from corvana import client, store
from verdalis import cli


@pytest.fixture
def copy_of_market(small_market, tmp_path, monkeypatch):
    """A copy of the small market whose manifest a test may rewrite; the session store comes back after."""
    monkeypatch.setattr(store, "_announced", False)
    path = tmp_path / "store"
    shutil.copytree(small_market, path)

    def with_manifest(**fields):
        manifest = json.loads((path / "manifest.json").read_text(encoding="utf-8"))
        manifest.pop("synthetic", None)
        manifest.update(fields)
        (path / "manifest.json").write_text(json.dumps(manifest), encoding="utf-8")
        return corvana.connect(path)

    yield with_manifest
    corvana.connect(small_market)


NOTICES = ("corvana", logging.WARNING)


def _notices(caplog):
    return [r for r in caplog.records if (r.name, r.levelno) == NOTICES and "synthetic" in r.getMessage()]


@pytest.mark.parametrize("fields, synthetic", [
    ({"synthetic": True, "source": "corvana.synth.generate(size='full')"}, True),
    ({"synthetic": True, "source": "anything"}, True),  # the flag decides, not the source text
    ({"synthetic": False, "source": "import from /data/vendor"}, False),
    # stores written before the flag existed: the generator's source string marks them
    ({"source": "corvana.synth.generate(size='full')"}, True),
    ({"source": "import from /data/vendor"}, False),
])
def test_generated_store_is_announced_and_imported_is_not(copy_of_market, caplog, fields, synthetic):
    st = copy_of_market(**fields)
    caplog.set_level(logging.WARNING, logger="corvana")
    corvana.get_trading_dates("2020-01-01", "2020-02-01")
    assert len(_notices(caplog)) == int(synthetic)
    assert ("synthetic demo market" in cli._market_line(st)) == synthetic


def test_notice_once_per_process(copy_of_market, caplog):
    caplog.set_level(logging.WARNING, logger="corvana")
    copy_of_market(synthetic=True)
    corvana.get_trading_dates("2020-01-01", "2020-02-01")
    corvana.index_components("000300.XSHG", "2021-06-30")
    copy_of_market(synthetic=True)  # a new connection, and a rewritten manifest
    corvana.get_previous_trading_date("2021-06-30")
    [notice] = _notices(caplog)
    assert str(client.current().path) in notice.getMessage()


def test_demo_market_names_say_demo(small_market):
    # Instruments keep their usual ids while their names mark them as generated.
    frame = corvana.all_instruments()
    assert frame["symbol"].str.endswith("(demo)").all()
    assert corvana.instruments("000300.XSHG").symbol == "沪深300(demo)"
