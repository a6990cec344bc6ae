"""A live run's figures served over HTTP in Prometheus' text format
(--metrics HOST:PORT), by python3-prometheus-client: per camera its
pictures, drops, reconnects, state and latency histogram; per die the
utilisation of its decoder, DSP and AI engine, and its memory."""
from __future__ import annotations

import ipaddress
import itertools
import threading
from typing import Any, Iterator, Sequence, Tuple

from prometheus_client.registry import Collector

from .errors import UserError
from .live_outputs import LATENCY_BUCKETS, CameraFigures

LOOPBACK = "127.0.0.1"


def address(text: str) -> Tuple[str, int]:
    """(host, port) of --metrics: "PORT" or ":PORT" is loopback; any other
    host is bound only when it is spelled out ("0.0.0.0:9100", "[::]:9100")."""
    host, colon, port = text.rpartition(":")
    if not colon:
        host, port = "", text
    host = host[1:-1] if host.startswith("[") and host.endswith("]") else host
    if not port.isdigit() or not 0 < int(port) < 65536:
        raise UserError(f"--metrics {text}: give HOST:PORT (or PORT, on 127.0.0.1) with a port from 1 to 65535")
    if host:
        try:
            ipaddress.ip_address(host)
        except ValueError:
            if host != "localhost":
                raise UserError(f"--metrics {text}: the host must be an IP address or localhost") from None
    return host or LOOPBACK, int(port)


class Metrics(Collector):
    """Serves the figures at http://HOST:PORT/metrics (any path answers)
    from a thread of its own until closed."""

    def __init__(self, where: str, cameras: Sequence[CameraFigures], dies: Sequence[int]) -> None:
        import socket
        from wsgiref.simple_server import WSGIServer, make_server

        import quillon
        from prometheus_client import CollectorRegistry, make_wsgi_app
        from prometheus_client.exposition import ThreadingWSGIServer, _SilentHandler

        host, port = address(where)
        self.cameras, self.dies = cameras, list(dies)
        self.monitor = quillon.Monitor(self.dies).open()
        registry = CollectorRegistry(auto_describe=False)
        registry.register(self)
        server_class: Any = ThreadingWSGIServer
        if ":" in host:
            class Server6(ThreadingWSGIServer):
                address_family = socket.AF_INET6
            server_class = Server6
        try:
            self.server: WSGIServer = make_server(host, port, make_wsgi_app(registry), server_class,
                                                  handler_class=_SilentHandler)
        except OSError as error:
            self.monitor.close()
            raise UserError(f"--metrics {where}: cannot listen there ({error.strerror or error})") from None
        self.port = self.server.server_port
        self.thread = threading.Thread(target=self.server.serve_forever, name="quillon-metrics")
        self.thread.start()

    def collect(self) -> Iterator[Any]:
        import quillon
        from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily, HistogramMetricFamily

        pictures = CounterMetricFamily("quillon_camera_pictures", "Pictures analysed", labels=["camera"])
        dropped = CounterMetricFamily("quillon_camera_dropped", "Pictures dropped for waiting longer than "
                                      "--max-latency", labels=["camera"])
        reconnects = CounterMetricFamily("quillon_camera_reconnects", "Times the camera came back after a drop",
                                         labels=["camera"])
        live = GaugeMetricFamily("quillon_camera_live", "1 while the camera sends pictures, 0 while it is away",
                                 labels=["camera"])
        latency = HistogramMetricFamily("quillon_camera_latency_seconds", "Seconds from a picture's arrival to "
                                        "its result line", labels=["camera"])
        for camera in self.cameras:
            with camera.lock:
                counts, total = list(camera.buckets), camera.latency_sum
                figures = (camera.pictures, camera.dropped, camera.reconnects, camera.state == "live")
            pictures.add_metric([camera.name], figures[0])
            dropped.add_metric([camera.name], figures[1])
            reconnects.add_metric([camera.name], figures[2])
            live.add_metric([camera.name], 1.0 if figures[3] else 0.0)
            cumulative = list(itertools.accumulate(counts))
            bounds = [*(repr(b) for b in LATENCY_BUCKETS), "+Inf"]
            latency.add_metric([camera.name], list(zip(bounds, cumulative)), total)
        yield from (pictures, dropped, reconnects, live, latency)
        utilisation = GaugeMetricFamily("quillon_die_utilisation_ratio", "Busy share of a die's engine",
                                        labels=["die", "engine"])
        for load in self.monitor.loads():
            for engine, value in (("decoder", load.decoder), ("dsp", load.dsp), ("ai", load.ai)):
                utilisation.add_metric([str(load.device), engine], value / 100.0)
        memory = GaugeMetricFamily("quillon_die_memory_bytes", "A die's memory", labels=["die", "kind"])
        for device in quillon.devices():
            if device.index in self.dies:
                memory.add_metric([str(device.index), "total"], device.memory_total)
                memory.add_metric([str(device.index), "free"], device.memory_free)
        yield from (utilisation, memory)

    def close(self) -> None:
        self.server.shutdown()
        self.server.server_close()
        self.thread.join()
        self.monitor.close()
