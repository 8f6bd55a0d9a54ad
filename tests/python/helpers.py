"""Shared helpers for the end-to-end tests."""

import json
import os
import subprocess
import sys
import textwrap

import numpy as np


def nan_mask(a):
    return np.isnan(np.asarray(a, dtype=float))


def run_with_threads(code, threads):
    """Runs `code` in a fresh interpreter whose pool has `threads` workers and
    returns what it printed as JSON."""
    env = dict(os.environ, POROSA_THREADS=str(threads))
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True,
                       timeout=120)
    assert r.returncode == 0, r.stderr
    return json.loads(r.stdout)
