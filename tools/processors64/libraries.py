"""The libraries a sub-command takes from Debian (matplotlib for plot,
Jinja2 for the page), whatever Python runs the tool.

The python3 first on the PATH may be another one (a pyenv interpreter, a
site's module) that lacks Debian's libraries while /usr/bin/python3 has
them: plot then runs itself again under that one, once (need); the page is
rendered by that one in a child (page.render_anywhere); else the tool says
which package to install (missing).
"""

import functools
import importlib
import os
import subprocess
import sys

from .reading import InputError

DEBIAN_PYTHON = "/usr/bin/python3"
NO_REEXEC = "P64_RESULTS_NO_REEXEC"  # set once the tool has re-executed itself


@functools.lru_cache(maxsize=None)
def debian_python_with(module):
    """Debian's python3 where this interpreter is another one and that one
    can import `module`; else None."""
    if os.path.realpath(sys.executable) == os.path.realpath(DEBIAN_PYTHON) or \
            not os.access(DEBIAN_PYTHON, os.X_OK):
        return None
    probe = subprocess.run([DEBIAN_PYTHON, "-c", f"import {module}"], stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return DEBIAN_PYTHON if probe.returncode == 0 else None


def need(module, package, command):
    """`module` imported; where this interpreter lacks it and Debian's
    python3 has it, the tool runs again under that one (this call does not
    return); else an InputError says how to install `package`."""
    try:
        return importlib.import_module(module)
    except ImportError:
        pass
    python = None if os.environ.get(NO_REEXEC) else debian_python_with(module)
    if python is not None:
        sys.stdout.flush()
        os.environ[NO_REEXEC] = "1"
        os.execv(python, [python, os.path.abspath(sys.argv[0])] + sys.argv[1:])
    raise missing(module, package, command)


def missing(module, package, command):
    """The error that says how to install `package`, which has `module`."""
    return InputError(f"{command} needs {module}, which this Python does not have: install it "
                      f"with 'apt-get install {package}' (Debian, Ubuntu) or "
                      f"'python3 -m pip install {module}'")
