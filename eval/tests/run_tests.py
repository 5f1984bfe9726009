#!/usr/bin/python3
"""Runs the OCR evaluation's unit tests (no Tesseract needed).

Exits 0 when they pass, 1 when one fails, and 77 (a skip for CTest) when
Debian's python3-numpy or python3-pil is missing.
"""

import sys
sys.dont_write_bytecode = True  # keep the source tree free of __pycache__

import os
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    """Runs every test_*.py beside this file; returns the exit code."""
    try:
        import numpy  # noqa: F401
        import PIL  # noqa: F401
    except ImportError as missing:
        print(f"skipped: {missing.name} is missing; install python3-numpy and python3-pil")
        return 77
    sys.path.insert(0, os.path.dirname(HERE))
    suite = unittest.defaultTestLoader.discover(HERE, pattern="test_*.py", top_level_dir=HERE)
    result = unittest.TextTestRunner(verbosity=1).run(suite)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
