#!/usr/bin/env python3
"""Measures Slurm nodes as one window, one batch job per K nodes, each
running scripts/processors64.sbatch with the window's name; `sweep.py
--help` says how. The code lives in processors64/sweep.py beside this
script (its directory is the first place Python looks)."""

import sys

from processors64.sweep import main

if __name__ == "__main__":
    sys.exit(main())
