"""`python -m veskit new NAME [--dir PATH]`: see veskit.scaffold."""
import sys

from veskit.scaffold import main

sys.exit(main())
