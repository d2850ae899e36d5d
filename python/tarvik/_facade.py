"""The facade for Python hosts: Runvane (asyncio) and SyncRunvane (plain calls).

Both drive the same C++ runtime. An operation runs on the calling thread with
the GIL released while C++ and ONNX Runtime work, and returns at once when no
Python ``async def`` method is involved. When a teacher, controller,
perceptor or network manager method is an ``async def``, the step parks:
``Runvane`` awaits it on the running asyncio loop (other tasks run meanwhile),
``SyncRunvane`` runs a private asyncio loop until the step is done (and
refuses, with RuntimeError, where another loop already runs on the thread).
A step waiting for a remote call parks as well; its answer arrives on another
thread, which wakes the waiting loop (or the blocked ``SyncRunvane``).
"""

import asyncio

from . import _tarvik

_Pending = _tarvik.Pending


async def _finish(pending):
    """Waits for a parked operation. Cancelled, it stops the step, waits for
    the Python calls it cancelled to clean up, and re-raises."""
    future = pending.future(asyncio.get_running_loop())
    try:
        return await future
    except asyncio.CancelledError:
        cancelled = pending.cancel()
        if cancelled:
            await asyncio.wait(cancelled)
        raise


class _LoopHolder:
    """The private asyncio loop of a SyncRunvane, made on first need. Held by
    the C++ runtime, so it must not refer back to the facade."""

    def __init__(self):
        self.loop = None

    def __call__(self):
        running = asyncio._get_running_loop()
        if running is not None and running is not self.loop:
            raise RuntimeError(
                "SyncRunvane cannot run async def methods while an asyncio event loop runs in this "
                "thread; use tarvik.Runvane and await its methods instead")
        if self.loop is None or self.loop.is_closed():
            self.loop = asyncio.new_event_loop()
        return self.loop

    def wait(self, pending):
        """Waits for a parked operation: blocked in C++ while it waits only
        for other threads (a remote call), on the private loop once it
        waits for a Python awaitable."""
        try:
            if pending.block():
                return pending.result()
            loop = self()
            return loop.run_until_complete(pending.future(loop))
        except BaseException:
            cancelled = pending.cancel()
            if cancelled:
                self.loop.run_until_complete(asyncio.wait(cancelled))
            raise

    def close(self):
        loop, self.loop = self.loop, None
        if loop is None or loop.is_closed():
            return
        leftover = asyncio.all_tasks(loop)
        for task in leftover:
            task.cancel()
        if leftover:
            loop.run_until_complete(asyncio.wait(leftover))
        loop.close()


class _Facade:
    @property
    def config(self):
        """The configuration settings (a dict)."""
        return self._runtime.config

    @property
    def network_mgr(self):
        """The network manager; pass it to another runtime to share it."""
        return self._runtime.network_mgr

    @property
    def orchestration(self):
        """The loaded orchestration, or None."""
        return self._runtime.orchestration

    @property
    def agent_processor(self):
        """The packaged top processor, or None."""
        return self._runtime.agent_processor


class Runvane(_Facade):
    """The runtime for asyncio hosts: every operation is a coroutine.

    ``config`` is a settings dict or None (the local transport on the loopback
    host, port 1337); ``network_mgr`` is None (a new asynchronous manager), the
    ``network_mgr`` of another runtime, or an object with ``stop_all()`` and
    ``stop_watchdogs()`` (``stop_all`` may be an ``async def``).
    """

    def __init__(self, config=None, network_mgr=None):
        self._runtime = _tarvik.Runtime(config, network_mgr)

    async def load_orchestration(self, orchestration):
        """Loads an orchestration file (a path) or adopts an Orchestration,
        and initialises it."""
        result = self._runtime.load_orchestration(orchestration)
        if result.__class__ is _Pending:
            await _finish(result)

    async def package(self, orchestration=None, agent=None):
        """Builds the processor tree of ``agent`` (None: the top agent; a name;
        or a node) from ``orchestration`` (None: the loaded one)."""
        result = self._runtime.package(orchestration, agent)
        if result.__class__ is _Pending:
            await _finish(result)

    async def execute(self, obs, sim_action_mask=None, explore=False, previous_action=None):
        """One control step: the readings (a dict of name -> number, list or
        array, or a flat array) to the action."""
        result = self._runtime.execute(obs, sim_action_mask, explore, previous_action)
        if result.__class__ is _Pending:
            return await _finish(result)
        return result

    async def reset(self):
        """Resets the packaged processor tree at the end of an episode."""
        result = self._runtime.reset()
        if result.__class__ is _Pending:
            await _finish(result)

    async def close(self):
        """Stops the network manager's remote managers and its watchdogs."""
        result = self._runtime.close()
        if result.__class__ is _Pending:
            await _finish(result)

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc_info):
        await self.close()


class SyncRunvane(_Facade):
    """The runtime for plain control loops and notebooks: the same operations
    as Runvane, as ordinary calls."""

    def __init__(self, config=None, network_mgr=None):
        self._loops = _LoopHolder()
        self._runtime = _tarvik.Runtime(config, network_mgr, self._loops)

    def load_orchestration(self, orchestration):
        """See Runvane.load_orchestration."""
        result = self._runtime.load_orchestration(orchestration)
        if result.__class__ is _Pending:
            self._loops.wait(result)

    def package(self, orchestration=None, agent=None):
        """See Runvane.package."""
        result = self._runtime.package(orchestration, agent)
        if result.__class__ is _Pending:
            self._loops.wait(result)

    def execute(self, obs, sim_action_mask=None, explore=False, previous_action=None):
        """See Runvane.execute."""
        result = self._runtime.execute(obs, sim_action_mask, explore, previous_action)
        if result.__class__ is _Pending:
            return self._loops.wait(result)
        return result

    def reset(self):
        """See Runvane.reset."""
        result = self._runtime.reset()
        if result.__class__ is _Pending:
            self._loops.wait(result)

    def close(self):
        """See Runvane.close; also closes the private asyncio loop."""
        try:
            result = self._runtime.close()
            if result.__class__ is _Pending:
                self._loops.wait(result)
        finally:
            self._loops.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()
