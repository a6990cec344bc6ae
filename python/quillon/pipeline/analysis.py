"""Analysing one task: decoding it on a die and running the model on each
of its pictures, on the calling thread."""
from __future__ import annotations

import contextlib
import threading
import types
from typing import Any, Callable, Dict, Iterator, Optional, Tuple

from .classify import Classifier
from .errors import DiskError, TaskFailed
from .outputs import Thumbnail, caption, thumbnail
from .sources import Input, Task, display_name, reason


def run_task(task: Task, item: Input, device: int, model: Any, classifier: Classifier,
             sample: Callable[[int], bool], stop: Optional[threading.Event] = None, video: Any = None,
             following: Optional[Callable[[], Any]] = None,
             widen: Optional[Callable[[], bool]] = None,
             threads: Optional[int] = None) -> Iterator[Tuple[Dict[str, Any], Optional[Thumbnail]]]:
    """Decodes one task on `device`, runs `model` (on that die) on every
    picture, and yields (record, thumbnail) in display order. A record has
    `pts` (None when the input has no time stamps), `device` and the
    classifier's fields; the writer adds `file` and `picture`. `sample(n)`
    says whether the task's n-th picture gets a thumbnail (positions count
    from the task's start). `video` is the task's source already open on
    `device` (kept open), or None to open it for the task. `following`: for a
    segment, gives the segments the pass goes on into, and `widen` whether
    it decodes on every processor from there (see Video.segment_frames), and
    `threads` the decoder's threads when it does not (None: the host SDK's).
    Raises TaskFailed
    for what the input holds (a corrupt photo, a segment that fails);
    DiskError and faults of the program go through as they are."""
    import quillon

    # NV12 straight from the card's decoder is what the fusion op reads
    # best; photos and host-decoded pictures of any size come as RGB.
    even = item.width % 2 == 0 and item.height % 2 == 0 and item.width > 0
    format = "nv12" if item.kind != "photo" and item.decoder == "card" and even else "rgb24"
    # Each frame is used at once (thumbnail, then the fusion op as the model
    # is called): the decoder's own picture serves, uncopied.
    options: Dict[str, Any] = {"format": format, "device": device, "copy": False}
    schedule = None
    if task.segment is not None and (following is not None or widen is not None):
        schedule = types.SimpleNamespace(following=following or (lambda: None), widen=widen or (lambda: False),
                                         threads=lambda: threads)

    pictures = 0
    try:
        with contextlib.ExitStack() as stack:
            if video is None:
                video = stack.enter_context(quillon.open(task.source, device=device))
            if task.wanted is not None:
                # Only what the wanted pictures need is decoded.
                frames = video.frames(numbers=task.wanted, segment=task.segment, **options)
            elif task.segment is None:
                frames = video.frames(**options)
            else:
                frames = video.segment_frames(task.segment, schedule, **options)
            sampling = item.sampling if item.kind != "photo" and task.wanted is None else None
            interval = 1.0 / (item.fps or 25.0)
            for seen, frame in enumerate(frames):
                if stop is not None and stop.is_set():
                    break
                # A URL's pictures have no number: its one pass counts them.
                number = seen if frame.number is None else frame.number
                if sampling is not None and not sampling.keeps(number, frame.pts, interval):
                    continue
                tile = Thumbnail(pictures, thumbnail(frame)) if sample(pictures) else None
                # The model runs on this thread, which lets go of the
                # interpreter meanwhile, while the die's decoder works ahead
                # on a thread of its own: with a worker per die, the
                # processors are busy without requests in flight, and each
                # picture costs no hand-over to a stream's thread and back
                # (measured: 4 to 10 % less CPU a picture than 8 in flight).
                fields = classifier.fields(model(frame))
                pictures += 1
                if tile is not None:
                    tile.caption = caption(task.source, frame.pts or 0.0, fields["label"], fields["score"])
                record = {"pts": frame.pts if item.timestamps else None, "device": device, **fields}
                if item.sampling is not None and item.kind != "photo":
                    record["picture"] = number  # the writer's count would number the samples
                if frame.damaged:  # the decoder made up part of the picture
                    record["damaged"] = True
                yield record, tile
    except (quillon.Error, OSError, ValueError) as error:
        if isinstance(error, DiskError):
            raise
        where = item.shown if task.segment is None else f"{item.shown} (pictures from #{task.first_picture})"
        raise TaskFailed(f"{where}: {reason(error)}") from None
    if pictures == 0 and item.kind == "photo":
        raise TaskFailed(f"{display_name(task.source)}: no picture could be decoded")

