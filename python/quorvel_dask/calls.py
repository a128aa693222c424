"""Calls from the client to the shards' actors.

A call is the message that Dask's own Actor handle sends (the worker's
`actor_execute` operation), sent straight to the actor's worker over the
client's pool of connections. Handles would pass each call through the
client's event loop twice and, by default, through the scheduler; here the
calls of one request go out together in one pass and the answers are
awaited together. A worker that cannot be reached, or that no longer holds
the actor, makes an outcome of its own rather than an exception, so that
the caller can name every shard that is unavailable.
"""

import asyncio

from distributed.protocol import to_serialize

from .envelope import Envelope

# The states of an actor's future once its worker has gone.
GONE = ("error", "lost", "cancelled")


class Outcome:
    """What one call came to: `value` when it returned, `error` (the
    exception the method raised) when it raised, `unavailable` (the
    exception of the transport, or None) when the actor could not be
    reached."""

    __slots__ = ("value", "error", "unavailable")

    def __init__(self, value=None, error=None, unavailable=None):
        self.value = value
        self.error = error
        self.unavailable = unavailable

    @property
    def reached(self):
        return self.unavailable is None


class Unreachable(Exception):
    """The cause attached to a call whose actor was known to be gone."""


async def call_actor(client, address, key, method, args):
    """Runs `method(*args)` of the actor `key` on the worker at `address`
    (through the actor's `call`, which takes and returns an Envelope)."""
    try:
        response = await client.rpc(address).actor_execute(
            function="call", actor=key, args=[to_serialize(Envelope((method, args)))], kwargs={})
    except (OSError, KeyError) as cause:  # KeyError: the worker holds no such actor
        return Outcome(unavailable=cause)
    if response["status"] == "OK":
        return Outcome(value=response["result"].contents)
    return Outcome(error=response["exception"])


def call_all(client, calls):
    """Runs every (future, address, method, args) call at once and returns
    their outcomes in the same order. An actor whose future says its worker
    has gone is not called."""
    async def run():
        pending = []
        for future, address, method, args in calls:
            if future.status in GONE:
                pending.append(_known_gone(future.status))
            else:
                pending.append(call_actor(client, address, future.key, method, args))
        return await asyncio.gather(*pending)
    return client.sync(run)


async def _known_gone(status):
    return Outcome(unavailable=Unreachable(f"the actor's future is {status}"))
