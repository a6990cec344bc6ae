"""What the main job leaves behind: results.jsonl, written as pictures finish
in display order, and the contact sheet.

Results go to results.partial.jsonl beside the previous run's file, whole
lines only (a write the disk cuts short is cut back to the last whole
line), and replace results.jsonl only when the run ends; an interrupted run
leaves the partial file with every finished picture. Tasks finish out of
order on several dies: a task's lines wait until every earlier task is
written, which bounds the wait by the tasks running at once.
"""
from __future__ import annotations

import contextlib
import json
import os
import pathlib
import struct
import threading
import zlib
from dataclasses import dataclass, field
from typing import Any, Dict, List, NamedTuple, Optional, Sequence, Set, Tuple

import numpy as np
import numpy.typing as npt

from .errors import DiskError
from .sources import Input, display_name

RESULTS, PARTIAL = "results.jsonl", "results.partial.jsonl"
SHEET, SHEET_PARTIAL = "contact_sheet.png", "contact_sheet.partial.png"
SHEET_COLUMNS, SHEET_ROWS = 6, 4
TILE = (240, 136)       # each picture is letterboxed into this
LABEL_HEIGHT = 30       # two lines of text under each tile
BORDER = 2
CELL = (TILE[0] + 2 * BORDER, TILE[1] + 2 * BORDER + LABEL_HEIGHT)
SHEET_SIZE = (SHEET_COLUMNS * CELL[0], SHEET_ROWS * CELL[1])
BACKGROUND = (24, 24, 24)


class ResultsWriter:
    """Writes result lines in task order, each task's lines in display order.
    Lines are written in batches (at 64 KiB, at the end of each task, and
    when the file is closed): one write a picture cost more than the lines."""

    BATCH = 1 << 16

    def __init__(self, folder: pathlib.Path, inputs: Sequence[Input]) -> None:
        self.folder, self.inputs = folder, inputs
        self.path, self.final = folder / PARTIAL, folder / RESULTS
        self.lock = threading.Lock()
        self.head = 0                                  # the first task not finished
        self.waiting: Dict[int, List[Dict[str, Any]]] = {}
        self.finished: set[int] = set()
        self.numbers: Dict[int, int] = {}              # input -> pictures written
        self.damaged: Dict[str, int] = {}              # file -> pictures written with "damaged": true
        self.lines = 0                                 # lines in the file
        self.whole = 0                                 # bytes of whole lines in the file
        self.batch: List[str] = []                     # lines not written yet
        self.batch_bytes = 0
        try:
            self.descriptor: Optional[int] = os.open(self.path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
        except OSError as error:
            raise DiskError(f"{self.path}: cannot be written ({error.strerror})") from None

    def add(self, task: int, input: int, record: Dict[str, Any]) -> None:
        """One picture's result; `record` lacks `picture`, and `pts` when the
        input carries no time stamps."""
        with self.lock:
            record["_input"] = input
            if task == self.head:
                self._format([record])
                if self.batch_bytes >= self.BATCH:
                    self._flush()
            else:
                self.waiting.setdefault(task, []).append(record)

    def task_done(self, task: int) -> None:
        with self.lock:
            self.finished.add(task)
            while self.head in self.finished:
                self.finished.discard(self.head)
                self.head += 1
                self._format(self.waiting.pop(self.head, []))
            self._flush()

    def _format(self, records: List[Dict[str, Any]]) -> None:
        for record in records:
            index = record.pop("_input")
            item = self.inputs[index]
            number = self.numbers.get(index, 0)
            self.numbers[index] = number + 1
            number = record.pop("picture", number)  # a sampled picture says its number
            stamp = record.pop("pts", None)
            if item.kind == "photo":
                pts: float = float(item.position)
            elif not item.timestamps or stamp is None:
                pts = number / (item.fps or 25.0)
            else:
                pts = float(stamp)
            line = {"file": item.shown, "picture": number, "pts": round(pts, 6)}
            line.update(record)
            if record.get("damaged"):
                self.damaged[item.shown] = self.damaged.get(item.shown, 0) + 1
            text = json.dumps(line) + "\n"
            self.batch.append(text)
            self.batch_bytes += len(text)

    def _flush(self) -> None:
        if not self.batch or self.descriptor is None:
            return
        data = memoryview("".join(self.batch).encode())
        written = 0
        try:
            while written < len(data):  # a nearly full disk takes part of a write
                written += os.write(self.descriptor, data[written:])
        except OSError as error:
            with contextlib.suppress(OSError):
                os.ftruncate(self.descriptor, self.whole)
            self._close_file()
            raise DiskError(f"{self.path}: cannot be written ({error.strerror or error}); "
                            f"the previous {RESULTS} is kept") from None
        self.whole += len(data)
        self.lines += len(self.batch)
        self.batch, self.batch_bytes = [], 0

    def _close_file(self) -> None:
        if self.descriptor is not None:
            os.close(self.descriptor)
            self.descriptor = None

    def close(self, flush: bool = True) -> None:
        """Writes the lines not written yet (not when `flush` is false: a run
        that failed) and closes the file."""
        with self.lock:
            try:
                if flush:
                    self._flush()
            finally:
                self._close_file()

    def commit(self) -> pathlib.Path:
        """Flushes the results to the disk and puts them in place of the previous run's."""
        with self.lock:
            if self.descriptor is not None:
                self._flush()
                try:
                    os.fsync(self.descriptor)
                except OSError as error:
                    raise DiskError(f"{self.path}: cannot be written ({error.strerror}); "
                                    f"the previous {RESULTS} is kept") from None
                finally:
                    self._close_file()
            os.replace(self.path, self.final)
        return self.final


@dataclass
class Thumbnail:
    position: float                 # where in the whole run (for even sampling)
    picture: npt.NDArray[np.uint8]  # RGB, letterboxed into TILE
    caption: Tuple[str, str] = ("", "")
    input: int = 0                  # its input's index: the sheet follows the inputs' order


@dataclass
class Sampler:
    """Keeps thumbnails spread evenly over all pictures of the run: the
    pictures nearest to 24 evenly spaced positions of the expected total,
    or, when the total is unknown, every `stride`-th picture with the stride
    doubled whenever too many are kept."""

    total: Optional[int]
    cells: int = SHEET_COLUMNS * SHEET_ROWS
    stride: int = 1
    kept: List[Thumbnail] = field(default_factory=list)
    lock: threading.Lock = field(default_factory=threading.Lock)
    # The contact sheet encoded a row of cells at a time as the run goes, when
    # the total is known: each row once its pictures are all kept.
    sheet: Optional["SheetPng"] = None
    rows_taken: Set[int] = field(default_factory=set)  # the sheet's rows a thread encodes or has encoded

    def wanted(self, position: int) -> bool:
        if self.total and self.total <= self.cells:
            return True  # every picture of a short run has a tile
        if self.total:
            step = self.total / self.cells
            slot = int(position / step)
            return position == int(slot * step + step / 2) or (position == 0 and self.total < 2)
        return position % self.stride == 0

    def keep(self, thumbnail: Thumbnail) -> None:
        """Keeps `thumbnail`; the sheet's rows it completes are encoded
        after the lock is let go, by the thread that completed them."""
        with self.lock:
            self.kept.append(thumbnail)
            if not self.total and len(self.kept) > 2 * self.cells:
                self.stride *= 2
                self.kept = [t for t in self.kept if int(t.position) % self.stride == 0]
            rows = self._complete_rows(self.total / self.cells) \
                if self.sheet is not None and self.total and self.total > self.cells else []
        for row, cells in rows:
            assert self.sheet is not None
            self.sheet.add_row(row, cells)

    def _complete_rows(self, step: float) -> List[Tuple[int, List[Thumbnail]]]:
        """The sheet's rows whose cells are all kept and that no thread has
        taken to encode yet, each cell the picture of its slot of the total
        (what `chosen` gives when every slot has its one picture; the sheet
        checks that at the end); taken here, under the lock. Rows are encoded
        in any order, so each by the lane that showed its last picture: the
        lanes share the work, rather than the one that shows the first rows
        encoding the others' too as its part of the run ends."""
        slots: Dict[int, List[Thumbnail]] = {}
        for kept in self.kept:
            slots.setdefault(int(kept.position / step), []).append(kept)
        complete = []
        for row in range(SHEET_ROWS):
            cells = [slots.get(slot, []) for slot in range(row * SHEET_COLUMNS, (row + 1) * SHEET_COLUMNS)]
            if row not in self.rows_taken and all(len(cell) == 1 for cell in cells):
                self.rows_taken.add(row)
                complete.append((row, [cell[0] for cell in cells]))
        return complete

    def chosen(self) -> List[Thumbnail]:
        # By input first: an input of unknown length (an Annex B stream, a
        # URL) counts as none in the positions of those after it.
        kept = sorted(self.kept, key=lambda t: (t.input, t.position))
        if len(kept) <= self.cells:
            return kept
        step = len(kept) / self.cells
        return [kept[int(i * step + step / 2)] for i in range(self.cells)]


def tile_size(width: int, height: int, even: bool) -> Tuple[int, int]:
    """The size a `width` x `height` picture takes in TILE: scaled to fit,
    aspect ratio kept, never enlarged; `even` rounds both to even numbers
    (an NV12 picture is resized plane by plane)."""
    scale = min(1.0, TILE[0] / width, TILE[1] / height)
    size = [max(1, round(width * scale)), max(1, round(height * scale))]
    if even:
        size = [min(limit, max(2, 2 * round(n / 2))) for n, limit in zip(size, TILE)]
    return size[0], size[1]


def letterboxed(rgb: npt.NDArray[np.uint8]) -> npt.NDArray[np.uint8]:
    """An RGB picture of at most TILE's size, centred in TILE on black."""
    height, width = rgb.shape[:2]
    tile = np.zeros((TILE[1], TILE[0], 3), np.uint8)
    top, left = (TILE[1] - height) // 2, (TILE[0] - width) // 2
    tile[top:top + height, left:left + width] = rgb
    return tile


def thumbnail(frame: Any) -> npt.NDArray[np.uint8]:
    """The frame letterboxed into TILE: scaled and converted to RGB on the
    die, so that only the small picture is copied to the host."""
    return letterboxed(frame.to_numpy("rgb24", tile_size(frame.width, frame.height, frame.format == "nv12")))


def draw_cells(image: Any, thumbnails: Sequence[Thumbnail], first: int, top: int) -> None:
    """Draws `thumbnails` as the sheet's cells from `first` on, into `image`,
    which holds the sheet's rows from `top` down: each picture in a border,
    two lines of caption under it (file and time; class and score)."""
    from PIL import Image, ImageDraw

    draw = ImageDraw.Draw(image)
    for cell, thumbnail in enumerate(thumbnails, first):
        x, y = (cell % SHEET_COLUMNS) * CELL[0], (cell // SHEET_COLUMNS) * CELL[1] - top
        draw.rectangle((x, y, x + CELL[0] - 1, y + TILE[1] + 2 * BORDER - 1), fill=(200, 200, 200))
        image.paste(Image.fromarray(thumbnail.picture), (x + BORDER, y + BORDER))
        for line, text in enumerate(thumbnail.caption):
            draw.text((x + 4, y + TILE[1] + 2 * BORDER + 2 + 13 * line), text[:38], fill=(230, 230, 230))


class SheetPng:
    """The contact sheet as a PNG file, encoded a row of cells at a time, so
    that a run encodes most of it while it goes (Pillow encodes only whole
    pictures). Scanlines take PNG's Up filter, which on these sheets
    compresses as well as Pillow's choice of filter per scanline: the whole
    sheet takes 13 ms where Pillow took 21. Each row stands alone, so that
    rows can be encoded in any order: its first scanline is unfiltered, and
    its deflate blocks end on a byte (a sync flush), so that the file's
    zlib stream is the rows' blocks one after the other."""

    def __init__(self) -> None:
        # Rows are added by the lanes' threads, each row by one (see
        # Sampler.keep), and read at the end, once they have all ended.
        self.encoded: Dict[int, _SheetRow] = {}

    def add_row(self, row: int, thumbnails: Sequence[Thumbnail]) -> None:
        """Encodes row `row` of cells, holding `thumbnails` (up to
        SHEET_COLUMNS; the rest of the row is background)."""
        from PIL import Image

        image = Image.new("RGB", (SHEET_SIZE[0], CELL[1]), BACKGROUND)
        draw_cells(image, thumbnails, row * SHEET_COLUMNS, row * CELL[1])
        lines = np.asarray(image).reshape(CELL[1], SHEET_SIZE[0] * 3)
        filtered = np.empty((CELL[1], 1 + lines.shape[1]), np.uint8)
        filtered[0, 0], filtered[1:, 0] = 0, 2  # None; Up: each byte less the one above it, modulo 256
        filtered[0, 1:] = lines[0]
        np.subtract(lines[1:], lines[:-1], out=filtered[1:, 1:], casting="unsafe")
        raw = filtered.tobytes()
        compressor = zlib.compressobj(3, zlib.DEFLATED, -15)
        self.encoded[row] = _SheetRow(compressor.compress(raw) + compressor.flush(zlib.Z_SYNC_FLUSH),
                                      zlib.adler32(raw), len(raw), list(thumbnails))

    def finish(self, thumbnails: Sequence[Thumbnail]) -> bytes:
        """The whole file for the sheet of `thumbnails`: the rows encoded that
        hold other cells are encoded again."""
        for row in range(SHEET_ROWS):
            mine = thumbnails[row * SHEET_COLUMNS:(row + 1) * SHEET_COLUMNS]
            if row not in self.encoded or not self.encoded[row].holds(mine):
                self.add_row(row, mine)
        rows = [self.encoded[row] for row in range(SHEET_ROWS)]
        adler = 1
        for encoded in rows:
            adler = _adler32_combine(adler, encoded.adler32, encoded.length)
        data = b"".join([zlib.compress(b"", 3)[:2], *(encoded.blocks for encoded in rows),
                         zlib.compressobj(3, zlib.DEFLATED, -15).flush(), struct.pack(">I", adler)])
        header = struct.pack(">IIBBBBB", *SHEET_SIZE, 8, 2, 0, 0, 0)  # 8-bit RGB
        return b"\x89PNG\r\n\x1a\n" + _chunk(b"IHDR", header) + _chunk(b"IDAT", data) + _chunk(b"IEND", b"")


class _SheetRow(NamedTuple):
    """A row of the sheet encoded: its deflate blocks, the Adler-32 and length of its filtered bytes, its cells."""
    blocks: bytes
    adler32: int
    length: int
    cells: List[Thumbnail]

    def holds(self, cells: Sequence[Thumbnail]) -> bool:
        """Whether the row was drawn from these very thumbnails."""
        return len(self.cells) == len(cells) and all(a is b for a, b in zip(self.cells, cells))


def _adler32_combine(first: int, second: int, length: int) -> int:
    """The Adler-32 of two byte strings one after the other, from theirs and
    the second's length (zlib's adler32_combine, which Python does not offer)."""
    base = 65521
    remainder = length % base
    low = (first & 0xFFFF) + (second & 0xFFFF) + base - 1
    high = (remainder * (first & 0xFFFF)) % base + (first >> 16) + (second >> 16) + base - remainder
    return (low % base) | ((high % base) << 16)


def _chunk(kind: bytes, data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def contact_sheet(path: pathlib.Path, thumbnails: Sequence[Thumbnail], sheet: Optional[SheetPng] = None) -> int:
    """Up to 6 x 4 letterboxed pictures with a border and two lines of
    caption each (file and time; class and score). `sheet`: its rows
    encoded so far, each used if it holds its cells of `thumbnails`."""
    chosen = list(thumbnails[: SHEET_COLUMNS * SHEET_ROWS])
    path.write_bytes((sheet or SheetPng()).finish(chosen))
    return len(chosen)


def caption(source: str, pts: float, label: str, score: Optional[float]) -> Tuple[str, str]:
    score_text = "" if score is None else f" {score:.2f}"
    return f"{display_name(source)} {pts:.2f}s", f"{label}{score_text}"


def write_sheet(folder: pathlib.Path, thumbnails: Sequence[Thumbnail],
                sheet: Optional[SheetPng] = None) -> Tuple[pathlib.Path, int]:
    """The contact sheet under its partial name, flushed to the disk; the
    caller renames it over the previous one. `sheet`: its rows encoded so
    far (see contact_sheet)."""
    partial = folder / SHEET_PARTIAL
    try:
        count = contact_sheet(partial, thumbnails, sheet)
        with open(partial, "rb") as written:
            os.fsync(written.fileno())
    except OSError as error:
        partial.unlink(missing_ok=True)
        raise DiskError(f"{partial}: cannot be written ({error.strerror or error}); the previous {SHEET} is kept") \
            from None
    return partial, count

