"""A map that stays bounded: at most `size` entries, least recently used
first out, and entries not used for `idle_seconds` dropped when the map is
next touched. The host keeps its scopes and agent records in two of these,
keyed by what the protocol gives publicly (the credential's principal, the
session header, a client-sent id), so no client can grow the process."""

from __future__ import annotations

import threading
import time
from collections import OrderedDict
from collections.abc import Callable, Iterator
from typing import Generic, TypeVar

K = TypeVar("K")
V = TypeVar("V")


class Bounded(Generic[K, V]):
    """An LRU map with idle eviction; `on_evict(key, value)` hears of every
    entry dropped (by size, idleness or `discard`). Thread-safe: calls and
    rescans reach it from worker threads as well as the event loop."""

    def __init__(self, size: int, idle_seconds: float, *, clock: Callable[[], float] = time.monotonic,
                 on_evict: Callable[[K, V], None] | None = None) -> None:
        if size < 1 or not idle_seconds > 0:
            raise ValueError("a bounded map needs a size of at least 1 and an idle time above 0")
        self.size, self.idle_seconds, self.clock, self.on_evict = size, idle_seconds, clock, on_evict
        self._items: OrderedDict[K, tuple[V, float]] = OrderedDict()
        self._lock = threading.Lock()
        self.evicted = 0

    def get(self, key: K) -> V | None:
        """The entry, marked as used now; None when absent (or just gone idle)."""
        now = self.clock()
        with self._lock:
            dropped = self._expire(now)
            found = self._items.pop(key, None)
            if found is not None:
                self._items[key] = (found[0], now)
                self._used(key)
        self._tell(dropped)
        return found[0] if found is not None else None

    def put(self, key: K, value: V) -> None:
        now = self.clock()
        with self._lock:
            dropped = self._expire(now)
            self._items.pop(key, None)
            self._items[key] = (value, now)
            while len(self._items) > self.size:
                dropped.append(self._drop(next(iter(self._items))))
        self._tell(dropped)

    def discard(self, key: K) -> None:
        with self._lock:
            dropped = [self._drop(key)] if key in self._items else []
        self._tell(dropped)

    def sweep(self) -> None:
        """Drop what has gone idle, without touching anything else."""
        with self._lock:
            dropped = self._expire(self.clock())
        self._tell(dropped)

    def items(self) -> Iterator[tuple[K, V]]:
        with self._lock:
            return iter([(k, v) for k, (v, _) in self._items.items()])

    def values(self) -> Iterator[V]:
        return (v for _, v in self.items())

    def __len__(self) -> int:
        return len(self._items)

    def _used(self, key: K) -> None:
        """`key` was just read (under the lock): for maps that keep an order of their own."""

    def _drop(self, key: K) -> tuple[K, V]:
        value, _ = self._items.pop(key)
        return key, value

    def _expire(self, now: float) -> list[tuple[K, V]]:
        dropped = []
        # Oldest use first: the scan stops at the first entry still in use.
        while self._items:
            key, (_, used) = next(iter(self._items.items()))
            if now - used < self.idle_seconds:
                break
            dropped.append(self._drop(key))
        return dropped

    def _tell(self, dropped: list[tuple[K, V]]) -> None:
        # Outside the lock: the listener may take locks of its own.
        self.evicted += len(dropped)
        if self.on_evict is not None:
            for key, value in dropped:
                self.on_evict(key, value)
