"""Media sources: `quillon.open` turns a file, a folder of photos, a URL or a
list of these into a `Video` whose `frames()` decode on the card and convert
and resize on the die, yielding `Frame` objects that stay in device memory
until `Frame.to_numpy()` asks for a host copy.

    with quillon.open("clip.mp4") as video:
        for frame in video.frames(format="rgb24", size=(224, 224)):
            print(frame.index, frame.pts, frame.to_numpy().shape)

Containers are demuxed by libavformat in the package's native helper
(`quillon._native`); H.264, HEVC and JPEG go to the card's decoder channels,
other codecs are decoded by libavcodec on the host and uploaded.

`len(video)`, `video[i]`, `video.get_batch(numbers)` and
`video.get_batch_at(seconds)` reach pictures by number or time (a `Batch`
is one array of them), and `frames(step=, every=, keyframes_only=)`
samples a pass; both decode only the stretches between random-access
points that hold the pictures wanted. `Frame.number` is a picture's place
in its file.

`Video.segments()` cuts a source at its random-access points into `Segment`
objects that `frames(segment=...)` decodes independently, on any die; put
together in order they give the pictures of one plain pass.

One noun a module: `video` (`open`, `Video`), `frame`, `memory` (device
memory, `PictureBlock`), `convert` (conversion on the die), `channel` (the
card's decoder channels), `part` (what every item of a source gives),
`container` (files and URLs), `indexes` (packet indexes kept between
openings), `segments` (segments and which pictures are theirs), `passes`
(the pass over segments), `numbering` (pictures' numbers from the packet
index), `sampling` (passes over the pictures wanted), `access` (length,
pictures by number or time, `Batch`), `photos`, `kinds` (what a source is)
and `live` (live sources, and cameras opened again when they drop).
"""
from __future__ import annotations

from typing import Dict

from .._native import codec_messages as _codec_messages
from .kinds import PHOTO_SUFFIXES, PICTURE_SUFFIXES, URL_SCHEMES  # noqa: F401 (names of the package)
from .._pictures import DevicePicture
from .memory import FORMATS, PictureBlock
from .frame import Frame
from .access import Batch
from .live import LiveFrame, LiveVideo
from .segments import Schedule, Segment
from .video import Video, open


def codec_messages() -> Dict[str, int]:
    """Counts of the messages libavcodec's decoders gave since the package
    loaded: "errors" (damaged or undecodable data), and among them
    "concealed" (pictures a decoder gave whole with damage concealed); and
    apart "missing_references", HEVC references a decoder did not find: a
    cut or damaged stream's, or those of the pictures a sampling pass or a
    batch leaves out (it gives the decoder the wanted pictures and what
    they predict from, and a picture may name more). A program compares two
    readings to tell what a run met, as the main job's summary does."""
    return dict(_codec_messages())


__all__ = ["codec_messages", "open", "Video", "Frame", "Batch", "LiveVideo", "LiveFrame", "Segment", "Schedule",
           "DevicePicture", "PictureBlock", "FORMATS"]
