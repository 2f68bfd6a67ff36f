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
    their defaults at exec)."""
    signal.signal(signal.SIGQUIT, signal.SIG_DFL)


class Launched:
    """The launchers this run started (a window's run side by side), and
    the first of INT, TERM, HUP that came: each is passed on to every
    launcher still running. A context: the handlers this process had before
    come back at its end, once the window's jobs have ended."""

    def __init__(self):
        self.children = []
        self.signal = None
        self.told = set()      # (pid, signal) passed on: each once
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
            self.tell(child, number)

    def tell(self, child, number):
        if child.poll() is None and (child.pid, number) not in self.told:
            self.told.add((child.pid, number))
            try:
                child.send_signal(number)
            except OSError:
                pass

    def start(self, command, **options):
        """Starts `command` (subprocess.Popen's options); raises OSError. A
        signal that came while it started is passed on to it too."""
        child = subprocess.Popen(command, preexec_fn=default_quit, **options)
        self.children.append(child)
        if self.signal is not None:
            self.tell(child, self.signal)
        return child
