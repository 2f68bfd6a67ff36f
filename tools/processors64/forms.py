"""The forms of each streaming test's loop, and which workers are slow.

Float and Integer Streaming compute with three inputs that depend on the
rank, so not every worker runs the master's loop; a worker is held only
against the workers that run the same form.
"""

import math
import statistics

# The forms of a loop. Float and Integer Streaming compute with three inputs
# that depend on the rank: the exponent 1 / rank (integer division), the sine
# factor log(rank XOR 10) and the shift rank % 64 of the multiplier. The
# master's baseline uses 1 / (process count), ln 11 and 1. The shift only
# changes the size of a finite multiplier (it is zero from a shift of 13 on):
# the same operations on finite values, so it makes no form of its own.
BASELINE = "baseline"
COMMON = "common"
EXPONENT_1 = "exponent-1"                        # rank 1: the value feeds on itself
SINE_FACTOR_MINUS_INF = "sine-factor-minus-inf"  # rank 10: log 0, infinite terms
SINE_FACTOR_0 = "sine-factor-0"                  # rank 11: log 1, the sine term vanishes
SPECIAL_RANKS = {1: EXPONENT_1, 10: SINE_FACTOR_MINUS_INF, 11: SINE_FACTOR_0}
LAST_SPECIAL = max(SPECIAL_RANKS)
SMALLEST_GROUP = 3  # fewer workers of a form have no median to compare against
SLOW = 10  # percent below the median of its form that makes a worker slow


def forms_of(test, workers):
    """The form of `test`'s loop that each of `workers` workers runs."""
    forms = [COMMON] * workers
    if test != "Logic Streaming":  # its loop has no input that depends on the rank
        for rank, form in SPECIAL_RANKS.items():
            if rank <= workers:
                forms[rank - 1] = form
    return forms


def mark_slow(runs, slow_pct=SLOW):
    """Sets, for every streaming test of `runs`, whether each worker is
    slow: more than `slow_pct` percent below the median rate of the workers
    that run the same form of the loop in the same run."""
    for run in runs:
        for test in run.tests:
            test.slow = slow_flags(test, slow_pct)


def slow_floors(test, slow_pct):
    """{form: the rate below which a worker of that form is slow}."""
    return {form: median * (1 - slow_pct / 100)
            for form, (median, _) in form_medians(test).items()}


def slow_flags(test, slow_pct, floors=None):
    """Whether each worker of `test` is slow, in rank order."""
    forms = test.forms
    floors = slow_floors(test, slow_pct) if floors is None else floors
    common = floors.get(COMMON)
    slow = ([False] * len(test.rates) if common is None else
            [rate < common for rate in test.rates])
    # The workers of another form are held against their own form's median.
    for i in range(min(len(forms), max(SPECIAL_RANKS))):
        if forms[i] != COMMON:
            floor = floors.get(forms[i])
            slow[i] = floor is not None and test.rates[i] < floor
    return slow


def form_medians(test):
    """{form: (median rate, workers)} of the forms that have a median."""
    forms = test.forms
    groups = {COMMON: list(test.rates)}
    special = [(rank, form) for rank, form in SPECIAL_RANKS.items()
               if rank <= len(forms) and forms[rank - 1] == form]
    for rank, form in sorted(special, reverse=True):
        groups.setdefault(form, []).append(groups[COMMON].pop(rank - 1))
    return {form: (statistics.median(rates), len(rates)) for form, rates in groups.items()
            if len(rates) >= SMALLEST_GROUP and not any(map(math.isnan, rates))}


def special_indexes(test):
    """The indexes (rank - 1) of the workers of `test` that run another form."""
    return (set() if test.name == "Logic Streaming" else
            {rank - 1 for rank in SPECIAL_RANKS if rank <= len(test.rates)})


def host_medians(test):
    """{host: median rate of its workers of the common form}. A host's
    workers follow each other in rank order, so each stretch of one host is
    a slice; only the first ranks can run another form."""
    special = special_indexes(test)
    rates = {}
    for host, start, end in test.stretches:
        mine = rates.setdefault(host, [])
        if start < LAST_SPECIAL and special:
            mine.extend(test.rates[i] for i in range(start, end) if i not in special)
        else:
            mine.extend(test.rates[start:end])
    return {host: median(values) for host, values in rates.items() if values}


def median(values):
    """The median, NaN where a value is NaN (no order to take one in)."""
    ordered = sorted(values)
    if not ordered:
        raise statistics.StatisticsError("no median for empty data")
    if any(map(math.isnan, ordered)):
        return math.nan
    middle = len(ordered) // 2
    return ordered[middle] if len(ordered) % 2 else (ordered[middle - 1] + ordered[middle]) / 2
