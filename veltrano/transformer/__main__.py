"""`python -m veltrano.transformer`: see cli.py."""

import sys

from veltrano.transformer.cli import main

sys.exit(main())
