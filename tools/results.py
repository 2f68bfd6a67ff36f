#!/usr/bin/env python3
"""Reads the benchmark's results files (and console logs saved from a run):
summary, export, compare, history, plot, verdict and html. `results.py
--help` says how; the code lives in the package processors64/ beside this
script (its directory is the first place Python looks), one module a job."""

import sys

from processors64.cli import main

if __name__ == "__main__":
    sys.exit(main())
