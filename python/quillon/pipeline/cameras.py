"""The cameras of a live run: from live URLs on the command line, or from a
cameras file (TOML, `[[camera]]` tables), each with a name that is safe as
a folder name, its URL, libavformat options, how many pictures it skips and
its model."""
from __future__ import annotations

import os
import pathlib
import re
import stat
import sys
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Sequence, Set

from .errors import UserError

SAFE_NAME = re.compile(r"^[A-Za-z0-9][A-Za-z0-9._-]{0,63}$")
KEYS = {"name", "url", "options", "every", "model"}


@dataclass
class Camera:
    name: str                      # its folder under OUT/live/, and its label in progress and metrics
    url: str
    options: Dict[str, Any] = field(default_factory=dict)
    every: int = 1                 # every n-th picture is analysed
    model: Optional[pathlib.Path] = None  # None: the run's model

    @property
    def shown(self) -> str:
        """The URL with its password as ***."""
        from quillon.media.kinds import without_password

        return without_password(self.url)


def is_live_url(text: str) -> bool:
    from quillon.media.live import LIVE_SCHEMES

    return text.lower().startswith(LIVE_SCHEMES)


def name_from_url(url: str) -> str:
    """A folder name for a camera given by its URL alone: its host and path,
    without credentials, scheme or characters a file name should not hold."""
    rest = url.split("://", 1)[-1]
    authority, _, path = rest.partition("/")
    host = authority.rsplit("@", 1)[-1]
    text = re.sub(r"[^A-Za-z0-9._-]+", "_", f"{host}_{path.split('?')[0]}").strip("._-")
    return text[:64] or "camera"


def from_urls(urls: Sequence[str]) -> List[Camera]:
    """Cameras for URLs named on the command line; a name given twice gets a number."""
    cameras: List[Camera] = []
    taken: Set[str] = set()
    for url in urls:
        base = name = name_from_url(url)
        number = 2
        while name in taken:
            name, number = f"{base}-{number}", number + 1
        taken.add(name)
        cameras.append(Camera(name, url))
    return cameras


def read_file(path: pathlib.Path) -> List[Camera]:
    """The cameras of a cameras file; UserError naming the file and the
    table for what is wrong. A file holding passwords that other users may
    read gets a warning naming it and its mode."""
    import tomllib

    try:
        with open(path, "rb") as file:
            status = os.fstat(file.fileno())
            data = tomllib.load(file)
    except FileNotFoundError:
        raise UserError(f"{path}: no such file or folder") from None
    except OSError as error:
        raise UserError(f"{path}: cannot be read ({error.strerror})") from None
    except (tomllib.TOMLDecodeError, UnicodeDecodeError) as error:
        raise UserError(f"{path}: not a TOML file ({error})") from None
    tables = data.get("camera")
    if not isinstance(tables, list) or not tables or not all(isinstance(t, dict) for t in tables):
        raise UserError(f"{path}: it holds no [[camera]] tables")
    cameras: List[Camera] = []
    names: Set[str] = set()
    for number, table in enumerate(tables, 1):
        cameras.append(_camera(path, number, table, names))
    if any(camera.shown != camera.url for camera in cameras):
        _warn_if_readable(path, status.st_mode)
    return cameras


def _camera(path: pathlib.Path, number: int, table: Dict[str, Any], names: Set[str]) -> Camera:
    where = f"{path}: camera {number}"
    unknown = sorted(set(table) - KEYS)
    if unknown:
        raise UserError(f"{where}: unknown key {unknown[0]!r} (a camera has {', '.join(sorted(KEYS))})")
    url = table.get("url")
    if not isinstance(url, str) or not is_live_url(url):
        raise UserError(f"{where}: url must be a live URL (rtsp://, rtmp://, udp://, srt://, ...)")
    name = table.get("name", name_from_url(url))
    if not isinstance(name, str) or not SAFE_NAME.match(name):
        raise UserError(f"{where}: name must be 1 to 64 letters, digits, '.', '_' or '-', starting with a letter "
                        "or digit")
    if name in names:
        raise UserError(f"{where}: the name {name!r} is taken by an earlier camera")
    names.add(name)
    options = table.get("options", {})
    if not isinstance(options, dict) or not all(
            isinstance(v, (str, int, float)) and not isinstance(v, bool) for v in options.values()):
        raise UserError(f"{where}: options must be a table of strings or numbers")
    every = table.get("every", 1)
    if not isinstance(every, int) or isinstance(every, bool) or every < 1:
        raise UserError(f"{where}: every must be a positive integer")
    model = table.get("model")
    if model is not None and not isinstance(model, str):
        raise UserError(f"{where}: model must be the path of an ONNX file")
    # A model's path is taken from the cameras file's folder, as the file's reader expects.
    found = None if model is None else (path.parent / os.path.expanduser(model))
    return Camera(name, url, dict(options), every, found)


def _warn_if_readable(path: pathlib.Path, mode: int) -> None:
    if mode & (stat.S_IRGRP | stat.S_IROTH):
        print(f"quillon-pipeline: warning: {path} holds camera passwords and other users can read it "
              f"(mode {stat.S_IMODE(mode):04o}): chmod 600 {path}", file=sys.stderr)
