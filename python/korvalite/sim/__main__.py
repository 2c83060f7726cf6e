"""``python -m korvalite.sim``: one simulated camera from the command line (see _cli.py)."""

import sys

from ._cli import main

sys.exit(main())
