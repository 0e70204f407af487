import sys

from kelvo_mcp.engine.cli import main

sys.exit(main())
