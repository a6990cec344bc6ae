"""A test RTSP server on 127.0.0.1: moving test pictures in H.264, served at
rtsp://127.0.0.1:PORT/NAME for each NAME given, until killed or its time is up.

Each client gets a pipeline of its own unless --shared is given: a shared
media torn down by one client while another joins can abort the server
(gst_rtsp_media_get_rates), which tests cannot afford; the bench, with many
clients on one mount, shares to spare the processors an encoder each."""
import argparse
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--size", default="320x240")
    parser.add_argument("--fps", type=int, default=25)
    parser.add_argument("--lifetime", type=float, default=120.0)
    parser.add_argument("--shared", action="store_true", help="one pipeline per mount for all its clients")
    parser.add_argument("names", nargs="+")
    args = parser.parse_args()
    Gst.init(None)
    width, height = args.size.split("x")
    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(str(args.port))
    launch = (f"( videotestsrc is-live=true pattern=ball ! video/x-raw,width={width},height={height},"
              f"framerate={args.fps}/1 ! x264enc tune=zerolatency speed-preset=ultrafast key-int-max={args.fps} "
              "! rtph264pay name=pay0 pt=96 config-interval=1 )")
    mounts = server.get_mount_points()
    for name in args.names:
        factory = GstRtspServer.RTSPMediaFactory()
        factory.set_launch(launch)
        factory.set_shared(args.shared)
        mounts.add_factory("/" + name, factory)
    if server.attach(None) == 0:
        print("cannot listen", file=sys.stderr)
        return 1
    loop = GLib.MainLoop()
    GLib.timeout_add(int(args.lifetime * 1000), loop.quit)
    print("ready", flush=True)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
