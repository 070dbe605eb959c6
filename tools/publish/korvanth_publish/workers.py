"""The pool of worker processes that `build` packs files with and makes
deltas with, and what both do when it ends: on any failure the progress
line is left and the workers are stopped; in every case they are joined."""

import multiprocessing

from .common import Failure

POLL_SECONDS = 0.2  # how often the progress line is redrawn while workers run


class WorkerPool:
    """`with WorkerPool(jobs, progress) as pool:` runs the body with a
    multiprocessing pool. A worker that dies (killed, or out of memory) is
    replaced by the pool, but the task it held never answers: call check()
    while waiting, so the build fails instead of waiting for ever."""

    def __init__(self, jobs, progress, initializer=None, initargs=()):
        self.progress = progress
        self.pool = multiprocessing.Pool(jobs, initializer=initializer, initargs=initargs)
        self.pids = self.worker_pids()

    def worker_pids(self):
        return {p.pid for p in self.pool._pool}

    def check(self):
        if self.worker_pids() != self.pids:
            raise Failure("a worker process ended before its task did (killed, or out of "
                          "memory? try fewer --jobs); nothing was published")

    def __enter__(self):
        return self

    def __exit__(self, kind, error, trace):
        try:
            if kind is None:
                self.pool.close()
            else:
                self.progress.abandon()
                self.pool.terminate()
        finally:
            self.pool.join()
        return False
