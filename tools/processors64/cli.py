"""The command line: one sub-command a module."""

import argparse
import os
import sys

from . import charts, compare, export, history, summary
from .reading import FAILED, PROGRAM, InputError, shown

USAGE = """Reads the benchmark's results files (and console logs saved from a run).

    summary FILE...        each run: tests, hosts, slow workers
    export [--format json|csv|prometheus] [--out PATH] FILE...
    compare [--format text|csv] [--threshold PCT] OLD NEW
    history [--drop PCT] [--format text|csv] FILE...
    plot [--out DIR] FILE...

A worker is slow when its rate is more than --slow PCT (default 10) below the
median rate of the workers that run the same form of that test in the same
run. Forms with fewer than three workers have no median to compare against.

A run record (X.run.json beside the results file X.txt, written by the
scripts that start a job) is read with its results file: summary names the
nodes' CPUs, the MPI and the build, compare what differs between two runs'.
A record named on the command line stands for its results file.

A host is degraded when its rate in the newest run of its master is more
than --drop PCT (default 10) below the median of its own earlier runs (at
least two); history lists them, export --format prometheus marks them.

Exit status: 0 when every file could be read (a run that stopped early is
read as far as it goes, with a warning), 2 on a file that could not be read
or a usage error; the message names the file.
"""

class Parser(argparse.ArgumentParser):
    def error(self, message):
        print(f"{PROGRAM}: {message} (see '{self.prog} --help')", file=sys.stderr)
        sys.exit(2)


def percent(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a percentage: {text!r}") from None
    if not 0 <= value < 100:
        raise argparse.ArgumentTypeError(f"not a percentage from 0 to under 100: {text!r}")
    return value


def parser():
    top = Parser(prog=PROGRAM, description=USAGE,
                 formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = top.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)
    commands.required = True
    slow = Parser(add_help=False)
    slow.add_argument("--slow", type=percent, default=10, metavar="PCT",
                      help="slow: more than PCT%% below the median of its form (default 10)")
    drop = Parser(add_help=False)
    drop.add_argument("--drop", type=percent, default=history.DROP, metavar="PCT",
                      help="degraded: newest run more than PCT%% below the host's own "
                      "median (default 10)")
    files = Parser(add_help=False)
    files.add_argument("files", nargs="+", metavar="FILE",
                       help="results files or console logs")

    one = commands.add_parser("summary", parents=[slow, files],
                              help="each run's tests, hosts and slow workers")
    one.set_defaults(run=summary.command_summary)
    one = commands.add_parser("export", parents=[slow, drop, files],
                              help="every worker's record, as JSON or CSV; or the newest "
                              "run of each master as Prometheus metrics")
    one.add_argument("--format", choices=("json", "csv", "prometheus"), default="json")
    one.add_argument("--out", metavar="PATH", help="prometheus: write PATH whole, renamed "
                     "into place (default: standard output)")
    one.set_defaults(run=export.command_export)
    one = commands.add_parser("compare", help="each host's rates in two runs",
                              usage=f"{PROGRAM} compare [-h] [--format {{text,csv}}] "
                                    "[--threshold PCT] OLD NEW")
    one.add_argument("--format", choices=("text", "csv"), default="text")
    one.add_argument("--threshold", type=percent, default=5, metavar="PCT",
                     help="changed: moved by more than PCT%% (default 5)")
    # Two runs; OLD/results_* may name each run's record beside its results file.
    one.add_argument("files", nargs="+", metavar="OLD NEW",
                     help="the two runs' results files or console logs")
    one.set_defaults(run=compare.command_compare)
    one = commands.add_parser("history", parents=[drop, files],
                              help="each host's rate across the runs of its master")
    one.add_argument("--format", choices=("text", "csv"), default="text")
    one.set_defaults(run=history.command_history)
    one = commands.add_parser("plot", parents=[slow, files], help="PNG charts")
    one.add_argument("--out", default=".", metavar="DIR", help="where the PNGs go (default .)")
    one.set_defaults(run=charts.command_plot)
    return top


def main(argv=None):
    args = parser().parse_args(argv)
    try:
        args.run(args)
        sys.stdout.flush()
    except InputError as error:
        print(f"{PROGRAM}: {error}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except OSError as error:
        print(f"{PROGRAM}: {shown(getattr(error, 'filename', None) or '')}: "
              f"{error.strerror or error}", file=sys.stderr)
        return 2
    return 2 if FAILED else 0

