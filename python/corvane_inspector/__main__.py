import sys

from corvane_inspector.service import main

if __name__ == "__main__":
    sys.exit(main())
