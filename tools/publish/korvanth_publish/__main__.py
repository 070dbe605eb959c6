"""python3 -m korvanth_publish: the korvanth-publish command."""

import sys

from .cli import main

sys.exit(main())
