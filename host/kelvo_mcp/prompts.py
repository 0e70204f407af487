"""Stand-in for the host's prompt texts (filled in with the instructions work)."""
