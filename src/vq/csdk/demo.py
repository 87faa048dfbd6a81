"""The command line of the backtest API (vq.csdk.backtest).

    python -m vq.csdk.demo [options]                    one backtest, with a summary
    python -m vq.csdk.demo --strategy mymodule:MyStrategy --param window=20
    python -m vq.csdk.demo --sweep --short 5,10,20 --long 30,60,120 [--workers N]
    python -m vq.csdk.demo --sweep ... --scheduler HOST:PORT     on a Dask cluster

It parses options into a BacktestConfig and calls run() or sweep(); it has
no logic of its own.  With the bundled stand-in library the market is
simulated offline.  Ctrl-C or SIGTERM stop a run cleanly: the summary is
printed marked "interrupted" and the exit status is 130 or 143.
"""

# Only the standard library's already loaded modules above main(): a Ctrl-C
# while the rest loads ends the run as one during it would.
import sys

# For type checkers alone: the signatures name these as text, and local
# variables' annotations are never evaluated.
TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    from typing import (
        Any,
        Callable,
        Dict,
        List,
        Mapping,
        NoReturn,
        Optional,
        Sequence,
        Tuple,
        Union,
    )

    from vq.csdk.backtest import BacktestConfig, SweepResult

    Value = Union[int, float, str]

PROG = "python -m vq.csdk.demo"
DEFAULT_STRATEGY = "vq.csdk.backtest.crossover:Crossover"


def make_parser() -> "argparse.ArgumentParser":
    import argparse

    from vq.csdk.backtest import BacktestConfig
    from vq.csdk.rules import frequency, times

    class Parser(argparse.ArgumentParser):
        def error(self, message: str) -> "NoReturn":
            # one line, not the usage block
            self.exit(2, "%s: error: %s (see --help)\n" % (self.prog, message))

    d = BacktestConfig()
    p = Parser(
        prog=PROG,
        description="Backtest a strategy through c_sdk (vq.csdk.backtest). With the bundled "
        "stand-in library the market is simulated offline and no order leaves the process.",
        epilog="Ctrl-C or SIGTERM stops a run cleanly: the summary (or the sweep's table) is "
        "printed marked interrupted, and the exit status is 130 (SIGINT) or 143 (SIGTERM).",
    )
    a = p.add_argument
    a(
        "--strategy",
        default=DEFAULT_STRATEGY,
        metavar="MODULE:FACTORY",
        help="the strategy factory, called with the parameters (default %(default)s)",
    )
    a(
        "--param",
        action="append",
        default=[],
        metavar="NAME=V[,V...]",
        help="a parameter of the factory (repeatable); with --sweep a comma-separated list",
    )
    a("--short", metavar="N[,N...]", help="the crossover's short window in bars (default 10)")
    a("--long", metavar="N[,N...]", help="the crossover's long window in bars (default 30)")
    a(
        "--symbols",
        default=",".join(d.symbols),
        help="comma-separated symbols (default %(default)s)",
    )
    a("--start", default=d.start, help="first day or time: %s (default %%(default)s)" % times.FORMS)
    a(
        "--end",
        default=d.end,
        help="last day or time, same forms; a bare date includes the "
        "whole day (default %(default)s)",
    )
    a(
        "--frequency",
        default=d.frequency,
        help="bar length: %s (default %%(default)s)" % frequency.FORMS,
    )
    a(
        "--cash",
        type=float,
        default=d.cash,
        help="initial cash, a positive number (default %(default).0f)",
    )
    a(
        "--commission",
        type=float,
        default=d.commission,
        help="commission as a fraction of each "
        "fill's amount, 0 to 1 (default %(default)s, i.e. 3 basis points)",
    )
    a(
        "--min-commission",
        type=float,
        default=d.min_commission,
        help="minimum commission of one filled order (default %(default)s)",
    )
    a(
        "--slippage",
        type=float,
        default=d.slippage,
        help="slippage as a fraction of the fill "
        "price, against the order, 0 to 1 (default %(default)s)",
    )
    a(
        "--holidays",
        metavar="FILE",
        help="trading holidays, one date YYYY-MM-DD a line, '#' "
        "for comments; replaces the stand-in's default list",
    )
    a(
        "--replay",
        action="append",
        metavar="FILE.csv",
        help="replay prices from CSV files "
        "(repeatable) instead of the synthetic random walk; every symbol needs rows",
    )
    a(
        "--progress-every",
        type=int,
        default=250,
        metavar="N",
        help="a progress line every N bars (default %(default)s)",
    )
    a("--no-progress", action="store_true", help="no progress lines")
    a(
        "--plot",
        metavar="FILE.png",
        help="write the equity curve with drawdowns shaded, or with "
        "--sweep a heat map of total return (needs matplotlib)",
    )
    a(
        "--output",
        metavar="FILE.json",
        help="write the result as JSON ('-': standard output, "
        "and the summary goes to standard error)",
    )
    a(
        "--sweep",
        action="store_true",
        help="backtest every combination of the parameter lists, "
        "each in a worker process, and print a table sorted by total return",
    )
    a(
        "--workers",
        type=int,
        default=None,
        metavar="N",
        help="worker processes of a local sweep (default: the CPU count)",
    )
    a(
        "--scheduler",
        metavar="ADDRESS",
        help="run the sweep on the Dask cluster of this "
        "scheduler (e.g. tcp://127.0.0.1:8786; needs dask.distributed)",
    )
    a(
        "--connect-timeout",
        type=float,
        default=10.0,
        metavar="SECONDS",
        help="how long to try reaching the scheduler (default %(default)s)",
    )
    a(
        "--worker-wait",
        type=float,
        default=30.0,
        metavar="SECONDS",
        help="how long to wait for a first Dask worker (default %(default)s)",
    )
    a(
        "--serv-addr",
        default=d.serv_addr,
        help="server address given to the library (the stand-in ignores it; default %(default)s)",
    )
    a("--token", default=d.token, help="token given to the library (default %(default)s)")
    a("--strategy-id", default=d.strategy_id, help="strategy id (default %(default)s)")
    a("--account-id", default=d.account_id, help="account id (default %(default)s)")
    return p  # fmt: skip


def _value(text: str) -> "Value":
    for kind in (int, float):
        try:
            return kind(text)
        except ValueError:
            pass
    return text


def parse_args(
    argv: "Optional[Sequence[str]]" = None,
) -> "Tuple[argparse.Namespace, BacktestConfig, Callable[..., Any], Mapping[str, Any]]":
    """The options as (args, config, factory, grid); every check the API and
    the outputs need is made here, before anything runs."""
    import importlib

    from vq.csdk.backtest import BacktestConfig, ConfigError, RandomWalk, Replay, combinations
    from vq.csdk.backtest.errors import BacktestError
    from vq.csdk.backtest.extras import need
    from vq.csdk.backtest.files import check_writable
    from vq.csdk.rules import holidays

    p = make_parser()
    args = p.parse_args(argv)
    grid: Dict[str, List[Value]] = {}
    shorthands = [n + "=" + getattr(args, n) for n in ("short", "long") if getattr(args, n)]
    for item in args.param + shorthands:
        name, eq, values = item.partition("=")
        if not eq or not name.strip() or not values.strip():
            p.error("--param %r: use NAME=VALUE[,VALUE...]" % item)
        grid[name.strip()] = [_value(v.strip()) for v in values.split(",") if v.strip()]
    if not args.sweep and any(len(v) > 1 for v in grid.values()):
        p.error("lists of parameter values need --sweep")
    if not args.sweep and (args.scheduler or args.workers is not None):
        p.error("--scheduler and --workers need --sweep")
    for name in ("progress_every", "workers"):
        if getattr(args, name) is not None and getattr(args, name) < 1:
            p.error("--%s must be at least 1" % name.replace("_", "-"))
    for name in ("connect_timeout", "worker_wait"):
        if not 0 < getattr(args, name) < 1e6:
            p.error("--%s must be a positive number of seconds" % name.replace("_", "-"))
    module, _, attr = args.strategy.partition(":")
    try:
        factory = getattr(importlib.import_module(module), attr)
    except (ImportError, AttributeError, ValueError) as exc:
        p.error("--strategy %r: not an importable MODULE:FACTORY (%s)" % (args.strategy, exc))
    try:
        days_off = None if args.holidays is None else tuple(holidays.read(args.holidays))
    except (OSError, ValueError) as exc:
        p.error("--holidays: %s" % exc)
    config = BacktestConfig(
        symbols=args.symbols, frequency=args.frequency, start=args.start, end=args.end,
        cash=args.cash, commission=args.commission, min_commission=args.min_commission,
        slippage=args.slippage, holidays=days_off,
        data=Replay(tuple(args.replay)) if args.replay else RandomWalk(),
        serv_addr=args.serv_addr, token=args.token, strategy_id=args.strategy_id,
        account_id=args.account_id,
    )  # fmt: skip
    try:
        args.warnings = config.validate()
        sets = combinations(grid, factory)
        if not sets:
            first = {k: v[0] for k, v in grid.items() if v}
            try:  # why the first was refused
                getattr(factory, "check_params", lambda params: None)(first)
            except ValueError as exc:
                raise ConfigError(
                    "the parameters give no set the strategy takes: %s" % exc
                ) from None
            raise ConfigError("the parameters give no set of values")
        if args.plot:
            need("plot", "matplotlib")
        if args.scheduler:
            need("sweep", "distributed")
    except BacktestError as exc:
        p.error(_option_text(str(exc)))
    if args.sweep and args.plot:
        varied = [k for k, v in grid.items() if len(v) > 1]
        if not 1 <= len(varied) <= 2:
            p.error("--sweep --plot draws a heat map over one or two varied parameters, not %d"
                    % len(varied))  # fmt: skip
    for option in ("output", "plot"):
        path = getattr(args, option)
        if path and path != "-":
            try:
                check_writable(path)
            except OSError as exc:
                p.error("--%s %s: cannot be written (%s)" % (option, path, exc))
    if args.plot == "-":
        p.error("--plot needs a file name")
    return args, config, factory, grid if args.sweep else (sets[0] if grid else {})


def _option_text(message: str) -> str:
    """A configuration message names its field; the command line names the option."""
    head, _, rest = message.partition(" ")
    if head.rstrip(":") in ("symbols", "frequency", "start", "end", "cash", "commission",
                            "min_commission", "slippage", "holidays", "data"):  # fmt: skip
        option = "--replay" if head.rstrip(":") == "data" else "--" + head.replace("_", "-")
        return "%s %s" % (option.rstrip(":") + (":" if head.endswith(":") else ""), rest)
    return message


def main(argv: "Optional[Sequence[str]]" = None) -> int:
    args, config, factory, params = parse_args(argv)
    import json

    from vq.csdk.backtest import BacktestError, BacktestResult, library_version, run, sweep
    from vq.csdk.backtest.files import write_atomic
    from vq.csdk.backtest.report import summary, table

    # with --output - the JSON alone goes to standard output
    out = sys.stderr if args.output == "-" else sys.stdout

    def say(line: str) -> None:
        print(line, file=out, flush=True)

    say(
        "SIMULATED ORDERS: backtest on %s; prices: %s" % (library_version(), config.describe_data())
    )
    for w in args.warnings:
        print("warning: %s" % w, file=sys.stderr, flush=True)
    result: Union[BacktestResult, SweepResult]
    try:
        if args.sweep:
            result = sweep(config, factory, params, workers=args.workers, scheduler=args.scheduler,
                           connect_timeout=args.connect_timeout, worker_wait=args.worker_wait)  # fmt: skip
            say(table(result).rstrip("\n"))
            text = "%s\n" % json.dumps(
                [r.to_dict() for r in result.results], indent=2, sort_keys=True
            )
        else:
            every = 0 if args.no_progress else args.progress_every
            result = run(config, factory, params, progress_every=every, progress=say)
            say(summary(result).rstrip("\n"))
            text = result.to_json()
        if args.output == "-":
            sys.stdout.write(text)
            sys.stdout.flush()
        elif args.output:
            write_atomic(args.output, lambda f: f.write(text.encode()))
        if args.plot:
            from vq.csdk.backtest import plot

            if isinstance(result, BacktestResult):
                plot.equity_chart(result, args.plot)
            else:
                plot.sweep_heatmap(result, args.plot)
            say("chart written to %s" % args.plot)
    except (BacktestError, OSError) as exc:
        print("%s: %s" % (PROG, exc), file=sys.stderr)
        return 1
    return result.exit_status


if __name__ == "__main__":
    try:
        status = main()
    except KeyboardInterrupt:  # while loading, or a second Ctrl-C at the summary
        sys.stderr.write("%s: interrupted\n" % PROG)
        status = 130
    sys.exit(status)
