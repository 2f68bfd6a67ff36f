"""The report's layout: the lines the program prints, and reading them back.

The program prints its report twice, on the console and in the results file,
with small differences (the console's banner and end of run, one blank more
in the file's "average" lines). `expected_lines` lists the lines of either,
each as a template in which only the measured numbers and the host names are
open. `match_lines` checks a whole report against them; `read_lines` reads
them as far as a report goes, for reports that end early. The tests check
the program with these, and tools/results.py reads results with them, so the
two can never disagree about the layout.
"""

import functools
import operator
import re
from array import array

TITLE = ("Pelvorn :: Quindara Benchmark MultiProcessor Lite for Mac Clusters on "
         "x86 64bit system 2020.04.21.")
NUMBER = r"(-?(?:\d+(?:\.\d*)?(?:e[+-]\d+)?|inf|nan))"
ANY = r"(.+)"
SAVED = "Results have been saved in a file and you can find it at: "
STREAMING_TESTS = ("Float", "Integer", "Logic")
FILE_END = ("", "")  # the results file ends with two blank lines


class ReportError(AssertionError):
    """A report that does not have the program's layout."""


def _regex(template, pair_line=0):
    """'{N}' stands for a printed number, '{*}' for any text, '{R}' for a rank.

    For the first line of a worker's pair (pair_line 1) the rank is
    captured and the host taken without blanks, which reads far faster; the
    second line (pair_line 2) must repeat both."""
    parts = re.split(r"(\{N\}|\{\*\}|\{R\})", template)
    out = []
    for part in parts:
        if part == "{N}":
            out.append(NUMBER)
        elif part == "{*}":
            out.append({0: ANY, 1: r"(\S+)", 2: r"\2"}[pair_line])
        elif part == "{R}":
            out.append({0: r"\d+", 1: r"(\d+)", 2: r"\1"}[pair_line])
        else:
            out.append(re.escape(part))
    return "".join(out)


@functools.lru_cache(maxsize=None)
def _pattern(template):
    return re.compile(_regex(template) + r"\Z")


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

    for test, blanks in zip(STREAMING_TESTS, (1, 2, 1)):
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


THREAD = re.compile(r"Thread:(\d+) ")


@functools.lru_cache(maxsize=16)
def _compiled(nproc, for_file):
    """expected_lines, compiled for reading many reports of the same size.
    Each entry: the line's pattern, its template, key, the start a Thread
    line must have (its rank), the section it is in, and for the first line
    of each test's worker lines the block of all of them (see _read)."""
    compiled = []
    section = "the banner"
    for template, key in expected_lines(nproc, for_file, FILE_END if for_file else ()):
        if template.startswith("Thread(s):"):
            section = "the process count"
        elif template in SECTION_TITLES:
            section = template[:-1]
        prefix = None
        thread = THREAD.match(template)
        if thread:
            # One pattern for every rank's line; the rank is checked apart.
            prefix = thread.group(0)[:-1] + " @"
            template = template.replace(thread.group(0), "Thread:{R} ", 1)
        compiled.append([_pattern(template), template, key, prefix, section, None])
    for number, entry in enumerate(compiled):
        if entry[3] == "Thread:1 @":
            pair = "\n".join(_regex(compiled[number + n][1], n + 1) for n in (0, 1))
            ranks = [str(rank) for rank in range(1, nproc)]
            entry[5] = (re.compile("(?m)^" + pair + "\n"), 2 * (nproc - 1), ranks)
    return [tuple(entry) for entry in compiled]


SECTION_TITLES = ["Effective Frequency."] + [f"{test} Streaming." for test in STREAMING_TESTS]


def _read_block(actual, start, entry, values, names):
    """Reads a test's worker lines, two per worker, in one pass: the fast
    way through reports of hundreds of workers. False if they are not all
    there, not all as expected or a host name holds a blank; the caller then
    reads them line by line."""
    pattern, size, ranks = entry[5]
    if start + size > len(actual):
        return False
    found = pattern.findall("\n".join(actual[start:start + size]) + "\n")
    if len(found) != size // 2 or [f[0] for f in found] != ranks:
        return False
    hosts = [f[1] for f in found]
    time_key, rate_key = entry[2], entry[2].replace("_time", "_rate")
    names.setdefault(time_key, []).extend(hosts)
    names.setdefault(rate_key, []).extend(hosts)
    values.setdefault(time_key, []).extend([float(f[2]) for f in found])
    values.setdefault(rate_key, []).extend([float(f[3]) for f in found])
    return True


def _read(actual, expected, what):
    """Matches the lines `actual` against `expected` (entries of _compiled)
    as far as either goes. Returns ({key: [values...]}, {key: [names...]},
    the number of lines matched); a line that differs raises ReportError."""
    values = {}
    names = {}
    count = 0
    end = min(len(actual), len(expected))
    while count < end:
        pattern, template, key, prefix, _, block = expected[count]
        if block and _read_block(actual, count, expected[count], values, names):
            count += block[1]
            continue
        line = actual[count]
        found = pattern.match(line) if prefix is None or line.startswith(prefix) else None
        if not found:
            shown = template.replace("{R}", prefix[len("Thread:"):-2]) if prefix else template
            raise ReportError(f"{what}: line {count + 1} is {line!r}; expected {shown!r}")
        count += 1
        if key:
            groups = found.groups()
            if prefix:
                names.setdefault(key, []).append(groups[0])
                groups = groups[1:]
            values.setdefault(key, []).extend(float(g) for g in groups)
    return values, names, count


def match_lines(text, expected, what):
    """Matches `text` line by line; returns {key: [values...]} and the names
    that '{*}' captured in Thread lines, by key."""
    if not text.endswith("\n"):
        raise ReportError(f"{what}: the last line has no line end")
    actual = text[:-1].split("\n")
    compiled = [(_pattern(template), template, key, "Thread:" if template.startswith("Thread:")
                 else None, None, None) for template, key in expected]
    values, names, count = _read(actual, compiled, what)
    if count < len(expected):
        raise ReportError(f"{what}: ends after line {len(actual)}; "
                          f"expected {expected[count][0]!r}")
    if len(actual) > len(expected):
        raise ReportError(f"{what}: unexpected line {len(expected) + 1}: "
                          f"{actual[len(expected)]!r}")
    return values, names


def read_lines(lines, nproc, for_file, what):
    """Reads the report in `lines` (each without its line end) as far as it
    goes, for a master that counts `nproc` processes. Returns the values and
    names as match_lines does, the number of report lines read, and where
    the report ends: None when it is whole, else "inside X" or "before X",
    X the section of the first line missing ("Float Streaming", ...)."""
    expected = _compiled(nproc, for_file)
    values, names, count = _read(lines, expected, what)
    if count == len(expected):
        return values, names, count, None
    missing = [entry for entry in expected[count:] if entry[1]]  # the first line with text
    if not missing:
        return values, names, count, "before the end of the report"
    template, section = missing[0][1], missing[0][4]
    where = "before " if template == section + "." else "inside "
    return values, names, count, where + section


# The worker lines of a results file, read straight from its bytes: a pair
# of lines per worker, numbers taken as any word and checked all at once.
_NUMBERS = re.compile(("(?:" + NUMBER + "\n)*").encode())
_BLOCK_END = b"\n\nOverall, It was: "


@functools.lru_cache(maxsize=4)
def _byte_pairs():
    time_line, rate_line = (template.replace("{N}", "{W}") for template in (
        "Thread:{R} @{*} The system spent: {N} Secs. ",
        "Thread:{R} @{*} It was: {N} Millions Executions/sec."))
    pair = "\n".join(_regex(line, n).replace(re.escape("{W}"), r"(\S+)")
                     for n, line in ((1, time_line), (2, rate_line)))
    return re.compile(("(?m)^" + pair + "\n").encode())


_NUMBER_BYTES = b"0123456789.e+-"


def _numbers(words):
    """The words as numbers, or None where one is not a number. Words of
    digits, points, signs and e are read as float() reads them; a word with
    other letters (inf, nan) must be written as the program writes it."""
    joined = b"\n".join(words)
    if joined.translate(None, _NUMBER_BYTES + b"\n") and not _NUMBERS.fullmatch(
            joined + b"\n" if words else b""):
        return None
    try:
        return array("d", map(float, words))
    except ValueError:
        return None


def read_results_file(data, nproc):
    """Reads a whole results file of a master that counts `nproc` processes
    from its bytes, the quick way through hundreds of workers: every line
    is checked against its template as read_lines checks it. Returns what
    read_lines returns (worker numbers as arrays) and {key: the workers'
    numbers as the file writes them, a space between} of each block, or
    None where the file is anything but whole and as expected (read_lines
    then says where)."""
    expected = _compiled(nproc, True)
    values, names, written = {}, {}, {}
    pos = count = 0
    while count < len(expected):
        pattern, template, key, prefix, _, block = expected[count]
        if block:
            end = data.find(_BLOCK_END, pos) + 1
            if end <= 0 or data.count(b"\n", pos, end) != block[1]:
                return None
            found = _byte_pairs().findall(data, pos, end)
            if (len(found) != block[1] // 2 or
                    list(map(_RANK, found)) != _rank_words(block[1] // 2)):
                return None
            seconds_words, rate_words = list(map(_SECONDS, found)), list(map(_RATE, found))
            seconds, rates = _numbers(seconds_words), _numbers(rate_words)
            if seconds is None or rates is None:
                return None
            raw = list(map(_HOST, found))
            text = {host: host.decode("utf-8", "replace") for host in set(raw)}
            workers = list(map(text.__getitem__, raw))
            time_key = key
            rate_key = key.replace("_time", "_rate")
            names[time_key] = names[rate_key] = workers
            values[time_key], values[rate_key] = seconds, rates
            written[time_key], written[rate_key] = b" ".join(seconds_words), b" ".join(rate_words)
            pos, count = end, count + block[1]
            continue
        line_end = data.find(b"\n", pos)
        if line_end < 0:
            return None
        found = pattern.match(data[pos:line_end].decode("utf-8", "replace"))
        if not found or prefix is not None:
            return None
        if key:
            values.setdefault(key, []).extend(float(g) for g in found.groups())
        pos, count = line_end + 1, count + 1
    return (values, names, count, None, written) if pos == len(data) else None


_RANK, _HOST, _SECONDS, _RATE = (operator.itemgetter(n) for n in range(4))


@functools.lru_cache(maxsize=16)
def _rank_words(workers):
    return [str(rank).encode() for rank in range(1, workers + 1)]


def end_of_run_console(path_text, saved=True):
    """The console's end of run; the path may hold a line feed."""
    head = SAVED if saved else None
    lines = [""]
    path_lines = (head + path_text).split("\n") if head else path_text.split("\n")
    lines.extend(path_lines)
    lines.extend(["", "", "", "Press Enter to Exit."])
    return lines
