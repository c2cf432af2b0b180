"""Entry for `python -m keldascope.cli`, the same program as the console command `malven`."""
import sys

from keldascope.cli.main import main

sys.exit(main())
