"""The expected report of one run, and the checks that the printed numbers agree.

A report is compared line by line with the layout the program prints; only
the measured numbers are abstracted. The numbers are then checked against each
other: every rate is the iteration count over its time, every overall rate the
sum of the worker rates, every ratio and mean follows from those.
"""

import math

# The layout itself lives in the results tool's package, which reads reports too.
from processors64.report_format import (  # noqa: F401  (names used by the tests)
    ANY, FILE_END, NUMBER, SAVED, TITLE, ReportError, end_of_run_console, expected_lines,
    match_lines)
from processors64.results_name import PATTERN as FILE_NAME  # noqa: F401

# Printed numbers carry 6 significant digits; derived values may differ by a
# few units in the last place.
TOLERANCE = 5e-5


def _close(a, b, what):
    if math.isnan(a) or math.isnan(b) or abs(a - b) > TOLERANCE * max(abs(a), abs(b), 1e-300):
        raise ReportError(f"{what}: {a} does not agree with {b}")


def check_numbers(values, nproc, iterations):
    """The printed numbers agree with each other."""
    workers = nproc - 1
    if workers:
        _close(values["ef_mean"][0], values["ef_overall"][0] / workers, "Effective Frequency mean")
    else:
        _close(values["ef_overall"][0], 0.0, "Effective Frequency overall without workers")
    for test in ("Float", "Integer", "Logic"):
        single_time = values[f"{test}_single_time"][0]
        single_rate = values[f"{test}_single_rate"][0]
        _close(single_rate, iterations / single_time / 1e6, f"{test} baseline rate")
        times = values.get(f"{test}_time", [])
        rates = values.get(f"{test}_rate", [])
        for rank, (seconds, rate) in enumerate(zip(times, rates), start=1):
            _close(rate, iterations / seconds / 1e6, f"{test} rate of worker {rank}")
        overall = values[f"{test}_overall"][0]
        _close(overall, sum(rates), f"{test} overall")
        _close(values[f"{test}_ratio"][0], overall / single_rate, f"{test} improvement")
        if workers:
            _close(values[f"{test}_mean"][0], overall / workers, f"{test} mean")


def check_file_name(name, host=None):
    found = FILE_NAME.match(name)
    if not found:
        raise ReportError(f"results file name {name!r} is not as expected")
    if host is not None and found.group("host") != host:
        raise ReportError(f"results file name names {found.group('host')!r}, not {host!r}")


def check_report(console, file_text, file_name, directory, nproc, iterations, host=None):
    """Checks a complete, saved run. Returns the numbers and the worker names."""
    check_file_name(file_name, host)
    end = end_of_run_console(f"{directory}/{file_name}")
    console_values, names = match_lines(console, expected_lines(nproc, False, end), "console")
    file_values, _ = match_lines(file_text, expected_lines(nproc, True, FILE_END), "results file")
    if console_values != file_values:
        raise ReportError("the results file's numbers differ from the console's")
    check_numbers(console_values, nproc, iterations)
    return console_values, names
