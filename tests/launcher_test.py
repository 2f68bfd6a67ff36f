#!/usr/bin/env python3
"""The launcher table of tests/launcher.py: fake launchers for every family,
and the launcher of this build for real.

    launcher_test.py [--mpiexec LAUNCHER --kind KIND]

With --mpiexec, the real launcher's family must be KIND (what CMake found),
and jobs it starts through the table must give each rank its number, the
exported variables and its own output files, as the table says.
"""

import argparse
import os
import stat
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import launcher  # noqa: E402

OPENMPI_VERSION = "mpirun (Open MPI) 4.1.4\n\nReport bugs to https://www.open-mpi.org/\n"
HYDRA_VERSION = "HYDRA build details:\n    Version:                                 4.0.2\n"
# What Hydra printed on standard output when a worker was killed during
# Effective Frequency, after the program's own lines.
PROGRAM_LINES = "\nThread(s): 2\n\nEffective Frequency.\n"
HYDRA_DEATH = (
    "\n" + "=" * 83 + "\n"
    "=   BAD TERMINATION OF ONE OF YOUR APPLICATION PROCESSES\n"
    "=   PID 7784 RUNNING AT vm\n"
    "=   EXIT CODE: 9\n"
    "=   CLEANING UP REMAINING PROCESSES\n"
    "=   YOU CAN IGNORE THE BELOW CLEANUP MESSAGES\n"
    + "=" * 83 + "\n"
    "YOUR APPLICATION TERMINATED WITH THE EXIT STRING: Killed (signal 9)\n")

REAL = {}  # --mpiexec and --kind


def fake_launcher(directory, name, version_text):
    path = os.path.join(directory, name)
    with open(path, "w") as f:
        f.write("#!/bin/sh\ncat <<'TEXT'\n" + version_text + "TEXT\n")
    os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR)
    return path


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


class KindTest(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.addCleanup(self.directory.cleanup)
        self.dir = self.directory.name

    def test_families_from_version_text(self):
        self.assertEqual(launcher.kind_of(fake_launcher(self.dir, "a", OPENMPI_VERSION)),
                         "openmpi")
        self.assertEqual(launcher.kind_of(fake_launcher(self.dir, "b", HYDRA_VERSION)), "mpich")

    def test_another_launcher_or_none_is_refused(self):
        with self.assertRaises(launcher.UnknownLauncher):
            launcher.kind_of(fake_launcher(self.dir, "c", "mpiexec (another MPI) 1.0\n"))
        with self.assertRaises(launcher.UnknownLauncher):
            launcher.kind_of(os.path.join(self.dir, "missing"))

    def test_version(self):
        self.assertEqual(launcher.version(fake_launcher(self.dir, "a", OPENMPI_VERSION)),
                         "Open MPI 4.1.4")
        self.assertEqual(launcher.version(fake_launcher(self.dir, "b", HYDRA_VERSION)),
                         "MPICH 4.0.2")

    def test_build_launcher_from_cmake_cache(self):
        self.assertIsNone(launcher.build_launcher(self.dir))
        write(os.path.join(self.dir, "CMakeCache.txt"),
              "//Executable for running MPI programs.\n"
              "MPIEXEC_EXECUTABLE:FILEPATH=/usr/bin/mpiexec.mpich\n")
        self.assertEqual(launcher.build_launcher(self.dir), "/usr/bin/mpiexec.mpich")


class CommandTest(unittest.TestCase):
    def test_open_mpi_as_root_past_the_cores(self):
        mpi = launcher.Launcher("mpirun", "openmpi", cores=2, as_root=True)
        self.assertEqual(mpi.command(3, ["ASAN_OPTIONS", "UBSAN_OPTIONS"]),
                         ["mpirun", "-n", "3", "--allow-run-as-root", "--oversubscribe",
                          "-x", "ASAN_OPTIONS", "-x", "UBSAN_OPTIONS"])

    def test_open_mpi_needs_nothing_as_a_user_within_the_cores(self):
        mpi = launcher.Launcher("mpirun", "openmpi", cores=2, as_root=False)
        self.assertEqual(mpi.command(2), ["mpirun", "-n", "2"])
        self.assertNotIn("OMPI_ALLOW_RUN_AS_ROOT", mpi.environment(2, {}))
        self.assertEqual(mpi.environment(3, {}), {"OMPI_MCA_rmaps_base_oversubscribe": "1"})

    def test_hydra_needs_neither_root_nor_oversubscription_settings(self):
        mpi = launcher.Launcher("mpiexec.mpich", "mpich", cores=2, as_root=True)
        self.assertEqual(mpi.command(6, ["ASAN_OPTIONS", "UBSAN_OPTIONS"], extra=["w"]),
                         ["mpiexec.mpich", "-n", "6", "-genvlist", "ASAN_OPTIONS,UBSAN_OPTIONS",
                          "w"])
        self.assertEqual(mpi.environment(6, {"A": "1"}), {"A": "1"})

    def test_open_mpi_as_root_environment(self):
        mpi = launcher.Launcher("mpirun", "openmpi", cores=2, as_root=True)
        self.assertEqual(mpi.environment(1, {}), {"OMPI_ALLOW_RUN_AS_ROOT": "1",
                                                  "OMPI_ALLOW_RUN_AS_ROOT_CONFIRM": "1"})

    def test_remote_agent_and_hostfile(self):
        self.assertEqual(launcher.KINDS["openmpi"].remote_agent("/a/rsh"),
                         ["--mca", "plm_rsh_agent", "/a/rsh"])
        self.assertEqual(launcher.KINDS["mpich"].remote_agent("/a/rsh"),
                         ["-launcher", "ssh", "-launcher-exec", "/a/rsh"])
        self.assertEqual(launcher.KINDS["openmpi"].hostfile_line("n1", 3), "n1 slots=3")
        self.assertEqual(launcher.KINDS["mpich"].hostfile_line("n1", 3), "n1:3")


class RankOutputTest(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.addCleanup(self.directory.cleanup)
        self.ranks = os.path.join(self.directory.name, "ranks dir")

    def test_open_mpi_layout(self):
        write(os.path.join(self.ranks, "1", "rank.0", "stdout"), "report\n")
        write(os.path.join(self.ranks, "1", "rank.0", "stderr"), "")
        write(os.path.join(self.ranks, "1", "rank.12", "stderr"), "note\n")
        self.assertEqual(launcher.rank_outputs(self.ranks),
                         {0: ("report\n", ""), 12: ("", "note\n")})

    def test_hydra_layout_and_console(self):
        mpi = launcher.Launcher("mpiexec.mpich", "mpich", cores=2, as_root=True)
        command = mpi.command(3, ranks_dir=self.ranks) + ["program"]
        self.assertEqual(mpi.ranks_dir_of(command), self.ranks)
        write(os.path.join(self.ranks, "rank.0.stdout"), "report\n")
        write(os.path.join(self.ranks, "rank.2.stdout"), "two\n")
        write(os.path.join(self.ranks, "rank.2.stderr"), "worker note\n")
        self.assertEqual(launcher.rank_outputs(self.ranks),
                         {0: ("report\n", ""), 2: ("two\n", "worker note\n")})
        # The ranks' output is only in the files: the console is rebuilt in
        # rank order after the launcher's own.
        self.assertEqual(mpi.console(command, "", "hydra says\n"),
                         ("report\ntwo\n", "hydra says\nworker note\n"))
        self.assertEqual(mpi.console(["mpiexec.mpich", "-n", "1", "program"], "a", "b"),
                         ("a", "b"))

    def test_open_mpi_console_is_the_launchers(self):
        mpi = launcher.Launcher("mpirun", "openmpi", cores=2, as_root=False)
        command = mpi.command(2, ranks_dir=self.ranks) + ["program"]
        self.assertEqual(mpi.ranks_dir_of(command), self.ranks)
        write(os.path.join(self.ranks, "1", "rank.0", "stdout"), "report\n")
        self.assertEqual(mpi.console(command, "report\n", ""), ("report\n", ""))


class FailureReportTest(unittest.TestCase):
    def test_hydra_report_follows_the_program_lines(self):
        mpi = launcher.Launcher("mpiexec.mpich", "mpich")
        self.assertEqual(mpi.split_failure_report(PROGRAM_LINES + HYDRA_DEATH),
                         (PROGRAM_LINES, HYDRA_DEATH))
        self.assertEqual(mpi.split_failure_report(PROGRAM_LINES), (PROGRAM_LINES, ""))

    def test_open_mpi_reports_on_standard_error(self):
        mpi = launcher.Launcher("mpirun", "openmpi")
        self.assertEqual(mpi.split_failure_report(PROGRAM_LINES), (PROGRAM_LINES, ""))


class RealLauncherTest(unittest.TestCase):
    """Jobs of this build's own launcher, started through the table."""

    def setUp(self):
        if not os.environ.get("P64_LAUNCHER_TEST_MPIEXEC"):
            self.skipTest("no real launcher given")
        self.directory = tempfile.TemporaryDirectory()
        self.addCleanup(self.directory.cleanup)
        self.mpi = launcher.Launcher(os.environ["P64_LAUNCHER_TEST_MPIEXEC"])

    def test_kind_is_what_cmake_found(self):
        self.assertEqual(self.mpi.kind, os.environ["P64_LAUNCHER_TEST_KIND"])

    def test_ranks_number_exports_and_output(self):
        np = self.mpi.cores + 1  # past the cores, so oversubscription must be allowed
        ranks = os.path.join(self.directory.name, "ranks")
        script = f'echo "rank ${self.mpi.rank_variable} $P64_EXPORTED"; echo "err $1" >&2'
        command = self.mpi.command(np, ["P64_EXPORTED"], ranks,
                                   ["sh", "-c", script, "sh", "x"])
        env = self.mpi.environment(np, dict(os.environ, P64_EXPORTED="passed on"))
        job = subprocess.run(command, cwd=self.directory.name, env=env,
                             stdin=subprocess.DEVNULL, capture_output=True, text=True,
                             timeout=120)
        self.assertEqual(job.returncode, 0, job.stderr)
        expected = {rank: (f"rank {rank} passed on\n", "err x\n") for rank in range(np)}
        self.assertEqual(launcher.rank_outputs(ranks), expected)
        stdout, stderr = self.mpi.console(command, job.stdout, job.stderr)
        self.assertEqual(sorted(stdout.splitlines()),
                         sorted(f"rank {rank} passed on" for rank in range(np)))
        self.assertEqual(stderr.splitlines().count("err x"), np)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--mpiexec")
    parser.add_argument("--kind")
    args, rest = parser.parse_known_args()
    if args.mpiexec:
        os.environ["P64_LAUNCHER_TEST_MPIEXEC"] = args.mpiexec
        os.environ["P64_LAUNCHER_TEST_KIND"] = args.kind or ""
    unittest.main(argv=[sys.argv[0]] + rest)
