"""How many lanes a run has, and on which dies: one a die, or more where
the tasks share out better between a few more lanes taking turns."""
from __future__ import annotations

import os
from typing import List, Optional, Sequence

from .scheduling import Policy
from .sources import Task


def lanes(tasks: Sequence[Task], devices: Sequence[int], processors: Optional[int] = None,
          policy: Optional[Policy] = None) -> List[int]:
    """The die of each lane that takes tasks: one a die, and more when the
    tasks cannot be shared evenly between the dies in stretches of
    neighbouring ones but can between a few more lanes taking turns (see
    `Scheduler._take_turns`): a clip with three random-access points for
    two dies runs as three lanes, the third on the first die, instead of
    one die decoding the last third alone. At most two lanes a die, and
    none more with fewer processors than dies."""
    dies = list(devices)
    usable = len(os.sched_getaffinity(0)) if processors is None else processors
    if len(dies) < 2 or usable < len(dies) or len(tasks) <= len(dies):
        return dies
    sizes = [max(1, task.pictures or 1) for task in tasks]  # a task of unknown length counts as one picture
    fair = (policy or Policy()).balanced * sum(sizes) / len(dies)
    for count in range(len(dies), min(len(tasks), 2 * len(dies)) + 1):
        if _longest_stretch(sizes, count) <= fair:
            return [dies[lane % len(dies)] for lane in range(count)]
    return dies


def _longest_stretch(sizes: Sequence[int], count: int) -> int:
    """The least the longest of `count` stretches of neighbouring `sizes` can hold."""
    low, high = max(sizes), sum(sizes)
    while low < high:
        limit = (low + high) // 2
        stretches, held = 1, 0
        for size in sizes:
            if held + size > limit:
                stretches, held = stretches + 1, 0
            held += size
        if stretches <= count:
            high = limit
        else:
            low = limit + 1
    return low
