"""--annotate FILE.mp4: the first video input again, with each picture's
label and score drawn on it, encoded on the card's encoder and muxed as
MP4 at the input's frame rate. It is written once the results are complete
(a second decoding pass), under a partial name renamed at the end."""
from __future__ import annotations

import json
import pathlib
from typing import Dict, Sequence

import numpy as np

from .errors import DiskError, UserError
from .sources import Input


# The files quillon.encode writes H.264 into, by extension.
H264_FILES = (".mp4", ".mkv", ".h264", ".264")


def check(path: pathlib.Path, inputs: Sequence[Input]) -> None:
    """What the annotated video needs, checked before the run rather than
    found out after all its work: a video input and a file name
    quillon.encode writes H.264 into."""
    if path.suffix.lower() not in H264_FILES:
        raise UserError(f"{path}: --annotate writes H.264 into {', '.join(H264_FILES)} files, "
                        f"not {path.suffix or 'a name without an extension'}")
    if not any(item.kind in ("video", "url") for item in inputs):
        raise UserError(f"{path}: --annotate needs a video input")


def annotate(path: pathlib.Path, results: pathlib.Path, inputs: Sequence[Input], device: int) -> int:
    """Writes the annotated video; returns its number of pictures."""
    import quillon
    from PIL import Image, ImageDraw

    videos = [item for item in inputs if item.kind in ("video", "url")]
    if not videos:
        raise UserError(f"{path}: --annotate needs a video input")
    item = videos[0]
    captions: Dict[int, str] = {}
    with open(results) as lines:
        for line in lines:
            record = json.loads(line)
            if record["file"] == item.shown:
                score = "" if record.get("score") is None else f" {record['score']:.2f}"
                captions[record["picture"]] = f"{record['label']}{score}"
    # 4:2:0 pictures have even sizes: an odd last row or column is left out.
    width, height = item.width - item.width % 2, item.height - item.height % 2
    partial = path.with_name(path.stem + ".partial" + path.suffix)
    count = 0
    try:
        with quillon.open(item.name, device=device) as video, \
                quillon.encode(partial, width, height, fps=item.fps or 25.0, device=device) as writer:
            for number, frame in enumerate(video.frames(format="rgb24", device=device)):
                picture = Image.fromarray(np.ascontiguousarray(frame.to_numpy()[:height, :width]))
                draw = ImageDraw.Draw(picture)
                text = captions.get(number, "")
                scale = max(1, height // 240)
                draw.rectangle((0, 0, (len(text) * 6 + 8) * scale, 14 * scale), fill=(0, 0, 0))
                if scale == 1:
                    draw.text((4, 2), text, fill=(255, 255, 255))
                else:  # the default font is small: drawn apart and scaled up
                    label = Image.new("RGB", (len(text) * 6 + 8, 14))
                    ImageDraw.Draw(label).text((4, 2), text, fill=(255, 255, 255))
                    picture.paste(label.resize((label.width * scale, label.height * scale)), (0, 0))
                writer.write(np.asarray(picture))
                count += 1
        partial.replace(path)
    except OSError as error:
        partial.unlink(missing_ok=True)
        raise DiskError(f"{path}: cannot be written ({error.strerror or error})") from None
    except ValueError as error:  # what the encoder refuses: a line, as for any bad argument
        partial.unlink(missing_ok=True)
        raise UserError(f"{path}: {error}") from None
    except BaseException:
        partial.unlink(missing_ok=True)
        raise
    return count
