"""The backtest API (vq.csdk.backtest) in this process, on the offline market."""

import dataclasses
import datetime
import json
import os
import sys

import pytest

from vq.csdk import backtest as bt
from vq.csdk.backtest import report
from vq.csdk.backtest.crossover import Crossover
from vq.csdk.rules import holidays

SHORT = bt.BacktestConfig(start="2024-01-02", end="2024-03-29", commission=0.0, min_commission=0.0)
DAYS = len(holidays.trading_days(datetime.date(2024, 1, 2), datetime.date(2024, 3, 29)))


@pytest.fixture
def market(lib, mod):
    saved = mod.__dict__.get("f")
    lib.market(True)
    yield lib
    mod.f = saved


class Orders(bt.Strategy):
    """Places the requests of ``plan`` (bar number -> request) and keeps the
    responses and reports."""

    def __init__(self, plan):
        self.plan, self.n, self.responses, self.reports = plan, 0, [], []

    def on_bar(self, bar):
        self.n += 1
        if self.n in self.plan:
            self.responses.append(self.context.order(self.plan[self.n](bar)))

    def on_execrpt(self, report):
        self.reports.append(report["exec_type"])


@pytest.mark.parametrize(
    ("changes", "message"),
    [
        (dict(frequency="7s"), "7 seconds is not a multiple of 3"),
        (dict(frequency="5m"), "frequency '5m'"),
        (dict(slippage=2.0), "slippage must be a number >= 0 and < 1"),
        (dict(slippage=-0.1), "slippage must be"),
        (dict(cash=float("nan")), "cash must be a number > 0"),
        (dict(cash=0), "cash must be"),
        (dict(commission=1.5), "commission must be"),
        (dict(min_commission=float("inf")), "min_commission must be"),
        (dict(start="2024-13-01"), "start '2024-13-01' is not a time"),
        (dict(end="yesterday"), "end 'yesterday' is not a time"),
        (dict(start="2024-02-01", end="2024-01-31"), "comes before start"),
        (dict(start="2024-01-06", end="2024-01-07"), "no trading day"),  # a weekend
        (dict(start="2024-10-01", end="2024-10-07"), "no trading day"),  # default holidays
        (dict(start="2024-10-05", end="2024-10-06", holidays=()), "no trading day"),
        (dict(symbols=""), "symbols: no symbol"),
        (dict(holidays=("2024-1-3",)), "holidays: '2024-1-3'"),
        (dict(data=bt.Replay(("/nonexistent.csv",))), "/nonexistent.csv is not a readable file"),
    ],
)
def test_validate_refuses_what_the_market_cannot_run(changes, message):
    with pytest.raises(bt.ConfigError, match=message.replace("(", r"\(")):
        SHORT.replace(**changes).validate()


def test_validate_warns_of_invented_symbols_and_high_slippage():
    config = SHORT.replace(symbols=("NOT A SYMBOL;DROP", "SHSE.600000"), slippage=0.2)
    warnings = config.validate()
    assert any("NOT A SYMBOL;DROP: not a symbol the random walk documents" in w for w in warnings)
    assert any("slippage 0.2" in w for w in warnings)
    assert SHORT.validate() == ()


def test_a_result_says_where_its_prices_came_from(market):
    config = SHORT.replace(symbols=("NOT A SYMBOL;DROP",))
    r = bt.run(config, Crossover, {"short": 3, "long": 8})
    assert r.data_source.startswith("synthetic random walk")
    assert any("NOT A SYMBOL" in w for w in r.warnings)
    d = json.loads(r.to_json())
    assert d["data_source"] == r.data_source
    assert d["config"]["data"] == r.data_source
    assert d["warnings"] == list(r.warnings)
    assert d["params"] == {"short": 3, "long": 8}


def test_a_run_adds_up(market):
    r = bt.run(
        SHORT.replace(commission=0.0003, min_commission=5.0), Crossover, {"short": 3, "long": 8}
    )
    f = r.figures
    assert r.book_ok
    assert r.interrupted is None
    assert r.exit_status == 0
    assert f["orders"] == len(r.orders) > 0
    assert f["fills"] == len(r.fills)
    assert f["fills"] + f["rejected"] == f["orders"]
    assert f["cash"] + f["positions_value"] == pytest.approx(f["equity"], abs=0.02)
    assert f["commission"] == pytest.approx(sum(x["commission"] for x in r.fills))
    assert [d for d, _ in r.equity_curve] == sorted({d for d, _ in r.equity_curve})
    assert len(r.equity_curve) == f["days"] == DAYS
    assert r["total_return"] == pytest.approx(f["pnl"] / SHORT.cash)
    with pytest.raises(dataclasses.FrozenInstanceError):
        r.book_ok = False
    # the same run gives the same result
    again = bt.run(
        SHORT.replace(commission=0.0003, min_commission=5.0), Crossover, {"short": 3, "long": 8}
    )
    assert again.to_dict() == r.to_dict()


def test_rejected_orders_are_counted_with_their_reasons(market):
    plan = {
        2: lambda b: bt.market_order(b.symbol, bt.SELL, 100),  # nothing held
        3: lambda b: bt.market_order(b.symbol, bt.BUY, 10**9),  # too dear
        4: lambda b: bt.limit_order(b.symbol, bt.BUY, 100, b.close * 0.5),  # limit below
        5: lambda b: bt.market_order("SHSE.000000", bt.BUY, 100),  # no price yet: on the spot
    }
    strategy = Orders(plan)
    r = bt.run(SHORT, lambda: strategy)
    assert r.rejections == {
        "insufficient position": 1,
        "insufficient cash": 1,
        "limit price below the market": 1,
        "no market price for the symbol yet": 1,
    }
    assert r.figures["rejected"] == 4
    assert r.figures["orders"] == 4
    assert r.figures["fills"] == 0
    assert strategy.responses[3]["status"] == bt.ORDER_REJECTED
    assert strategy.reports == [bt.EXEC_REJECTED] * 3
    assert [o["rejected"] for o in r.orders][3] == "no market price for the symbol yet"
    lines = report.summary(r).splitlines()
    assert "  rejected:          4" in lines
    assert "    insufficient cash: 1" in lines
    assert "    insufficient position: 1" in lines


def test_slippage_that_eats_the_cash_says_why(market):
    plan = {3: lambda b: bt.market_order(b.symbol, bt.BUY, int(990000 / b.close / 100) * 100)}
    r = bt.run(SHORT.replace(slippage=0.5), lambda: Orders(plan))
    assert r.figures["fills"] == 0
    assert r.rejections == {"insufficient cash": 1}


def test_the_holiday_list_is_not_left_in_the_environment(market, monkeypatch):
    monkeypatch.delenv("VQ_STANDIN_HOLIDAYS", raising=False)
    r = bt.run(SHORT.replace(holidays=("2024-01-03", "2024-01-04")), Crossover)
    assert "VQ_STANDIN_HOLIDAYS" not in os.environ
    assert [d for d, _ in r.equity_curve][:2] == ["2024-01-02", "2024-01-05"]


def csv_file(path, rows):
    path.write_text("eob,open,high,low,close,volume\n" + "".join(r + "\n" for r in rows))
    return str(path)


def test_replayed_prices_are_named_and_used(market, tmp_path):
    rows = ["2024-01-%02d 15:00,%d,%d,%d,%d,1000" % ((d,) + (10 + d,) * 4) for d in range(2, 12)]
    path = csv_file(tmp_path / "SHSE.600000.csv", rows)
    config = SHORT.replace(symbols=("SHSE.600000",), data=bt.Replay((path,)))
    plan = {1: lambda b: bt.market_order(b.symbol, bt.BUY, 100)}
    r = bt.run(config, lambda: Orders(plan))
    assert r.data_source == "replayed from " + path
    assert r.figures["bars"] == 10
    assert r.fills[0]["price"] == 13
    assert r.figures["equity"] == pytest.approx(SHORT.cash - 1300 + 100 * 21)
    # nothing stays fed: the next run is on the walk again
    walk = bt.run(SHORT.replace(symbols=("SHSE.600000",)), Crossover)
    assert walk.figures["bars"] == DAYS


@pytest.mark.parametrize(
    ("files", "message"),
    [
        ([("SHSE.600000.csv", ["2024-01-02 15:00,10,10,10,10,1"])], "SZSE.000001"),
        (
            [("SHSE.600000.csv", []), ("SZSE.000001.csv", ["2024-01-02 15:00,1,1,1,1,1"])],
            "has no rows",
        ),
        ([("SHSE.600000.csv", ["2024-01-02 15:00,10,9,10,10,1"])], "high"),
    ],
)
def test_replay_that_cannot_serve_the_run_is_refused_before_it(market, tmp_path, files, message):
    paths = [csv_file(tmp_path / name, rows) for name, rows in files]
    config = SHORT.replace(data=bt.Replay(tuple(paths)))
    with pytest.raises(bt.ConfigError, match=message):
        bt.run(config, Crossover)
    assert market.calls() == []  # the library was never touched


def test_params_the_strategy_refuses_are_a_config_error(market):
    with pytest.raises(bt.ConfigError, match="short < long"):
        bt.run(SHORT, Crossover, {"short": 30, "long": 10})
    assert bt.combinations({"short": [5, 30], "long": [10, 20]}, Crossover) == [
        {"short": 5, "long": 10},
        {"short": 5, "long": 20},
    ]


class Raises(bt.Strategy):
    def on_bar(self, bar):
        if bar.eob >= "2024-02-01":
            raise RuntimeError("no model for %s" % bar.symbol)


def test_a_strategy_that_raises_fails_the_run_at_once(market, capfd):
    with pytest.raises(bt.BacktestError, match=r"RuntimeError: no model for SHSE\.600000") as info:
        bt.run(SHORT, Raises)
    assert "2024-02-01" in str(info.value)
    assert "Traceback" not in capfd.readouterr().err  # not reported and gone on


def package_imports():
    """module -> the vq modules it imports, for every module of the package."""
    import ast
    import pathlib

    import vq

    root = pathlib.Path(vq.__file__).parent
    graph = {}
    for path in root.rglob("*.py"):
        name = ".".join(("vq", *path.relative_to(root).with_suffix("").parts))
        name = name[: -len(".__init__")] if name.endswith(".__init__") else name
        tree = ast.parse(path.read_text())
        found = set()
        for node in ast.walk(tree):
            if isinstance(node, ast.ImportFrom) and node.module:
                base = node.module
                if node.level:  # relative: from the package of this module
                    pkg = name.split(".")[: -node.level + (path.stem == "__init__")]
                    base = ".".join([*pkg, node.module])
                found.add(base)
                found.update(base + "." + a.name for a in node.names)
            elif isinstance(node, ast.Import):
                found.update(a.name for a in node.names)
        graph[name] = {m for m in found if m.startswith("vq")}
    return graph


MINE = ("vq.csdk.backtest", "vq.csdk.rules", "vq.csdk.demo")


def test_no_module_imports_the_command_line_and_no_import_circle():
    graph = package_imports()
    assert "vq.csdk.demo" in graph
    assert "vq.csdk.backtest.engine" in graph
    assert [m for m, deps in graph.items() if "vq.csdk.demo" in deps] == []
    modules = set(graph)

    def visit(m, path):
        assert m not in path, " -> ".join([*path, m])
        for d in sorted(graph.get(m, ()) & modules):
            if d != m and not m.startswith(d + "."):  # a package's own __init__
                visit(d, [*path, m])

    for m in sorted(modules):
        if m.startswith(MINE):
            visit(m, [])
            path = sys.modules["vq"].__file__.rsplit("/", 1)[0] + "/" + "/".join(m.split(".")[1:])
            path = path + ("/__init__.py" if os.path.isdir(path) else ".py")
            with open(path) as f:
                assert len(f.read().splitlines()) <= 400, path


def test_charts_name_their_prices(market, monkeypatch, tmp_path):
    pytest.importorskip("matplotlib")
    from vq.csdk.backtest import plot

    titles = []
    monkeypatch.setattr(plot, "_save", lambda fig, path: titles.append(fig.axes[0].get_title()))
    r = bt.run(SHORT, Crossover, {"short": 3, "long": 8})
    plot.equity_chart(r, str(tmp_path / "x.png"))
    swept = bt.SweepResult("x:Y", SHORT, r.data_source, "here", "total_return", (r,), (), None)
    with pytest.raises(bt.BacktestError, match="one or two parameters, not 0"):
        plot.sweep_heatmap(swept, str(tmp_path / "y.png"))
    other = dataclasses.replace(r, params={"short": 4, "long": 8})
    plot.sweep_heatmap(dataclasses.replace(swept, results=(r, other)), str(tmp_path / "y.png"))
    assert len(titles) == 2
    assert all(t.endswith("prices: " + r.data_source) for t in titles)


def test_a_sweep_refuses_a_factory_it_cannot_send_before_it_starts():
    with pytest.raises(bt.ConfigError, match="cannot be sent to worker processes"):
        bt.sweep(SHORT, lambda: Crossover(), [{}], workers=1)
