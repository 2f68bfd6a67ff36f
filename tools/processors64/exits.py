"""Exit statuses and what each means, said once. The verdict's statuses
are those of the results tool's verdict and html, of the batch job's
--verdict and of a sweep's; every command exits UNREADABLE (USAGE) on a
file it could not read or a usage error. The help (cli.py) and the page
(page.py) word them from here."""

HEALTHY = 0
FLAGGED = 1
UNREADABLE = 2
USAGE = 2
INCONCLUSIVE = 3

# What the verdict's status tells a script, in words.
MEANING = {HEALTHY: "healthy: every node that could be judged is healthy",
           FLAGGED: "nodes flagged, or a cluster-wide slowdown",
           UNREADABLE: "a file could not be read: what it holds is not judged",
           INCONCLUSIVE: "inconclusive"}
INCONCLUSIVE_WHEN = ("nothing measured, a node not measured, or neither enough peers nor "
                     "enough past to judge any node")


def listed(unreadable=None):
    """The verdict's statuses in one sentence for a help text, 2 worded as
    `unreadable` where a command has more to say of it."""
    words = {HEALTHY: MEANING[HEALTHY], FLAGGED: MEANING[FLAGGED],
             UNREADABLE: unreadable or MEANING[UNREADABLE],
             INCONCLUSIVE: f"{MEANING[INCONCLUSIVE]} ({INCONCLUSIVE_WHEN})"}
    return "; ".join(f"{status} {text}" for status, text in words.items())
