"""``python -m qorin``: the ``qorin`` command."""

import sys

from .cli import main

sys.exit(main())
