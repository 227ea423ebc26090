"""``python -m brantle``: the same as the ``brantle`` command (see :mod:`brantle.cli`)."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
