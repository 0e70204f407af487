import sys

from kelvo_mcp.server.cli import main

sys.exit(main())
