"""Stand-in for the host's runtime module: the error a tool handler raises
when the agent's arguments are unusable."""


class ToolInputError(Exception):
    """The agent called a tool with arguments it cannot accept."""
