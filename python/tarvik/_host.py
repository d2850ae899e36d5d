"""What an implementation host (tarvik-host --python-module) needs from the
package besides the registry: an asyncio loop of its own for ``async def``
methods.

The host calls implementations from its own threads, none of which runs an
asyncio loop. An awaitable a method returns is run on one loop, started on
first use on a daemon thread and kept for the life of the process, and the
host waits for it through the concurrent future ``schedule`` returns.
"""

import asyncio
import threading

_lock = threading.Lock()
_loop = None


def _host_loop():
    global _loop
    with _lock:
        if _loop is None:
            loop = asyncio.new_event_loop()
            threading.Thread(target=loop.run_forever, name="tarvik-host asyncio", daemon=True).start()
            _loop = loop
        return _loop


async def _await(awaitable):
    return await awaitable


def schedule(awaitable):
    """Runs ``awaitable`` on the host's loop; a concurrent.futures.Future of
    its result."""
    return asyncio.run_coroutine_threadsafe(_await(awaitable), _host_loop())
