"""A status line on stderr for long runs, shown only on a terminal."""

from __future__ import annotations

import shutil
import sys
import time
from types import TracebackType
from typing import TextIO

_CLEAR = "\r\x1b[K"


class StatusLine:
    """Rewrites one line in place. When the stream is not a terminal every
    call is a no-op, so logs and pipes never see status output."""

    def __init__(self, stream: TextIO | None = None, interval: float = 0.1) -> None:
        self._stream = stream if stream is not None else sys.stderr
        try:
            self._enabled = self._stream.isatty()
        except (AttributeError, ValueError, OSError):
            self._enabled = False
        self._interval = interval
        self._last = 0.0
        self._shown = False

    @property
    def enabled(self) -> bool:
        return self._enabled

    def update(self, text: str, force: bool = False) -> None:
        """Shows `text`; calls closer together than the interval are dropped
        unless `force` is set."""
        if not self._enabled:
            return
        now = time.monotonic()
        if not force and self._shown and now - self._last < self._interval:
            return
        self._last = now
        width = max(shutil.get_terminal_size().columns - 1, 10)
        self._write(_CLEAR + text[:width])
        self._shown = True

    def clear(self) -> None:
        if self._shown:
            self._write(_CLEAR)
            self._shown = False

    def _write(self, text: str) -> None:
        try:
            self._stream.write(text)
            self._stream.flush()
        except (OSError, ValueError):
            self._enabled = False

    def __enter__(self) -> StatusLine:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.clear()
