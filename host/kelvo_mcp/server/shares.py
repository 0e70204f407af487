"""Each principal its share of what the server bounds: handshake-era
sessions, agent records and engine slots.

A share is a fraction of a bound (`--principal-share`): the part of it one
principal may hold. Beyond its share a principal's new session is refused
(429 with Retry-After, before the SDK sees the request), its new agent
record evicts its own least recently used one, and its engine calls wait
behind its own earlier calls, never behind another principal's backlog.
Principals are whatever string the credential names (a token file's name,
an issuer and subject); shares separate bounds and caches, not data.

Three pieces, each keyed by the principal:

- `SharedBounded`: the agent records, an LRU map with idle eviction like
  `Bounded`, where a principal at its share loses its own oldest record and,
  when the whole map is full, the principal furthest over its share loses
  its oldest.
- `FairSlots`: the engine slots. Slots are granted to the waiting principal
  served least recently, so a principal's backlog delays another's next call
  by at most one slot's turn; each principal holds at most its share of the
  slots at once, and waits in a queue of its own, bounded (beyond it: `Busy`,
  with a time to retry).
- the sessions are counted apart, in `kelvo_mcp.server.session_ledger`.
"""

from __future__ import annotations

import math
import time
from collections import OrderedDict, deque
from collections.abc import Callable, Hashable
from dataclasses import dataclass, field
from typing import Any

import anyio
import anyio.to_thread

from kelvo_mcp.server.bounded import Bounded

# The share of each bound one principal may hold when the token file names
# more than one principal (a single-user deployment keeps every bound).
SHARED_DEFAULT = 0.25
# Engine calls a principal may have waiting, per slot of its share.
QUEUE_PER_SLOT = 4


def default_share(principals: int) -> float:
    return 1.0 if principals <= 1 else SHARED_DEFAULT


def share_of(bound: int, share: float) -> int:
    """How many of `bound` one principal may hold: at least one."""
    return max(1, math.floor(bound * share + 1e-9))


class SharedBounded[K, V](Bounded[K, V]):
    """An LRU map with idle eviction whose entries each belong to an owner
    (`owner(key)`, the principal); no owner holds more than `cap` entries
    (`share_of(size, share)`), and when the map is full the owner furthest
    over its cap loses its oldest entry. Otherwise a `Bounded`."""

    def __init__(self, size: int, idle_seconds: float, *, share: float = 1.0, owner: Callable[[K], Hashable],
                 clock: Callable[[], float] = time.monotonic,
                 on_evict: Callable[[K, V], None] | None = None) -> None:
        if not 0 < share <= 1:
            raise ValueError("a shared map needs a share in (0, 1]")
        super().__init__(size, idle_seconds, clock=clock, on_evict=on_evict)
        self.cap, self.owner = share_of(size, share), owner
        self._owned: dict[Hashable, OrderedDict[K, None]] = {}  # each owner's keys, least recently used first

    def put(self, key: K, value: V) -> None:
        now = self.clock()
        who = self.owner(key)
        with self._lock:
            dropped = self._expire(now)
            if key in self._items:
                self._drop(key)  # replaced, not evicted
            mine = self._owned.setdefault(who, OrderedDict())
            while len(mine) >= self.cap:  # at its share: its own oldest goes
                dropped.append(self._drop(next(iter(mine))))
            self._items[key] = (value, now)
            mine[key] = None
            while len(self._items) > self.size:
                dropped.append(self._drop(next(iter(self._owned[self._furthest_over()]))))
        self._tell(dropped)

    def held(self, who: Hashable) -> int:
        with self._lock:
            return len(self._owned.get(who, ()))

    def _furthest_over(self) -> Hashable:
        # Ties go to the owner whose oldest entry is oldest (the map's LRU order).
        order: dict[Hashable, int] = {}
        for key in self._items:
            order.setdefault(self.owner(key), len(order))
        return max(self._owned, key=lambda w: (len(self._owned[w]) - self.cap, -order.get(w, math.inf)))

    def _used(self, key: K) -> None:
        self._owned[self.owner(key)].move_to_end(key)

    def _drop(self, key: K) -> tuple[K, V]:
        dropped = super()._drop(key)
        who = self.owner(key)
        mine = self._owned[who]
        del mine[key]
        if not mine:
            del self._owned[who]
        return dropped


class Busy(Exception):
    """A principal's queue of engine calls is full: the call did not run."""

    def __init__(self, waiting: int, retry_seconds: int) -> None:
        super().__init__(waiting, retry_seconds)
        self.waiting, self.retry_seconds = waiting, retry_seconds

    def sentence(self, tool: str) -> str:
        return (f"{tool}: the server is busy with {self.waiting} earlier calls of this principal; this call was "
                f"not run and nothing changed. Try it again in {self.retry_seconds} s.")


@dataclass(eq=False)
class _Waiter:
    granted: bool = False
    event: anyio.Event = field(default_factory=anyio.Event)


class FairSlots:
    """Engine slots granted fairly among principals (see the module
    docstring). `run(principal, fn)` runs `fn` on a worker thread once a slot
    is granted; all of it happens on the event loop but the call itself."""

    def __init__(self, slots: int, share: float = 1.0, *, queue_per_slot: int = QUEUE_PER_SLOT,
                 clock: Callable[[], float] = time.monotonic) -> None:
        self.slots, self.cap = slots, share_of(slots, share)
        self.queue_bound = self.cap * queue_per_slot
        self.free = slots
        self.clock = clock
        self.held: dict[Hashable, int] = {}
        self.queues: dict[Hashable, deque[_Waiter]] = {}
        self._served: dict[Hashable, int] = {}  # the grant number each principal was last served at
        self._grants = 0
        self._threads = anyio.CapacityLimiter(slots)
        self._turn = 0.1  # seconds a slot is held, a moving average, for the time to retry

    async def run(self, principal: Hashable, fn: Callable[[], Any], *, bounded: bool = True) -> Any:
        """`fn()` on a worker thread under a slot of `principal`'s. `bounded`:
        Busy when its queue is full (not for a scope's opening, which other
        requests of it wait for already)."""
        await self.acquire(principal, bounded=bounded)
        started = self.clock()
        try:
            return await anyio.to_thread.run_sync(fn, limiter=self._threads)
        finally:
            self._turn += (self.clock() - started - self._turn) / 8
            self.release(principal)

    async def acquire(self, principal: Hashable, *, bounded: bool = True) -> None:
        queue = self.queues.get(principal)
        # Waiters that may run are granted as soon as a slot frees, so with a
        # slot free none is left: a principal with no queue may go at once.
        if queue is None and self.free and self.held.get(principal, 0) < self.cap:
            self._grant(principal)
            return
        if bounded and queue is not None and len(queue) >= self.queue_bound:
            raise self.busy(principal)
        waiter = _Waiter()
        self.queues.setdefault(principal, deque()).append(waiter)
        self._dispatch()
        try:
            await waiter.event.wait()
        except BaseException:
            if waiter.granted:
                self.release(principal)
            else:
                self._leave(principal, waiter)
            raise

    def release(self, principal: Hashable) -> None:
        self.free += 1
        left = self.held[principal] - 1
        if left:
            self.held[principal] = left
        else:
            del self.held[principal]
        self._dispatch()

    def waiting(self, principal: Hashable) -> int:
        return len(self.queues.get(principal, ()))

    def busy(self, principal: Hashable) -> Busy:
        """The refusal of a call past the principal's queue: when its queue
        will have moved on, from how long a slot is held of late."""
        waiting = self.waiting(principal)
        turns = math.ceil((waiting + self.held.get(principal, 0)) / self.cap)
        return Busy(waiting, max(1, math.ceil(turns * self._turn)))

    def _eligible(self) -> list[Hashable]:
        return [p for p in self.queues if self.held.get(p, 0) < self.cap]

    def _dispatch(self) -> None:
        while self.free:
            ready = self._eligible()
            if not ready:
                return
            who = min(ready, key=lambda p: self._served.get(p, -1))  # served least recently
            waiter = self.queues[who].popleft()
            if not self.queues[who]:
                del self.queues[who]
            self._grant(who)
            waiter.granted = True
            waiter.event.set()

    def _grant(self, principal: Hashable) -> None:
        self.free -= 1
        self.held[principal] = self.held.get(principal, 0) + 1
        self._grants += 1
        self._served[principal] = self._grants
        if len(self._served) > 4 * (len(self.held) + len(self.queues)) + 64:
            # Forget principals long gone: order among those served is all that counts.
            keep = set(self.held) | set(self.queues)
            self._served = {p: n for p, n in self._served.items() if p in keep}

    def _leave(self, principal: Hashable, waiter: _Waiter) -> None:
        queue = self.queues.get(principal)
        if queue is not None and waiter in queue:
            queue.remove(waiter)
            if not queue:
                del self.queues[principal]
