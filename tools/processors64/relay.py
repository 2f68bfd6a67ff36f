"""The signals of a recorded run: INT, TERM and HUP passed on to every
launcher the run started, the first of them noted so that no job starts
after it, and the handlers of before brought back at the end."""

import signal
import subprocess

PASSED_ON = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def default_quit():
    """A shell starts a background job with INT and QUIT ignored, and the
    launcher would keep ignoring QUIT: it gets its default back, as it would
    started by hand (INT, TERM and HUP are caught here, so they come back to
    their defaults at exec; they are blocked while a launcher starts, so
    they are unblocked in it)."""
    signal.signal(signal.SIGQUIT, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, PASSED_ON)


class Launched:
    """The launchers this run started (a window's run side by side), and
    the first of INT, TERM, HUP that came: each is passed on to every
    launcher still running. A context: the handlers this process had before
    come back at its end, once the window's jobs have ended."""

    def __init__(self):
        self.children = []
        self.signal = None
        self.previous = {}

    def __enter__(self):
        for number in PASSED_ON:
            self.previous[number] = signal.signal(number, self.pass_on)
        return self

    def __exit__(self, *exception):
        for number, handler in self.previous.items():
            signal.signal(number, signal.SIG_DFL if handler is None else handler)
        return False

    def pass_on(self, number, frame):
        self.signal = self.signal or number
        for child in self.children:
            if child.poll() is None:
                try:
                    child.send_signal(number)
                except OSError:
                    pass

    def start(self, command, **options):
        """Starts `command` (subprocess.Popen's options); raises OSError.
        INT, TERM and HUP wait while it starts, so that each reaches it once:
        one that came before it started (with no launcher to pass it to yet)
        is passed on to it here, one that came meanwhile by pass_on."""
        blocked = signal.pthread_sigmask(signal.SIG_BLOCK, PASSED_ON)
        try:
            missed = self.signal
            child = subprocess.Popen(command, preexec_fn=default_quit, **options)
            self.children.append(child)
            if missed is not None:
                child.send_signal(missed)
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
        return child
