"""Live cameras: the main job on N 1080p 25 fps RTSP cameras against the
strong peer, memory over a long run, and the time a camera takes to give a
result line again once it is back.

The cameras are one RTSP server on loopback (tests/python/rtsp_server.py:
moving test pictures, H.264 from x264 with a key picture a second), one
stream served to every client, so that the server encodes once however
many cameras there are. A number of cameras is held when, over a window of
`--seconds` after every camera gave its first result, under 1 % of the
pictures that arrived were dropped (or never read: the pictures the stream
sent in the window, from its time stamps, that were neither analysed nor
dropped) and the latency's p95 (arrival to result) is under 1 s.

The peer: a PyAV reader thread a camera (thread_type "AUTO"), converting
each picture to BGR, and one shared inference thread taking the oldest
waiting picture, dropping it when it waited longer than 2 s (the main
job's --max-latency default), else cv2.resize to the model's size,
cv2.cvtColor to RGB and cv2.dnn on the built-in model.

Printed: the cameras held by each (trying 1, 2, 3, ... until one fails),
the ratio against the target of 1.5; with --soak, the resident memory of
the main job with 4 cameras after 1 and after `--soak-minutes` minutes;
the seconds from a camera's return to its next result line (the slowest
of three returns after 5 s drops).
"""
from __future__ import annotations

import argparse
import collections
import json
import os
import pathlib
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
from typing import Any, Dict, List, Tuple

from harness import BUILD, ROOT, Report, load_average

SERVER = ROOT / "tests" / "python" / "rtsp_server.py"
FPS = 25
ENV = dict(os.environ, PYTHONPATH=f"{BUILD / 'python'}:{ROOT / 'python'}")


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


class Server:
    def __init__(self, size: str) -> None:
        self.port, self.size, self.process = free_port(), size, None
        self.url = f"rtsp://127.0.0.1:{self.port}/cam"

    def start(self) -> "Server":
        self.process = subprocess.Popen([sys.executable, str(SERVER), "--port", str(self.port), "--size", self.size,
                                         "--lifetime", "100000", "--shared", "cam"], stdout=subprocess.PIPE, text=True)
        assert self.process.stdout.readline().strip() == "ready"
        return self

    def stop(self) -> None:
        if self.process is not None:
            self.process.kill()
            self.process.wait()
            self.process = None


def lines(out: pathlib.Path) -> Dict[str, List[Dict[str, Any]]]:
    found: Dict[str, List[Dict[str, Any]]] = {}
    for path in sorted((out / "live").glob("*/*.jsonl")):
        found.setdefault(path.parent.name, []).extend(json.loads(line) for line in path.read_text().splitlines())
    return found


def scrape(port: int) -> Dict[str, float]:
    from prometheus_client.parser import text_string_to_metric_families

    text = urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=10).read().decode()
    return {sample.labels["camera"]: sample.value for family in text_string_to_metric_families(text)
            for sample in family.samples if sample.name == "quillon_camera_dropped_total"}


def until(condition: Any, seconds: float) -> bool:
    end = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > end:
            return False
        time.sleep(0.2)
    return True


def verdict(analysed: int, dropped: int, sent: int, latencies: List[float]) -> Tuple[bool, str]:
    lost = dropped + max(sent - analysed - dropped, 0)
    p95 = statistics.quantiles(latencies, n=20)[-1] if len(latencies) >= 20 else float("inf")
    share = lost / max(sent, 1)
    return share < 0.01 and p95 < 1.0, f"{analysed} analysed, {lost} lost of {sent} ({share:.1%}), p95 {p95:.3f} s"


def main_job(server: Server, cameras: int, seconds: float, cache: pathlib.Path) -> Tuple[bool, str]:
    with tempfile.TemporaryDirectory() as folder:
        out, port = pathlib.Path(folder), free_port()
        run = subprocess.Popen([sys.executable, "-m", "quillon.pipeline", *[server.url] * cameras, "--out", str(out),
                                "--cache", str(cache), "--quiet", "--metrics", str(port)], env=ENV,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            if not until(lambda: len(lines(out)) == cameras, 60):
                return False, "not every camera gave a result within 60 s"
            time.sleep(2.0)  # past the burst a server sends as a client joins
            begin, dropped = time.time(), scrape(port)
            time.sleep(seconds)
            end, dropped_end = time.time(), scrape(port)
        finally:
            run.send_signal(signal.SIGINT)
            run.wait()
        analysed, lost_dropped, sent, latencies = 0, 0, 0, []
        for camera, found in lines(out).items():
            window = [line for line in found if begin <= line["received"] < end]
            analysed += len(window)
            latencies += [line["latency"] for line in window]
            lost_dropped += int(dropped_end.get(camera, 0) - dropped.get(camera, 0))
            sent += round((end - begin) * FPS)
        return verdict(analysed, lost_dropped, sent, latencies)


def peer(server: Server, cameras: int, seconds: float, model: pathlib.Path) -> Tuple[bool, str]:
    import av
    import cv2
    import numpy as np

    net = cv2.dnn.readNetFromONNX(str(model))
    names = net.getUnconnectedOutLayersNames()
    waiting: "collections.deque[Tuple[float, Any]]" = collections.deque()
    ready = threading.Condition()  # guards waiting
    stop = threading.Event()
    counts = {"analysed": 0, "dropped": 0}
    latencies: List[float] = []
    window = [float("inf"), float("inf")]

    def read() -> None:
        with av.open(server.url, options={"rtsp_transport": "tcp"}, timeout=10) as container:
            stream = container.streams.video[0]
            stream.thread_type = "AUTO"
            for frame in container.decode(stream):
                if stop.is_set():
                    return
                picture = frame.to_ndarray(format="bgr24")
                with ready:
                    waiting.append((time.time(), picture))
                    ready.notify()

    def infer() -> None:
        while not stop.is_set():
            with ready:
                while not waiting and not stop.is_set():
                    ready.wait(0.5)
                if stop.is_set():
                    return
                received, picture = waiting.popleft()
            counted = window[0] <= received < window[1]
            if time.time() - received > 2.0:
                counts["dropped"] += counted
                continue
            rgb = cv2.cvtColor(cv2.resize(picture, (112, 112), interpolation=cv2.INTER_LINEAR), cv2.COLOR_BGR2RGB)
            net.setInput(cv2.dnn.blobFromImage(rgb, 1 / 255))
            int(np.argmax(net.forward(names)[0]))
            if counted:
                counts["analysed"] += 1
                latencies.append(time.time() - received)

    threads = [threading.Thread(target=read, daemon=True) for _ in range(cameras)] + [threading.Thread(target=infer)]
    for thread in threads:
        thread.start()
    time.sleep(5.0)  # connected, past the burst
    window[:] = [time.time(), time.time() + seconds]
    time.sleep(seconds + 2.0)
    stop.set()
    threads[-1].join()
    return verdict(counts["analysed"], counts["dropped"], round(seconds * FPS) * cameras, latencies)


def held(name: str, trial: Any, most: int) -> int:
    cameras = 0
    for number in range(1, most + 1):
        ok, detail = trial(number)
        print(f"  {name}, {number} camera{'s' if number > 1 else ''}: {'held' if ok else 'not held'} ({detail}; "
              f"load {load_average()})", flush=True)
        if not ok:
            break
        cameras = number
    return cameras


def resident(pid: int) -> int:
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmRSS:"))


def soak(server: Server, minutes: float, cache: pathlib.Path) -> Tuple[int, int]:
    with tempfile.TemporaryDirectory() as folder:
        run = subprocess.Popen([sys.executable, "-m", "quillon.pipeline", *[server.url] * 4, "--out", folder,
                                "--cache", str(cache), "--quiet"], env=ENV, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
        try:
            time.sleep(60)
            first = resident(run.pid)
            time.sleep(max(minutes * 60 - 60, 0))
            return first, resident(run.pid)
        finally:
            run.send_signal(signal.SIGINT)
            run.wait()


def first_line_after_return(server: Server, cache: pathlib.Path, returns: int = 3) -> List[float]:
    with tempfile.TemporaryDirectory() as folder:
        out = pathlib.Path(folder)
        run = subprocess.Popen([sys.executable, "-m", "quillon.pipeline", server.url, "--out", folder, "--cache",
                                str(cache), "--quiet"], env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            until(lambda: sum(map(len, lines(out).values())) > 0, 60)
            seconds = []
            for _ in range(returns):
                server.stop()
                time.sleep(5.0)
                server.start()
                back = time.time()
                until(lambda: any(line["received"] > back for found in lines(out).values() for line in found), 120)
                seconds.append(min(line["received"] + line["latency"] for found in lines(out).values()
                                   for line in found if line["received"] > back) - back)
                time.sleep(2.0)
            return seconds
        finally:
            run.send_signal(signal.SIGINT)
            run.wait()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=60.0, help="the window each number of cameras is held over")
    parser.add_argument("--most", type=int, default=16, help="the most cameras tried")
    parser.add_argument("--size", default="1920x1080")
    parser.add_argument("--soak", action="store_true", help="also measure memory over --soak-minutes")
    parser.add_argument("--soak-minutes", type=float, default=10.0)
    parser.add_argument("--skip-held", action="store_true", help="leave out the cameras held (the longest part)")
    args = parser.parse_args()
    sys.path.insert(0, str(ROOT / "python"))
    from quillon.pipeline import demo

    cache = pathlib.Path(tempfile.mkdtemp(prefix="bench-live-"))
    model = demo.builtin_model(cache)
    server = Server(args.size).start()
    report = Report()
    try:
        if not args.skip_held:
            ours = held("main job", lambda n: main_job(server, n, args.seconds, cache), args.most)
            theirs = held("peer", lambda n: peer(server, n, args.seconds, model), args.most)
            report.ratio("cameras held, main job / peer", ours / max(theirs, 1), 1.5, True,
                         f"{ours} against {theirs}, {args.size} at {FPS}/s over {args.seconds:g} s")
        if args.soak:
            first, last = soak(server, args.soak_minutes, cache)
            report.ratio(f"memory after {args.soak_minutes:g} min / after 1 min, 4 cameras", last / first, 1.05, False,
                         f"{first / 2**20:.0f} MiB, then {last / 2**20:.0f} MiB")
        returned = first_line_after_return(server, cache)
        report.ratio("seconds from a camera's return to its next result line / 3 s", max(returned) / 3.0, 1.0,
                     False, f"the slowest of {len(returned)} returns after 5 s drops: "
                     f"{', '.join(f'{value:.2f}' for value in returned)} s")
    finally:
        server.stop()
    report.print()


if __name__ == "__main__":
    main()
