"""A script whose daemon threads are inside native calls when it ends exits 0, every time: the interpreter
ends such threads as they take its lock back, and that must not abort the process."""
from conftest import MODULE_DIR, ROOT, exit_every_time, pattern_video

# Each thread keeps going in and out of a call that lets the interpreter lock
# go (one waits in a decoder channel's receive) while the main thread leaves.
SCRIPT = """
import sys, threading
sys.path[:0] = [{module_dir!r}, {package_dir!r}]
import quillon
from quillon import _native, kycm, kyme

def frames(under_way):
    while True:
        with quillon.open({card_clip!r}) as video:
            for _ in video.frames(format="nv12"):
                under_way.set()

def packets(under_way):
    while True:
        demuxer = _native.Demuxer({card_clip!r})
        while demuxer.read() is not None:
            under_way.set()

def pictures(under_way):
    while True:
        demuxer = _native.Demuxer({host_clip!r})
        decoder = _native.HostDecoder(demuxer, "rgb24")
        while decoder.read() is not None:
            under_way.set()

def waiting(under_way):
    under_way.set()
    kyme.receiveFrameFromDecoder(7, kyme.frame(), kyme.decOutputOptions(), 600_000)

def polling(under_way):
    frame, options = kyme.frame(), kyme.decOutputOptions()
    while True:
        kyme.receiveFrameFromDecoder(7, frame, options, 1)
        under_way.set()

assert kycm.initialize() == 0 and kyme.systemInitialize() == 0
parameters = kyme.decChannelParamters()
parameters.codecType = kyme.codecType.KYME_CODEC_DEC_H264
assert kyme.createDecoderChannel(parameters, 7) == 0 and kyme.startDecoder(7) == 0
threads = {{work: threading.Event() for work in (frames, packets, pictures, waiting, polling)}}
for work, under_way in threads.items():
    threading.Thread(target=work, args=(under_way,), daemon=True).start()
assert all(under_way.wait(60) for under_way in threads.values())
print("done")
"""


def test_daemon_threads_inside_native_calls_do_not_abort_the_exit(tmp_path):
    card_clip = pattern_video(tmp_path / "card.mp4", "-c:v", "libx264", "-pix_fmt", "yuv420p", frames=10)
    host_clip = pattern_video(tmp_path / "host.avi", "-c:v", "mpeg4", frames=10)
    script = SCRIPT.format(module_dir=str(MODULE_DIR), package_dir=str(ROOT / "python"), card_clip=str(card_clip),
                           host_clip=str(host_clip))
    exit_every_time(script)
