"""What processors64-run says on standard error: each message one line,
the command's name first."""

import sys

PROGRAM = "processors64-run"


def say(message):
    print(f"{PROGRAM}: {message}", file=sys.stderr, flush=True)


def shown(text):
    """`text` on one line of a terminal: each line feed as \\n."""
    return text.replace("\n", "\\n")
