"""Entry for `python -m malven_cli`, the same program as the console command `malven`."""
import sys

from malven_cli.main import main

sys.exit(main())
