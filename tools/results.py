#!/usr/bin/env python3
"""Reads the benchmark's results files (and console logs saved from a run):
summary, export, compare and plot. `results.py --help` says how; the code
lives in processors64_results/, one module a job."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.realpath(__file__)))
from processors64_results.cli import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main())
