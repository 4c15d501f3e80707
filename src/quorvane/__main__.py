"""``python -m quorvane``: the command line of :mod:`quorvane.cli`."""

import sys

from quorvane.cli import main

if __name__ == "__main__":
    sys.exit(main(prog="python -m quorvane"))
