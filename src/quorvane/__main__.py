"""``python -m quorvane``: the command line of :mod:`quorvane.cli`."""

import sys

from quorvane.cli import program

if __name__ == "__main__":
    sys.exit(program(prog="python -m quorvane"))
