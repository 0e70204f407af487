"""Stand-in for the host's tool catalogue (filled in with the surfaces work)."""
