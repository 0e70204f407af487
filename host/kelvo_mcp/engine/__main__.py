import sys

from kelvo_mcp.engine.http_api import main

sys.exit(main())
