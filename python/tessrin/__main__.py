"""`python -m tessrin`: the same command as the `tessrin` console script."""

import sys

from tessrin.cli import main

sys.exit(main())
