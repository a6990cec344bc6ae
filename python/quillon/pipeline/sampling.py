"""Which pictures of an input the main job analyses when it samples them
(--every, --step, --keyframes), and how many that makes."""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Optional


@dataclass(frozen=True)
class Sampling:
    """The pictures of each input analysed: as `Video.frames(step=, every=,
    keyframes_only=)` gives them where a file's packet index tells them
    before decoding (`Video.sampled_numbers`): the key pictures only
    (`keyframes`) or all, every `step`-th of them, and of those the one
    shown at each `every` seconds from the first; elsewhere, as `keeps`
    says."""

    step: Optional[int] = None
    every: Optional[float] = None
    keyframes: bool = False

    def keeps(self, number: int, pts: float, interval: float) -> bool:
        """Whether picture `number`, shown from `pts` for `interval` seconds
        (up to the next one's time), is analysed, where the pictures wanted
        are not known before decoding (a URL, a raw stream's times): the
        picture shown at each multiple of `every`, the one whose display
        spans it. Key pictures are not known there: all are kept."""
        if self.step is not None and number % self.step != 0:
            return False
        if self.every is not None:
            due = math.ceil(pts / self.every - 1e-9) * self.every  # the first multiple at or after pts
            return due < pts + interval - 1e-9
        return True

    def expected(self, count: Optional[int], fps: Optional[float]) -> Optional[int]:
        """How many of an input's `count` pictures are analysed, when known
        without its packet index: exact for --step alone, from the frame rate
        for --every alone; None otherwise."""
        if count is None or sum((self.step is not None, self.every is not None, self.keyframes)) != 1:
            return None
        if self.step is not None:
            return math.ceil(count / self.step)
        if self.every is not None and fps:
            return min(count, math.floor((count - 1) / fps / self.every) + 1)
        return None


def of(args: Any) -> Optional[Sampling]:
    """The sampling the command line asks for, None for every picture."""
    if args.every is None and args.step is None and not args.keyframes:
        return None
    return Sampling(args.step, args.every, args.keyframes)
