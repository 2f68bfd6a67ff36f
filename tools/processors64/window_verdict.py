"""The step after a window: once every job of a window has ended, the
window judged against the earlier ones beside it, its verdict printed and
written whole with its drain list and page, BASE.verdict.txt,
BASE.drain.sh and BASE.html. The list is never applied: draining nodes
needs Slurm's administrator. The batch job's --verdict (processors64-run)
writes beside the window's first results file; a sweep beside its
manifest."""

import sys

from . import atomic, console, drain, exits, forms, history, page, verdict
from .reading import InputError


def after_window(directory, base, window_id, status, slow=forms.SLOW, drop=history.DROP):
    """Judges the window `window_id` of `directory` (the newest where it has
    none of that id) and writes its verdict, drain list and page at `base`.
    `status` is the window's own exit status: a window whose jobs failed
    keeps it, else the status is the verdict's."""
    loaded = console.load([directory], workers=False, slow_pct=slow)
    judgement = verdict.judged(loaded, slow, drop, window_id)
    judged = exits.UNREADABLE if loaded.failed else judgement.status
    text = verdict.verdict_text(judgement, slow, drop)
    script, steps = drain.script(judgement, *drain.states())
    sys.stdout.write(text)
    sys.stdout.flush()
    files = {".verdict.txt": text, ".drain.sh": script}
    try:
        if judgement.window is not None:
            files[page.SUFFIX] = page.render_anywhere(judgement, judged, slow, drop,
                                                      (script, steps.warnings), text)
    except InputError as error:
        console.warn(f"no page beside the verdict: {error}")
    for suffix, content in files.items():
        try:
            atomic.write(base + suffix, content)
        except OSError as error:
            console.error(f"cannot write the verdict: {error.strerror or error}", base + suffix)
            return status or exits.UNREADABLE
    return status or judged
