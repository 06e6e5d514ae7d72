"""``python -m norvane``: the ``norvane`` command line."""

import sys

from norvane.cli import main

sys.exit(main())
