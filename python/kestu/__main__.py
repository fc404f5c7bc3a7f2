"""``python -m kestu``: see :mod:`kestu.cli`."""

import sys

from .cli import main

sys.exit(main())
