"""Writing a file whole: every file this package writes (run records,
verdicts, drain lists, pages, the node exporter's metrics) goes through
write(), so a reader sees the old file or the new one, never a part."""

import os
import tempfile


def write(path, text):
    """Writes `text` (UTF-8) to a temporary file beside `path`, readable by
    all (the node exporter runs as another user), flushed to disk, then
    renamed into place. A failure or an interruption leaves no temporary
    file behind; raises OSError."""
    directory, base = os.path.split(path)
    # The temporary name starts with a dot and ends in .tmp: neither the
    # textfile collector (*.prom) nor a glob of results files takes it.
    handle, temporary = tempfile.mkstemp(dir=directory or ".", prefix=f".{base}.", suffix=".tmp")
    try:
        with os.fdopen(handle, "w", encoding="utf-8", errors="surrogateescape") as f:
            f.write(text)
            f.flush()
            os.fchmod(f.fileno(), 0o644)
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
