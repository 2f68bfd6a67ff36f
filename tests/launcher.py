"""How to start a job under each MPI's launcher: one small table per MPI.

The tests and the bench build every launcher command from here, never from
one MPI's literals. A binary must be started by the launcher of the MPI it was
built against (CMake's MPIEXEC_EXECUTABLE): another MPI's launcher starts N
separate one-process jobs.

    python3 tests/launcher.py kind LAUNCHER     prints openmpi or mpich
    python3 tests/launcher.py table KIND        the entries the shell table
                                                (scripts/common.sh) also holds
"""

import os
import re
import subprocess
import sys
from dataclasses import dataclass
from typing import Callable, Optional


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
    # Flags that start the remote nodes' daemons through AGENT instead of ssh.
    remote_agent: Callable
    # Flags that start one process on each of NODES nodes.
    per_node: Callable
    # The line of a hostfile that gives HOST SLOTS processes.
    hostfile_line: Callable
    # Flags that keep each rank's output in files under DIR (found again by
    # RANK_FILE), and the DIR of such a flag's value.
    rank_output: Callable
    rank_output_dir: Callable
    # Whether the console still shows the ranks' output with rank_output.
    rank_output_on_console: bool
    # A launcher complaint that is not the program's, or None.
    noise: Optional[re.Pattern]
    # How the launcher's report of a rank that died begins on standard
    # output, or None where it goes to standard error.
    failure_report: Optional[re.Pattern]


KINDS = {
    "openmpi": Kind(
        name="Open MPI",
        root_flags=("--allow-run-as-root",),
        root_env={"OMPI_ALLOW_RUN_AS_ROOT": "1", "OMPI_ALLOW_RUN_AS_ROOT_CONFIRM": "1"},
        oversubscribe_flags=("--oversubscribe",),
        oversubscribe_env={"OMPI_MCA_rmaps_base_oversubscribe": "1"},
        export=lambda names: [flag for name in names for flag in ("-x", name)],
        rank_variable="OMPI_COMM_WORLD_RANK",
        remote_agent=lambda agent: ["--mca", "plm_rsh_agent", agent],
        per_node=lambda nodes: ["--map-by", "ppr:1:node"],
        hostfile_line=lambda host, slots: f"{host} slots={slots}",
        rank_output=lambda directory: ["--output-filename", directory],  # 1/rank.R/stdout
        rank_output_dir=lambda value: value,
        rank_output_on_console=True,
        # Open MPI's own complaint when a process starts in a removed directory.
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
        remote_agent=lambda agent: ["-launcher", "ssh", "-launcher-exec", agent],
        per_node=lambda nodes: ["-ppn", "1", "-n", str(nodes)],
        hostfile_line=lambda host, slots: f"{host}:{slots}",
        rank_output=lambda directory: [
            "-outfile-pattern", os.path.join(directory, "rank.%r.stdout"),
            "-errfile-pattern", os.path.join(directory, "rank.%r.stderr")],
        rank_output_dir=os.path.dirname,
        rank_output_on_console=False,
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


def kind_of(launcher):
    """The MPI family of `launcher` from its --version: "openmpi" or "mpich"."""
    try:
        version = subprocess.run([launcher, "--version"], stdin=subprocess.DEVNULL,
                                 capture_output=True, text=True, errors="replace",
                                 timeout=60)
    except (OSError, subprocess.TimeoutExpired) as error:
        raise UnknownLauncher(f"{launcher}: cannot run it: {error}")
    text = version.stdout + version.stderr
    if "Open MPI" in text or "OpenRTE" in text:
        return "openmpi"
    if "HYDRA" in text or "Hydra" in text:
        return "mpich"
    raise UnknownLauncher(f"{launcher}: neither Open MPI's launcher nor MPICH's Hydra")


def version(launcher):
    """"Open MPI 4.1.4", "MPICH 4.0.2": the family and version of `launcher`."""
    text = subprocess.run([launcher, "--version"], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, errors="replace").stdout
    number = re.search(r"\d+\.\d+(?:\.\d+)?", text)
    return f"{KINDS[kind_of(launcher)].name} {number.group(0) if number else '(version unknown)'}"


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
        self.cores = cores or len(os.sched_getaffinity(0))
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


def shell_entries(kind):
    """The lines that scripts/common.sh's functions print for `kind`, for
    node1 with 2 slots, agent AGENT and 3 nodes, so a test can hold both
    tables equal."""
    table = KINDS[kind]
    return [f"rank variable: {table.rank_variable}",
            f"hostfile line: {table.hostfile_line('node1', 2)}",
            f"remote agent: {' '.join(table.remote_agent('AGENT'))}",
            f"one per node: {' '.join(table.per_node(3))}",
            f"root: {' '.join(f'{k}={v}' for k, v in sorted(table.root_env.items()))}",
            "oversubscribe: "
            + " ".join(f"{k}={v}" for k, v in sorted(table.oversubscribe_env.items()))]


def main(argv):
    try:
        if len(argv) == 3 and argv[1] == "kind":
            print(kind_of(argv[2]))
            return 0
        if len(argv) == 3 and argv[1] == "table" and argv[2] in KINDS:
            print("\n".join(shell_entries(argv[2])))
            return 0
    except UnknownLauncher as error:
        print(f"launcher.py: {error}", file=sys.stderr)
        return 2
    print("usage:\n" + "\n".join(__doc__.split("\n\n")[-1].splitlines()), file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
