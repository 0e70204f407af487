"""Handlers of the connection and its canvases, and the engine's refusal for every tool it does not serve."""

from __future__ import annotations

import datetime
from typing import Any

from kelvo_mcp.server.connection import Agent, Connection

ANONYMOUS_NOTE = ("this client sends neither a session nor an agent id, so every such client of this principal "
                  "and canvas counts as this one agent")


def status(conn: Connection, tool: str, args: dict[str, Any]) -> dict[str, Any]:
    caps = conn.caps
    # The engine's kind, never its address: a tool result is read by the agent.
    return {"engine": conn.engine.kind, "canvas": conn.engine.canvas, "capabilities": caps.banner(),
            "role": caps.role, "scopes": list(caps.scopes), "profile": conn.profile}


def agent_status(conn: Connection, agent: Agent) -> dict[str, Any]:
    """What kelvo_status adds for the agent that asks: its own view, and what
    it shares with the other agents of its scope. Counts are this server
    process's."""
    with conn.lock:
        mine: dict[str, Any] = {"key": agent.key, "calls": agent.calls}
        at = conn.last_rescan_at
        shared = {"agents": conn.agents, "rescans": conn.rescans,
                  "last_rescan": datetime.datetime.fromtimestamp(at, datetime.UTC).isoformat(timespec="seconds")
                  if at is not None else None,
                  "counted_by": "this server process"}
    if agent.key == "anonymous":
        mine["note"] = ANONYMOUS_NOTE
    return {"agent": mine, "shared": shared}


def canvas_list(conn: Connection, tool: str, args: dict[str, Any]) -> dict[str, Any]:
    return conn.engine.list_canvases()


def canvas_current(conn: Connection, tool: str, args: dict[str, Any]) -> dict[str, Any]:
    return {"canvas": conn.engine.canvas, "canvas_id": f"cv_{conn.engine.canvas}"}


def canvas_use(conn: Connection, tool: str, args: dict[str, Any]) -> dict[str, Any]:
    conn.engine.check_canvas(args["target"])
    return {"canvas_handle": f"cv_{conn.engine.canvas}", "name": conn.engine.canvas}


def unserved(conn: Connection, tool: str, args: dict[str, Any]) -> dict[str, Any]:
    """Every other catalogue tool: the engine's own refusal, which the caller words."""
    conn.engine.refuse(tool.removeprefix("kelvo_"))
    raise AssertionError("unreachable: the engine refuses")


