"""What a source names, opened as its items: container files and URLs,
folders of photos and single photos."""
from __future__ import annotations

import os
from typing import Any, Dict, List, Optional, Sequence, Union

from .container import _Container, _turned_upright
from .kinds import is_jpeg, is_url, photo_entries
from .live import live_options
from .part import Source, _Part
from .photos import _Photos


def open_parts(source: Source, autorotate: bool = True, timeout: float = 10.0,
               options: Optional[Dict[str, Any]] = None) -> List[_Part]:
    """The items `source` names opened: a container (file or URL), a folder
    of photos, a photo; each closed again if a later one fails."""
    items: Sequence[Union[str, "os.PathLike[str]"]]
    if isinstance(source, (str, os.PathLike)):
        items = [source]
    elif isinstance(source, (list, tuple)):
        items = source
        if not items:
            raise ValueError("the list of sources is empty")
    else:
        raise TypeError(f"source must be a path, a URL or a list of these, not {type(source).__name__}")
    parts: List[_Part] = []
    try:
        for item in items:
            if not isinstance(item, (str, os.PathLike)):
                raise TypeError(f"a source must be a path or a URL, not {type(item).__name__}")
            name = os.fspath(item)
            if is_url(name):
                container = _Container(name, timeout, live_options(name, options))
                parts.append(container)
                _turned_upright(container, autorotate)
            elif os.path.isdir(name):
                photos = photo_entries(name)
                if not photos:
                    raise FileNotFoundError(2, f"no picture files in the folder {name}")
                parts.append(_Photos(name, photos))
            elif not os.path.exists(name):
                raise FileNotFoundError(2, f"cannot open {name}: no such file")
            elif is_jpeg(name):
                parts.append(_Photos(name, [name]))
            else:
                container = _Container(name)
                parts.append(container)
                _turned_upright(container, autorotate)
    except BaseException:
        for part in parts:
            part.close()
        raise
    return parts
