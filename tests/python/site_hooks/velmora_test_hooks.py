"""Test hooks around velmora._native's feature extractor, for the test
process and every Python process it starts (``sitecustomize.py`` beside this
file runs ``install()`` in each of them; conftest puts this folder on
PYTHONPATH).

``VELMORA_TEST_STOP_AFTER="N:SIGINT"`` makes each process send that signal to
the run's main process once it has extracted N images: a run stopped after
some of its images at a known point, without timing anything.
"""

from __future__ import annotations

import os
import signal
from typing import Any

_extracted = 0


def _stopping(extract: Any, count: int, signum: int, pid: int) -> Any:
    def extract_then_maybe_stop(image: Any, kind: str, beta: Any = None) -> Any:
        global _extracted
        result = extract(image, kind, beta)
        _extracted += 1
        if _extracted == count:
            os.kill(pid, signum)
        return result

    return extract_then_maybe_stop


def install() -> None:
    stop = os.environ.get("VELMORA_TEST_STOP_AFTER")
    if not stop:
        return
    from velmora import _native

    # The first process to install the hooks is the run's main process; the
    # processes it starts inherit its pid.
    pid = int(os.environ.setdefault("VELMORA_TEST_STOP_PID", str(os.getpid())))
    count, name = stop.split(":")
    _native.extract_features = _stopping(  # type: ignore[method-assign]
        _native.extract_features, int(count), signal.Signals[name], pid)
