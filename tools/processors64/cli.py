"""The command line: one sub-command a module."""

import argparse
import os
import sys
import textwrap

from . import charts, compare, exits, export, forms, history, model, page, store, summary, verdict
from .console import PROGRAM
from .reading import InputError, shown

USAGE = """Reads the benchmark's results files, their run records and console logs
saved from a run; a directory stands for every results file and run record in it.

    summary FILE|DIR...    each window's jobs, and each run's tests, hosts, slow workers
    export [--format json|csv|prometheus] [--out PATH] FILE|DIR...
    compare [--format text|csv] [--threshold PCT] OLD NEW
    history [--drop PCT] [--format text|csv] FILE|DIR...
    plot [--out DIR] FILE|DIR...
    verdict [--slow PCT] [--drop PCT] [--format text|json] [--drain-list [--apply]] FILE|DIR...
    html [--out FILE] [--slow PCT] [--drop PCT] FILE|DIR...

A window is every job of one run of the benchmark over a cluster, however
many masters: the jobs processors64-run started side by side, the tasks of a
job array, and jobs given one window name (a sweep's) share its id in their
run records. Jobs that are each a window of their own, and runs without a
record (runs started by hand), are one window when they started within
--window MINUTES (default 30) of the window's first and measured no host
twice. A window manifest (NAME.window.json, a sweep's) names the nodes the
window means to measure: those without results are not measured. A run record whose job made no
results file belongs to its window: its nodes were not measured.

A worker is slow when its rate is more than --slow PCT (default 10) below the
median rate of the workers that run the same form of that test in the same
run. Forms with fewer than three workers have no median to compare against.

A run record (X.run.json beside the results file X.txt, written by
processors64-run) is read with its results file: summary names the nodes'
CPUs, the MPI and the build, compare what differs between two windows'. A
record named on the command line stands for its results file.

A host is degraded when its rate in the newest window is more than --drop
PCT (default 10) below the median of its own earlier windows (at least two),
whatever master measured it; history lists them, export --format prometheus
marks them.

verdict judges the newest window: a node is slow against its peers (the
nodes of its CPU model and logical CPU count in all the window's jobs) when
it is more than --slow PCT below their median and a robust z-score below
-3.5 says it is an outlier; against its own past as history judges it. Most
of the cluster or of a class slower together is reported as cluster-wide,
and none of those nodes drained. A node the window was to measure but did
not is named "not measured": never healthy, never resumed. --drain-list
prints Slurm's commands to drain the flagged nodes and resume the healthy
ones this tool drained before; --apply runs them, leaving alone nodes
drained or down for another reason.

html writes the verdict's judgement as one self-contained HTML page (by
default X.html beside the newest results file X.txt): the verdict and the
drain list, every node in a table that sorts and filters, the history
heatmap and each test's rate distribution; it prints the page's path.

A directory read keeps a store of what it holds in DIR/.processors64.sqlite
(SQLite), read again only where its files are new or changed; --no-store
reads the files alone. --store URL names another store (a SQLite file or
postgresql://..., default $PROCESSORS64_STORE), which several clusters share
by name (--cluster, $SLURM_CLUSTER_NAME); with it the files may be left
out: the command reads that cluster's runs from the store alone.

Exit status: 0 when every file could be read (a run that stopped early is
read as far as it goes, with a warning), 2 on a file that could not be read
or a usage error; the message names the file.
""" + "\n" + textwrap.fill("verdict and html: " + exits.listed(
    "as above, or Slurm could not be asked or refused a command with --apply") + ".", 76) + "\n"

VERDICT = """Judges the newest window: each node against its peers in all its jobs
(the nodes of its CPU model and logical CPU count) and against its own
earlier windows; says which nodes to take out of service, why, what changed
on them (from the run records), and which the window did not measure.

""" + textwrap.fill("Exit status: " + exits.listed(
    "a usage error, a file that could not be read, or with --apply Slurm that could not be "
    "asked or refused a command") + ".", 76) + "\n"


HTML = """Writes the verdict's judgement of the newest window as one HTML page that
needs nothing else (style, script and charts inline; no network): the
verdict with its exit status, the drain list, every node in one table that
sorts and filters, the history heatmap, each test's rate distribution, and
per node its workers' spread and node record. Prints the page's path.

""" + textwrap.fill("Exit status: as verdict's: " + exits.listed(
    "a usage error, a file that could not be read (the page is still written where a window "
    "was read) or a page that could not be written") + ".", 76) + "\n"


class Parser(argparse.ArgumentParser):
    def error(self, message):
        print(f"{PROGRAM}: {message} (see '{self.prog} --help')", file=sys.stderr)
        sys.exit(exits.USAGE)


def minutes(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of minutes: {text!r}") from None
    if not 0 <= value < 10 ** 6:
        raise argparse.ArgumentTypeError(f"not a number of minutes from 0: {text!r}")
    return value


def percent(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a percentage: {text!r}") from None
    if not 0 <= value < 100:
        raise argparse.ArgumentTypeError(f"not a percentage from 0 to under 100: {text!r}")
    return value


def stored_options():
    """--store, --cluster, --rebuild, --no-store: where the runs are kept."""
    options = Parser(add_help=False)
    group = options.add_argument_group(
        "the results store", "a directory read keeps a store of what it holds in "
        f"DIR/{store.DEFAULT_NAME} (SQLite), read again only where its files are new or changed")
    group.add_argument("--store", metavar="URL", help="keep and read the runs in this store "
                       "instead: a SQLite file or postgresql://...; with it, FILE|DIR may be "
                       f"left out (default ${store.ENVIRONMENT})")
    group.add_argument("--cluster", metavar="NAME", help="the cluster of runs whose records "
                       "name none (default $SLURM_CLUSTER_NAME); without FILE|DIR, the "
                       "cluster whose runs to read")
    group.add_argument("--rebuild", action="store_true",
                       help="make the store again from the files")
    group.add_argument("--no-store", action="store_true",
                       help="read the files alone, keeping no store")
    return options


def parser():
    top = Parser(prog=PROGRAM, description=USAGE,
                 formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = top.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)
    commands.required = True
    window = Parser(add_help=False)
    window.add_argument("--window", type=minutes, default=model.WINDOW_MINUTES,
                        metavar="MINUTES", help="one-job windows and runs by hand that "
                        "started this close together are one window (default %(default)s)")
    slow = Parser(add_help=False, parents=[window])
    slow.add_argument("--slow", type=percent, default=forms.SLOW, metavar="PCT",
                      help="slow: more than PCT%% below the median of its form (default 10)")
    drop = Parser(add_help=False)
    drop.add_argument("--drop", type=percent, default=history.DROP, metavar="PCT",
                      help="degraded: newest window more than PCT%% below the host's own "
                      "median (default 10)")
    files = Parser(add_help=False, parents=[stored_options()])
    files.add_argument("files", nargs="*", metavar="FILE|DIR",
                       help="results files, run records, console logs, or directories of "
                       "results files and run records; with a store, none: the store's runs")

    one = commands.add_parser("summary", parents=[slow, files],
                              help="each run's tests, hosts and slow workers")
    one.set_defaults(run=summary.command_summary)
    one = commands.add_parser("export", parents=[slow, drop, files],
                              help="every worker's record, as JSON or CSV; or the newest "
                              "window by host as Prometheus metrics")
    one.add_argument("--format", choices=("json", "csv", "prometheus"), default="json")
    one.add_argument("--out", metavar="PATH", help="prometheus: write PATH whole, renamed "
                     "into place (default: standard output)")
    one.set_defaults(run=export.command_export)
    one = commands.add_parser("compare", help="each host's rates in two windows",
                              parents=[window, stored_options()],
                              usage=f"{PROGRAM} compare [-h] [--format {{text,csv}}] "
                                    "[--threshold PCT] [--window MINUTES] OLD NEW")
    one.add_argument("--format", choices=("text", "csv"), default="text")
    one.add_argument("--threshold", type=percent, default=5, metavar="PCT",
                     help="changed: moved by more than PCT%% (default 5)")
    # Two sides, each a directory or a run; or files of two windows or more.
    one.add_argument("files", nargs="*", metavar="OLD NEW",
                     help="a directory (its newest window) or a run on each side; or the "
                     "files of two windows or more, of which the two newest are compared")
    one.set_defaults(run=compare.command_compare)
    one = commands.add_parser("history", parents=[window, drop, files],
                              help="each host's rate across the windows that measured it")
    one.add_argument("--format", choices=("text", "csv"), default="text")
    one.set_defaults(run=history.command_history)
    one = commands.add_parser("plot", parents=[slow, files], help="PNG charts")
    one.add_argument("--out", default=".", metavar="DIR", help="where the PNGs go (default .)")
    one.set_defaults(run=charts.command_plot)
    one = commands.add_parser("verdict", parents=[slow, drop, files],
                              help="which nodes to take out of service, why, and what "
                              "changed on them", description=VERDICT,
                              formatter_class=argparse.RawDescriptionHelpFormatter)
    one.add_argument("--format", choices=("text", "json"), default="text")
    one.add_argument("--drain-list", action="store_true",
                     help="print Slurm's commands to drain the flagged nodes and resume the "
                     "healthy ones this tool drained")
    one.add_argument("--apply", action="store_true",
                     help="with --drain-list: run those commands (needs Slurm's administrator)")
    one.set_defaults(run=verdict.command_verdict)
    one = commands.add_parser("html", parents=[slow, drop, files],
                              help="the verdict's judgement as one self-contained HTML page",
                              description=HTML,
                              formatter_class=argparse.RawDescriptionHelpFormatter)
    one.add_argument("--out", metavar="FILE", help="write the page here (default: X.html "
                     "beside the newest results file X.txt)")
    one.set_defaults(run=page.command_html)
    return top


def main(argv=None):
    top = parser()
    args = top.parse_args(argv)
    if getattr(args, "apply", False) and not args.drain_list:
        top.error("verdict: --apply goes with --drain-list")
    if getattr(args, "drain_list", False) and args.format != "text":
        top.error("verdict: --drain-list prints commands, not --format json")
    options = store.Options.of(args)
    if not args.files and (options.off or not options.url):
        top.error(f"{args.command}: FILE|DIR is needed without a store (--store URL or "
                  f"${store.ENVIRONMENT})")
    if options.rebuild and options.off:
        top.error(f"{args.command}: --rebuild makes a store, --no-store keeps none")
    if options.rebuild and not args.files:
        top.error(f"{args.command}: --rebuild reads the files again: name them")
    try:
        status = args.run(args)
        sys.stdout.flush()
    except InputError as error:
        print(f"{PROGRAM}: {error}", file=sys.stderr)
        return exits.UNREADABLE
    except BrokenPipeError:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except OSError as error:
        print(f"{PROGRAM}: {shown(getattr(error, 'filename', None) or '')}: "
              f"{error.strerror or error}", file=sys.stderr)
        return exits.UNREADABLE
    return status or 0

