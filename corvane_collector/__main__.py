"""``python3.10 -m corvane_collector``: see corvane_collector.host.cli."""

import sys

from corvane_collector.host.cli import main

if __name__ == "__main__":
    sys.exit(main())
