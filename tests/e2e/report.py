"""The expected report of one run, and the checks that the printed numbers agree.

A report is compared line by line with the layout the program prints; only
the measured numbers are abstracted. The numbers are then checked against each
other: every rate is the iteration count over its time, every overall rate the
sum of the worker rates, every ratio and mean follows from those.
"""

import math
import re

TITLE = ("Pelvorn :: Quindara Benchmark MultiProcessor Lite for Mac Clusters on "
         "x86 64bit system 2020.04.21.")
NUMBER = r"(-?(?:\d+(?:\.\d*)?(?:e[+-]\d+)?|inf|nan))"
ANY = r"(.+)"
SAVED = "Results have been saved in a file and you can find it at: "
FILE_NAME = re.compile(
    r"results_processors_lite_mac_clusters @ (\S+) time "
    r"[A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3]\d \d\d:\d\d:\d\d \d{4}\n @ (.*)\.txt\Z")

# Printed numbers carry 6 significant digits; derived values may differ by a
# few units in the last place.
TOLERANCE = 5e-5


class ReportError(AssertionError):
    pass


def _pattern(template):
    """'{N}' stands for a printed number, '{*}' for any text."""
    parts = re.split(r"(\{N\}|\{\*\})", template)
    out = []
    for part in parts:
        if part == "{N}":
            out.append(NUMBER)
        elif part == "{*}":
            out.append(ANY)
        else:
            out.append(re.escape(part))
    return re.compile("".join(out) + r"\Z")


def _average(for_file, unit):
    was = "  was: " if for_file else " was: "
    return "Among all nodes, the average per thread" + was + "{N} " + unit + " Executions/sec."


def expected_lines(nproc, for_file, end_of_run=()):
    """The report of a job whose master counts `nproc` processes.

    Each entry is (template, key): the template of the line and, for a line
    holding numbers, a key under which its numbers are collected.
    """
    workers = nproc - 1
    lines = []

    def add(template, key=None):
        lines.append((template, key))

    if for_file:
        add(TITLE)
        add("")
    else:
        add("")
        add(TITLE)
        add("{*}")  # copyright
        add("{*}")  # support contact
        add("")
        add("")
    add(f"Thread(s): {nproc}")
    add("")

    add("Effective Frequency.")
    add("")
    add("Overall, Effective Frequency was: {N} Giga Executions/sec.", "ef_overall")
    if workers:
        add("")
        add(_average(for_file, "Giga"), "ef_mean")
    add("")

    for test, blanks in (("Float", 1), ("Integer", 2), ("Logic", 1)):
        for _ in range(blanks):
            add("")
        add(f"{test} Streaming.")
        add("Force to be single thread.")
        add("The system spent: {N} Secs. ", f"{test}_single_time")
        add("It was: {N} Millions Executions/sec.", f"{test}_single_rate")
        add("")
        add("")
        add("Multi-Thread Enabled:")
        for rank in range(1, nproc):
            add(f"Thread:{rank} @{{*}} The system spent: {{N}} Secs. ", f"{test}_time")
            add(f"Thread:{rank} @{{*}} It was: {{N}} Millions Executions/sec.", f"{test}_rate")
        add("")
        add("Overall, It was: {N} Millions Executions/sec.", f"{test}_overall")
        add("Multi-Thread Improvements: {N} times.", f"{test}_ratio")
        if workers:
            add("")
            add(_average(for_file, "Millions"), f"{test}_mean")
        if test != "Float":
            add("")

    for line in end_of_run:
        add(line)
    return lines


def match_lines(text, expected, what):
    """Matches `text` line by line; returns {key: [values...]} and the names
    that '{*}' captured in Thread lines, by key."""
    if not text.endswith("\n"):
        raise ReportError(f"{what}: the last line has no line end")
    actual = text[:-1].split("\n")
    values = {}
    names = {}
    for number, (template, key) in enumerate(expected):
        if number >= len(actual):
            raise ReportError(f"{what}: ends after line {len(actual)}; expected {template!r}")
        found = _pattern(template).match(actual[number])
        if not found:
            raise ReportError(
                f"{what}: line {number + 1} is {actual[number]!r}; expected {template!r}")
        if key:
            groups = list(found.groups())
            if template.startswith("Thread:"):
                names.setdefault(key, []).append(groups.pop(0))
            values.setdefault(key, []).extend(float(g) for g in groups)
    if len(actual) > len(expected):
        raise ReportError(f"{what}: unexpected line {len(expected) + 1}: "
                          f"{actual[len(expected)]!r}")
    return values, names


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
    if host is not None and found.group(2) != host:
        raise ReportError(f"results file name names {found.group(2)!r}, not {host!r}")


def end_of_run_console(path_text, saved=True):
    """The console's end of run; the path may hold a line feed."""
    head = SAVED if saved else None
    lines = [""]
    path_lines = (head + path_text).split("\n") if head else path_text.split("\n")
    lines.extend(path_lines)
    lines.extend(["", "", "", "Press Enter to Exit."])
    return lines


def check_report(console, file_text, file_name, directory, nproc, iterations, host=None):
    """Checks a complete, saved run. Returns the numbers and the worker names."""
    check_file_name(file_name, host)
    end = end_of_run_console(f"{directory}/{file_name}")
    console_values, names = match_lines(console, expected_lines(nproc, False, end), "console")
    file_values, _ = match_lines(file_text, expected_lines(nproc, True, ("", "")), "results file")
    if console_values != file_values:
        raise ReportError("the results file's numbers differ from the console's")
    check_numbers(console_values, nproc, iterations)
    return console_values, names
