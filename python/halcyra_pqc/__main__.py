"""`python -m halcyra_pqc`: the halcyra-pqc command-line tool."""

import sys

from ._cli.main import main

sys.exit(main())
