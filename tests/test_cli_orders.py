"""`verdalis run --orders HOLDING.csv --cash X` writes orders.csv beside weights.csv."""
import numpy as np
import pandas as pd
import pytest

import corvana
from verdalis import cli

CONFIG = """
date = 2021-06-30
[pool]
index = "000905.XSHG"
[objective]
type = "MinVariance"
[bounds]
"*" = [0, 0.2]
"""


@pytest.fixture
def config_path(small_market, tmp_path):
    path = tmp_path / "mandate.toml"
    path.write_text(CONFIG)
    return path


def test_run_writes_orders_beside_the_weights(config_path, tmp_path, capsys):
    prev = corvana.get_previous_trading_date("2021-06-30")
    members = sorted(corvana.index_components("000905.XSHG", prev))
    held = pd.DataFrame({"order_book_id": [members[0], members[1]], "shares": [1000, 37]})
    held.to_csv(tmp_path / "holding.csv", index=False)
    out = tmp_path / "out"
    code = cli.main(["run", str(config_path), "--out", str(out), "--orders", str(tmp_path / "holding.csv"),
                     "--cash", "5e6"])
    assert code == 0, capsys.readouterr().err
    weights = pd.read_csv(out / "weights.csv", dtype={"order_book_id": str})
    orders = pd.read_csv(out / "orders.csv", dtype={"order_book_id": str})
    assert list(orders.columns[:4]) == ["order_book_id", "side", "shares", "lots"]
    # independent: the book after the orders at the raw closes of the data date
    close = corvana.get_price(list(set(orders["order_book_id"]) | set(held["order_book_id"])), prev, prev,
                              fields="close", adjust_type="none")["close"].droplevel("date")
    signed = pd.Series(np.where(orders["side"] == "buy", 1, -1) * orders["shares"].to_numpy(),
                       index=orders["order_book_id"])
    shares = held.set_index("order_book_id")["shares"].reindex(signed.index.union(held["order_book_id"])).fillna(0)
    shares = shares.add(signed, fill_value=0)
    nav = 5e6 + float((held.set_index("order_book_id")["shares"] * close.reindex(held["order_book_id"])).sum())
    after = shares * close.reindex(shares.index) / nav
    assert (shares >= 0).all() and abs(float((signed * close.reindex(signed.index)).sum())) <= 5e6 + 37 * 1e3
    buys = orders[orders["side"] == "buy"]
    lot = np.where(buys["order_book_id"].str.startswith("688"), 1, 100)
    assert (buys["shares"] % lot == 0).all()
    target = weights.set_index(weights.columns[0])[weights.columns[1]]
    assert np.abs(after.reindex(target.index).fillna(0) - target).max() < 0.01
    assert "orders.csv" in capsys.readouterr().out


@pytest.mark.parametrize("text, message", [
    ("order_book_id,amount\n600000.XSHG,100\n", "needs the columns order_book_id and shares; missing shares"),
    ("order_book_id,shares\n600000.XSHG,10.5\n", "row 2: shares must be a whole number"),
    ("order_book_id,shares\n600000.XSHG,100\n600000.XSHG,100\n", "listed twice"),
])
def test_bad_holding_is_one_line(config_path, tmp_path, capsys, text, message):
    (tmp_path / "h.csv").write_text(text)
    assert cli.main(["run", str(config_path), "--out", str(tmp_path / "o"), "--orders", str(tmp_path / "h.csv")]) == 1
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1
