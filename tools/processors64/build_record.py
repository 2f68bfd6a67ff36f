"""The build record of a binary: CMake writes "<binary>.build.json" beside
every program it builds (what it was built from and with, the launcher to
start it with, and how many processes its master collects); an install
keeps it in share/processors64/."""

import json
import os
import shutil

from . import schema

SUFFIX = ".build.json"
KEYS = schema.keys("build")
CAP = 512  # the master's cap where a build record does not say (older records)


def path_of(binary):
    """The build record of `binary`: <binary>.build.json beside it, or the
    one an install puts in ../share/processors64/; None where it has none.
    A binary named without a directory is the one on PATH, as the launcher
    finds it; its symbolic links are followed (update-alternatives' links
    /usr/bin/NAME -> /etc/alternatives/NAME -> NAME.flavour)."""
    if "/" not in binary:
        binary = shutil.which(binary) or binary
    while os.path.islink(binary):
        binary = os.path.join(os.path.dirname(binary), os.readlink(binary))
    folder, name = os.path.split(binary)
    for candidate in (os.path.join(folder, name + SUFFIX),
                      os.path.join(folder, "..", "share", "processors64", name + SUFFIX)):
        if os.path.isfile(candidate):
            return candidate
    return None


def of(binary):
    """The build record of `binary` as an object, or None where it has none
    or it is no JSON object."""
    path = path_of(binary)
    if path is None:
        return None
    try:
        with open(path, "rb") as f:
            build = json.loads(f.read().decode("utf-8", "surrogateescape"))
    except (OSError, ValueError):
        return None
    return build if isinstance(build, dict) else None


def cap(build):
    """The most processes the master of a binary with build record `build`
    (or None) collects, itself included."""
    value = (build or {}).get("cap")
    return value if isinstance(value, int) and not isinstance(value, bool) and value > 0 else CAP
