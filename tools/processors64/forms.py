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
SMALLEST_GROUP = 3  # fewer workers of a form have no median to compare against


def forms_of(test, workers):
    """The form of `test`'s loop that each of `workers` workers runs."""
    forms = [COMMON] * workers
    if test != "Logic Streaming":  # its loop has no input that depends on the rank
        for rank, form in SPECIAL_RANKS.items():
            if rank <= workers:
                forms[rank - 1] = form
    return forms


def mark_slow(test, slow_pct):
    """Sets each worker's form and whether it is slow."""
    test.forms = forms_of(test.name, len(test.rates))
    floors = {form: median * (1 - slow_pct / 100)
              for form, (median, _) in form_medians(test).items()}
    common = floors.get(COMMON)
    test.slow = ([False] * len(test.rates) if common is None else
                 [rate < common for rate in test.rates])
    # The workers of another form are held against their own form's median.
    for i in range(min(len(test.forms), max(SPECIAL_RANKS))):
        if test.forms[i] != COMMON:
            floor = floors.get(test.forms[i])
            test.slow[i] = floor is not None and test.rates[i] < floor


def form_medians(test):
    """{form: (median rate, workers)} of the forms that have a median."""
    groups = {COMMON: list(test.rates)}
    special = [(rank, form) for rank, form in SPECIAL_RANKS.items()
               if rank <= len(test.forms) and test.forms[rank - 1] == form]
    for rank, form in sorted(special, reverse=True):
        groups.setdefault(form, []).append(groups[COMMON].pop(rank - 1))
    return {form: (statistics.median(rates), len(rates)) for form, rates in groups.items()
            if len(rates) >= SMALLEST_GROUP and not any(map(math.isnan, rates))}


def host_medians(test):
    """{host: median rate of its workers of the common form}."""
    rates = {}
    for host, rate, form in zip(test.hosts, test.rates, test.forms):
        if form == COMMON:
            rates.setdefault(host, []).append(rate)
    return {host: statistics.median(values) for host, values in rates.items()}


