"""The results file's name: the master names it after the time zone, its
local date and time (the C library's asctime text, line feed and all) and
its host. Building a name, reading one, and the Unix time it stands for
live here and nowhere else.

    results_processors_lite_mac_clusters @ CET time Tue Apr 21 14:05:09 2020
     @ node1.txt
"""

import calendar
import re
import time
from dataclasses import dataclass
from datetime import datetime
from typing import Optional

PATTERN = re.compile(
    r"results_processors_lite_mac_clusters @ (?P<zone>\S+) time "
    r"(?P<when>[A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3]\d \d\d:\d\d:\d\d \d{4})\n @ (?P<host>.*)\.txt\Z")
ASCTIME = "%a %b %d %H:%M:%S %Y"

# Zone abbreviations that mean one zone only, in hours east of UTC. The
# machine's own zone is looked up before these; ambiguous ones (CST, IST,
# BST, AST ...) are left out rather than guessed.
ZONES = {
    "WET": 0, "WEST": 1, "CET": 1, "CEST": 2, "MET": 1, "MEST": 2, "EET": 2, "EEST": 3,
    "MSK": 3, "EST": -5, "EDT": -4, "MST": -7, "MDT": -6, "PST": -8, "PDT": -7,
    "AKST": -9, "AKDT": -8, "HST": -10, "NST": -3.5, "NDT": -2.5, "JST": 9, "KST": 9,
    "HKT": 8, "SGT": 8, "PHT": 8, "WIB": 7, "AEST": 10, "AEDT": 11, "ACST": 9.5,
    "ACDT": 10.5, "AWST": 8, "NZST": 12, "NZDT": 13, "SAST": 2, "CAT": 2, "EAT": 3,
    "WAT": 1, "PKT": 5, "UTC": 0, "GMT": 0,
}
NUMERIC_ZONE = re.compile(r"([+-])(\d\d)(\d\d)?\Z")  # "+03", "-0330", as tzdata writes some


@dataclass(frozen=True)
class Name:
    """What a results file's name says: the zone's abbreviation, the local
    date and time (None where the text is no date), the master's host."""
    zone: str
    when: Optional[datetime]
    host: str

    def seconds(self):
        """The Unix time of the name, or None where its zone is not one
        this tool knows (or the name holds no date)."""
        offset = zone_offset(self.zone)
        if self.when is None or offset is None:
            return None
        return calendar.timegm(self.when.timetuple()) - offset


def parse(name):
    """The Name of a results file's base name, or None where it is not one."""
    found = PATTERN.match(name)
    if not found:
        return None
    try:
        when = datetime.strptime(" ".join(found.group("when").split()), ASCTIME)
    except ValueError:
        when = None
    return Name(found.group("zone"), when, found.group("host"))


def build(when, host, zone="UTC"):
    """The name the master gives its file at local time `when` (a datetime)."""
    return (f"results_processors_lite_mac_clusters @ {zone} time "
            f"{when:%a %b} {when.day:2d} {when:%H:%M:%S %Y}\n @ {host}.txt")


def zone_offset(zone):
    """Seconds east of UTC of a zone abbreviation from a file name, or None."""
    if zone in ("UTC", "GMT"):
        return 0
    if zone == time.tzname[0]:
        return -time.timezone
    if time.daylight and zone == time.tzname[1]:
        return -time.altzone
    numeric = NUMERIC_ZONE.match(zone or "")
    if numeric:
        sign = -1 if numeric.group(1) == "-" else 1
        return sign * (int(numeric.group(2)) * 3600 + int(numeric.group(3) or 0) * 60)
    hours = ZONES.get(zone)
    return None if hours is None else round(hours * 3600)
