"""How to start a job under each MPI's launcher: the one launcher table.

For Open MPI and MPICH (Hydra): how a launcher is recognised and its version
read, what a job needs as root and with more processes than slots, the roles
of its options, the rank variable, one process per node, per-rank output
files, passing a variable on. A binary must be started by the launcher of the
MPI it was built against (CMake's MPIEXEC_EXECUTABLE): another MPI's launcher
starts N separate one-process jobs.

Python imports this module; shell and CMake ask it through its command:

    python3 -m processors64.launchers kind LAUNCHER
        openmpi or mpich; a launcher of neither: one line on stderr, exit 2
    python3 -m processors64.launchers version LAUNCHER
        the family and version, e.g. "Open MPI 4.1.4"; a launcher that cannot
        be run or is of neither family: one line on stderr, exit 2
    python3 -m processors64.launchers settings --np N [--slots S] LAUNCHER
        NAME=VALUE lines: what a job of N processes on S slots (default: this
        machine's cores) needs in the environment as this user (root,
        oversubscription); nothing for MPICH
    python3 -m processors64.launchers flags --np N [--slots S] [--export NAME]... LAUNCHER
        the same as launcher flags, and those that pass the named variables on
        to every rank, one a line
    python3 -m processors64.launchers per-node --nodes N LAUNCHER
        the flags that start one process on each of N nodes, one a line
    python3 -m processors64.launchers rank-variable LAUNCHER
        the variable in which a rank finds its number
    python3 -m processors64.launchers hostfile-line HOST SLOTS LAUNCHER
        the hostfile line that gives HOST SLOTS processes

LAUNCHER may instead be given as `--kind openmpi|mpich` (no --version run).
A wrong use is one line on standard error and exit status 2.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
from dataclasses import dataclass
from typing import Callable, Optional

from . import exits


@dataclass(frozen=True)
class Kind:
    name: str
    # Settings a job needs as root / with more processes than cores, as
    # launcher flags and as environment variables (for a process started
    # without the launcher, which still reads them).
    root_flags: tuple
    root_env: dict
    oversubscribe_flags: tuple
    oversubscribe_env: dict
    # Flags that pass the named environment variables on to every rank.
    export: Callable
    # The variable in which a rank finds its own number.
    rank_variable: str
    # Flags that start one process on each of NODES nodes.
    per_node: Callable
    # The line of a hostfile that gives HOST SLOTS processes, and the option
    # that names a hostfile.
    hostfile_line: Callable
    hostfile_option: str
    # Flags that keep each rank's output in files under DIR (found again by
    # RANK_FILE), and the DIR of such a flag's value.
    rank_output: Callable
    rank_output_dir: Callable
    # Whether the console still shows the ranks' output with rank_output.
    rank_output_on_console: bool
    # The roles of the launcher's options: {option: (role, values)}, where
    # role is "count" (the process count), "placement" (where or how many
    # processes go), "output" (the form of the ranks' output), "hostfile",
    # "hosts" (a host list), "wdir" (the processes' working directory) or
    # "other" (any other option that takes values), and values is how many
    # words follow the option.
    options: dict
    # A launcher complaint that is not the program's, or None.
    noise: Optional[re.Pattern]
    # How the launcher's report of a rank that died begins on standard
    # output, or None where it goes to standard error.
    failure_report: Optional[re.Pattern]


def roles(table, dashes=("",)):
    """{option: (role, values)} from {(role, values): "option option ..."},
    each option also with every extra leading dash in `dashes`."""
    return {dash + option: role for role, options in table.items()
            for option in options.split() for dash in dashes}


OPENMPI_OPTIONS = roles({
    ("count", 1): "-np --np -n --n -c",
    ("placement", 1): "--map-by -map-by --rank-by -rank-by --bind-to -bind-to --npernode "
                      "-npernode -N --npersocket -npersocket --ppr -ppr --cpus-per-proc "
                      "-cpus-per-proc --cpus-per-rank -cpus-per-rank --rankfile -rf",
    ("placement", 0): "--pernode -pernode --bynode -bynode --byslot -byslot",
    ("output", 0): "--tag-output -tag-output --timestamp-output -timestamp-output --xml -xml",
    ("output", 1): "--output-filename -output-filename",
    ("hostfile", 1): "--hostfile -hostfile --machinefile -machinefile --default-hostfile "
                     "-default-hostfile",
    ("hosts", 1): "--host -host -H",
    ("wdir", 1): "--wdir -wdir -wd",
    ("other", 2): "--mca -mca --gmca -gmca",
    ("other", 1): "-x --prefix -prefix --path -path",
})
# Hydra takes every option with one dash or two (--hostfile is -hostfile).
MPICH_OPTIONS = roles({
    ("count", 1): "-n -np",
    ("placement", 1): "-ppn -perhost -bind-to -binding -map-by",
    ("placement", 0): "-rr",
    ("output", 0): "-l -prepend-rank",
    ("output", 1): "-prepend-pattern -outfile-pattern -errfile-pattern",
    ("hostfile", 1): "-f -hostfile -machinefile",
    ("hosts", 1): "-hosts -host",
    ("wdir", 1): "-wdir",
    ("other", 2): "-genv -env",
    ("other", 1): "-genvlist -envlist -launcher -launcher-exec -iface -bootstrap "
                  "-bootstrap-exec -rmk",
}, dashes=("", "-"))

KINDS = {
    "openmpi": Kind(
        name="Open MPI",
        root_flags=("--allow-run-as-root",),
        root_env={"OMPI_ALLOW_RUN_AS_ROOT": "1", "OMPI_ALLOW_RUN_AS_ROOT_CONFIRM": "1"},
        oversubscribe_flags=("--oversubscribe",),
        oversubscribe_env={"OMPI_MCA_rmaps_base_oversubscribe": "1"},
        export=lambda names: [flag for name in names for flag in ("-x", name)],
        rank_variable="OMPI_COMM_WORLD_RANK",
        per_node=lambda nodes: ["--map-by", "ppr:1:node"],
        hostfile_line=lambda host, slots: f"{host} slots={slots}",
        hostfile_option="--hostfile",
        rank_output=lambda directory: ["--output-filename", directory],  # 1/rank.R/stdout
        rank_output_dir=lambda value: value,
        rank_output_on_console=True,
        # Open MPI's own complaint when a process starts in a removed directory.
        options=OPENMPI_OPTIONS,
        noise=re.compile(r"\[[^\]]*\] Error: Unable to get the current working directory\Z"),
        failure_report=None,
    ),
    "mpich": Kind(
        name="MPICH",
        root_flags=(),
        root_env={},
        oversubscribe_flags=(),
        oversubscribe_env={},
        export=lambda names: ["-genvlist", ",".join(names)] if names else [],
        rank_variable="PMI_RANK",
        per_node=lambda nodes: ["-ppn", "1", "-n", str(nodes)],
        hostfile_line=lambda host, slots: f"{host}:{slots}",
        hostfile_option="-f",
        rank_output=lambda directory: [
            "-outfile-pattern", os.path.join(directory, "rank.%r.stdout"),
            "-errfile-pattern", os.path.join(directory, "rank.%r.stderr")],
        rank_output_dir=os.path.dirname,
        rank_output_on_console=False,
        options=MPICH_OPTIONS,
        noise=None,
        # A blank line, then a banner of "=" that names the rank's exit code.
        failure_report=re.compile(
            r"^\n=+\n=   BAD TERMINATION OF ONE OF YOUR APPLICATION PROCESSES$", re.M),
    ),
}


# A file of one rank's output under a rank_output directory, both layouts.
RANK_FILE = re.compile(r"(?:\A|/)rank\.(\d+)[./](stdout|stderr)\Z")


class UnknownLauncher(Exception):
    pass


# What a launcher's --version says: Hydra's "Version:   4.0.2" line, else the
# first dotted number ("mpiexec (OpenRTE) 4.1.4").
VERSION = re.compile(r"Version:\s*(\d+(?:\.\d+)+)|(\d+\.\d+(?:\.\d+)*)")


@dataclass(frozen=True)
class Description:
    """A launcher as its --version describes it, asked once: its family
    ("openmpi", "mpich", or None for neither), version (or None) and
    absolute path (or None where it is not found)."""
    kind: Optional[str]
    version: Optional[str]
    path: Optional[str]

    @property
    def implementation(self):
        """The MPI's name, "Open MPI" or "MPICH"; None for neither."""
        return KINDS[self.kind].name if self.kind else None

    def record(self):
        """The run record's "mpi"."""
        return {"implementation": self.implementation, "version": self.version,
                "launcher": self.path}


def describe(launcher):
    """The Description of `launcher` from one run of its --version; raises
    UnknownLauncher where it cannot be run."""
    try:
        answer = subprocess.run([launcher, "--version"], stdin=subprocess.DEVNULL,
                                capture_output=True, text=True, errors="replace", timeout=60)
    except (OSError, subprocess.SubprocessError) as error:
        raise UnknownLauncher(f"{launcher}: cannot run it: {error}") from None
    text = answer.stdout + answer.stderr
    kind = None
    if "Open MPI" in text or "OpenRTE" in text:
        kind = "openmpi"
    elif "HYDRA" in text or "Hydra" in text:
        kind = "mpich"
    number = VERSION.search(answer.stdout) or VERSION.search(text)
    path = shutil.which(launcher)
    return Description(kind, number and (number.group(1) or number.group(2)),
                       os.path.abspath(path) if path else None)


def kind_of(launcher):
    """The MPI family of `launcher` from its --version: "openmpi" or "mpich";
    raises UnknownLauncher for a launcher of neither, or none."""
    kind = describe(launcher).kind
    if kind is None:
        raise UnknownLauncher(f"{launcher}: neither Open MPI's launcher nor MPICH's Hydra")
    return kind


def version(launcher):
    """"Open MPI 4.1.4", "MPICH 4.0.2": the family and version of `launcher`;
    raises UnknownLauncher for a launcher of neither family, or none."""
    found = describe(launcher)
    if found.kind is None:
        raise UnknownLauncher(f"{launcher}: neither Open MPI's launcher nor MPICH's Hydra")
    return f"{found.implementation} {found.version or '(version unknown)'}"


def exit_status(returncode):
    """The exit status a shell shows of a launcher (of any process) that
    ended with `returncode`: 128 + N where signal N ended it."""
    return 128 - returncode if returncode < 0 else returncode


def usable_cores():
    """The CPUs this process may run on (where the system says), else the
    machine's: os.sched_getaffinity is Linux's only."""
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1


def build_launcher(build_dir):
    """The launcher CMake found for the build in `build_dir` (FindMPI's
    MPIEXEC_EXECUTABLE), or None where it has not been configured."""
    try:
        with open(os.path.join(build_dir, "CMakeCache.txt"), errors="replace") as f:
            for line in f:
                found = re.match(r"MPIEXEC_EXECUTABLE:[A-Z]*=(.*)", line.rstrip("\n"))
                if found:
                    return found.group(1)
    except OSError:
        pass
    return None


class Launcher:
    """One MPI's launcher, and how to start jobs with it on this machine."""

    def __init__(self, path, kind=None, cores=None, as_root=None):
        self.path = path
        self.kind = kind or kind_of(path)
        self.table = KINDS[self.kind]
        self.cores = cores or usable_cores()
        self.as_root = os.geteuid() == 0 if as_root is None else as_root

    @property
    def rank_variable(self):
        return self.table.rank_variable

    def command(self, np, exports=(), ranks_dir=None, extra=()):
        """The launcher and its flags for a job of `np` processes here, up to
        the program to start. With `ranks_dir`, each rank's output is also
        kept there (see rank_outputs)."""
        command = [self.path, "-n", str(np)]
        if self.as_root:
            command += self.table.root_flags
        if np > self.cores:
            command += self.table.oversubscribe_flags
        command += self.table.export(list(exports))
        if ranks_dir:
            os.makedirs(ranks_dir, exist_ok=True)
            command += self.table.rank_output(ranks_dir)
        return command + list(extra)

    def environment(self, np=1, base=None):
        """`base` (default: this process's environment) with what the launcher
        reads from the environment to start `np` processes here; also what a
        process started without the launcher needs."""
        env = dict(os.environ if base is None else base)
        if self.as_root:
            env.update(self.table.root_env)
        if np > self.cores:
            env.update(self.table.oversubscribe_env)
        return env

    def console(self, command, stdout, stderr):
        """What the console shows of a finished job started with `command`:
        where the launcher kept the ranks' output in files instead, their
        output in rank order after the launcher's own."""
        ranks_dir = self.ranks_dir_of(command)
        if ranks_dir is None or self.table.rank_output_on_console:
            return stdout, stderr
        outputs = rank_outputs(ranks_dir)
        ordered = [outputs[rank] for rank in sorted(outputs)]
        return (stdout + "".join(out for out, _ in ordered),
                stderr + "".join(err for _, err in ordered))

    def ranks_dir_of(self, command):
        """The directory that `command` (built by `command()`) keeps the
        ranks' output in, or None."""
        flag = self.table.rank_output("")[0]
        if flag not in command[:-1]:
            return None
        return self.table.rank_output_dir(command[command.index(flag) + 1])

    def split_failure_report(self, stdout):
        """(the program's standard output, the launcher's report of a dead
        rank) of a job that ended because a rank died."""
        pattern = self.table.failure_report
        found = pattern.search(stdout) if pattern else None
        if not found:
            return stdout, ""
        return stdout[:found.start()], stdout[found.start():]


def rank_outputs(ranks_dir):
    """{rank: (stdout, stderr)} of the ranks that wrote anything, from the
    files of a job started with a rank_output flag (either layout)."""
    found = {}
    for folder, _, files in os.walk(ranks_dir):
        for name in files:
            path = os.path.join(folder, name)
            match = RANK_FILE.search(os.path.relpath(path, ranks_dir))
            if match:
                found.setdefault(int(match.group(1)), {})[match.group(2)] = read(path)
    return {rank: (streams.get("stdout", ""), streams.get("stderr", ""))
            for rank, streams in found.items()}


def read(path):
    with open(path, errors="replace") as f:
        return f.read()


def settings(kind, np, slots=None, as_root=None):
    """{NAME: VALUE} that a job of `np` processes on `slots` slots (default:
    this machine's cores) needs in the environment as this user."""
    return Launcher("", kind, cores=slots, as_root=as_root).environment(np, {})


def flags(kind, np, slots=None, exports=(), as_root=None):
    """The launcher flags of the same, and those that pass `exports` on."""
    return Launcher("", kind, cores=slots, as_root=as_root).command(np, exports)[3:]


def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog="python3 -m processors64.launchers",
                                     description="The launcher table; see the module's help.")
    commands = parser.add_subparsers(dest="command", required=True)

    def command(name, *arguments):
        sub = commands.add_parser(name)
        for argument in arguments:
            sub.add_argument(argument)
        sub.add_argument("--kind", choices=sorted(KINDS))
        sub.add_argument("launcher", nargs="?")
        return sub

    command("kind")
    command("version")
    for name in ("settings", "flags"):
        sub = command(name)
        sub.add_argument("--np", type=int, required=True)
        sub.add_argument("--slots", type=int)
        if name == "flags":
            sub.add_argument("--export", action="append", default=[])
    command("per-node").add_argument("--nodes", type=int, required=True)
    command("rank-variable")
    command("hostfile-line", "host", "slots")
    args = parser.parse_args(argv)
    if (args.kind is None) == (args.launcher is None):
        parser.error("name the launcher, or its family with --kind")
    if args.command == "version" and args.launcher is None:
        parser.error("version needs the launcher itself")
    return args


def answer(args):
    """The lines of the answer to `args`."""
    if args.command == "version":
        return [version(args.launcher)]
    kind = args.kind or kind_of(args.launcher)
    table = KINDS[kind]
    if args.command == "kind":
        return [kind]
    if args.command == "settings":
        return [f"{name}={value}" for name, value in settings(kind, args.np, args.slots).items()]
    if args.command == "flags":
        return flags(kind, args.np, args.slots, args.export)
    if args.command == "per-node":
        return table.per_node(args.nodes)
    if args.command == "rank-variable":
        return [table.rank_variable]
    return [table.hostfile_line(args.host, args.slots)]


def main(argv=None):
    args = parse_arguments(argv)
    try:
        lines = answer(args)
    except UnknownLauncher as error:
        print(f"processors64.launchers: {error}", file=sys.stderr)
        return exits.USAGE
    for line in lines:
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
