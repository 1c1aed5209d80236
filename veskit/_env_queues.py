"""An environment's own `send_queue` and `reply_quene` under the launcher.

A page opened again after a crash knows nothing of the environment: the
module sent its init task once, at construction. `SendQueue.reintroduce`
puts that task ahead of everything queued, so the new page's connection
carries it first, and `ReplyQueue` drops its one reply, so that the caller
waiting in the meantime still receives the reply to its own task. Only text
and binary replies are dropped: the bridge's failure records pass, and cancel
the drop, so a caller always learns of a failure.
"""

from __future__ import annotations

import queue
from typing import Any, Optional


class ReplyQueue(queue.Queue):  # type: ignore[type-arg]
    def __init__(self) -> None:
        super().__init__()
        self.to_drop = 0

    def _put(self, item: Any) -> None:  # called under the queue's mutex
        if self.to_drop and isinstance(item, (str, bytes)):
            self.to_drop -= 1
            return
        self.to_drop = 0
        super()._put(item)


class SendQueue(queue.Queue):  # type: ignore[type-arg]
    def __init__(self, replies: ReplyQueue) -> None:
        super().__init__()
        self.replies = replies
        self.init_task: Optional[str] = None

    def _put(self, item: Any) -> None:
        if self.init_task is None and isinstance(item, str):
            self.init_task = item  # the first task of construction
        super()._put(item)

    def reintroduce(self) -> None:
        """Has the next connection carry the init task first, its reply dropped."""
        if self.init_task is None:
            return
        with self.mutex:
            self.queue.appendleft(self.init_task)
            self.unfinished_tasks += 1
            with self.replies.mutex:
                self.replies.to_drop += 1
            self.not_empty.notify()
