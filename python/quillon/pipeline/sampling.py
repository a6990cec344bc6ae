"""Which pictures of an input the main job analyses when it samples them
(--every, --step, --keyframes), and how many that makes."""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Optional


@dataclass(frozen=True)
class Sampling:
    """Pictures number 0, `step`, 2 `step`, ... of each input (`step`); the
    picture shown at each multiple of `every` seconds (`every`); the key
    pictures only (`keyframes`); several of them: the pictures all keep."""

    step: Optional[int] = None
    every: Optional[float] = None
    keyframes: bool = False

    def keeps(self, number: int, pts: float, interval: float, keys: Optional[frozenset]) -> bool:  # type: ignore[type-arg]
        """Whether picture `number`, shown from `pts` for `interval` seconds
        (up to the next one's time), is analysed. The picture shown at t is
        the last one whose time is not after t: the one whose display spans
        a multiple of `every`."""
        if self.step is not None and number % self.step != 0:
            return False
        if self.keyframes and keys is not None and number not in keys:
            return False
        if self.every is not None:
            due = math.ceil(pts / self.every - 1e-9) * self.every  # the first multiple at or after pts
            return due < pts + interval - 1e-9
        return True

    def expected(self, count: Optional[int], fps: Optional[float], keys: Optional[int]) -> Optional[int]:
        """How many of an input's `count` pictures are analysed, when known:
        exact for --step and --keyframes alone, from the frame rate for
        --every alone; None for several at once."""
        if count is None or sum((self.step is not None, self.every is not None, self.keyframes)) != 1:
            return None
        if self.keyframes:
            return keys
        if self.step is not None:
            return math.ceil(count / self.step)
        if fps:
            return min(count, math.floor((count - 1) / fps / (self.every or 1.0)) + 1)
        return None


def of(args: Any) -> Optional[Sampling]:
    """The sampling the command line asks for, None for every picture."""
    if args.every is None and args.step is None and not args.keyframes:
        return None
    return Sampling(args.step, args.every, args.keyframes)
