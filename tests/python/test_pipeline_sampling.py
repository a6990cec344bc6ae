"""The main job sampling its inputs (--every, --step, --keyframes): results
for the sampled pictures only, with the numbers and times PyAV gives them,
spread over the dies; the progress total counts them."""
import json
import subprocess

import pytest

from quillon.pipeline import cli, job, sampling, sources

av = pytest.importorskip("av")
pytestmark = pytest.mark.no_sanitizer


@pytest.fixture(scope="module")
def clip(tmp_path_factory):
    path = tmp_path_factory.mktemp("sampled") / "clip.mp4"
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=320x240:rate=30", "-t", "8",
                    "-c:v", "libx264", "-g", "45", "-bf", "3", "-pix_fmt", "yuv420p", str(path)], check=True)
    with av.open(str(path)) as container:
        stream = container.streams.video[0]
        pictures = [(float(f.pts * stream.time_base), f.key_frame) for f in container.decode(stream)]
    return path, pictures


@pytest.mark.parametrize("options", [["--every", "1"], ["--step", "25"], ["--keyframes"], ["--every", "0.5",
                                                                                           "--keyframes"]])
def test_results_only_for_the_sampled_pictures(tmp_path, capsys, clip, options):
    path, pictures = clip
    code = cli.main([str(path), *options, "--out", str(tmp_path / "out"), "--cache", str(tmp_path / "cache"),
                     "--quiet"])
    assert code == 0, capsys.readouterr().err
    lines = [json.loads(line) for line in (tmp_path / "out" / "results.jsonl").read_text().splitlines()]
    times = [t for t, _ in pictures]
    # As frames(step=, every=, keyframes_only=) composes them: the key
    # pictures or all, every step-th, and of those the one shown at each
    # multiple of `every` from the first.
    wanted = [n for n, (_, key) in enumerate(pictures) if key or "--keyframes" not in options]
    if "--step" in options:
        wanted = wanted[::25]
    if "--every" in options:
        every = float(options[1])
        wanted = {max(n for n in wanted if times[n] <= times[wanted[0]] + k * every + 1e-9)
                  for k in range(int(times[-1] / every) + 1)}
    assert [line["picture"] for line in lines] == sorted(wanted)
    assert [line["pts"] for line in lines] == pytest.approx([times[n] for n in sorted(wanted)], abs=1e-6)
    if options == ["--every", "1"]:
        assert len(lines) == 8 and {line["device"] for line in lines} == {0, 1}


def test_the_progress_total_counts_the_samples(clip):
    path, pictures = clip
    checks = type("Signals", (), {"check": lambda self: None})()
    for options, exact, estimated in ((["--every", "1"], 8, 8), (["--step", "7"], 35, 35), (["--keyframes"], 6, None),
                                      (["--step", "2", "--keyframes"], 3, None)):
        args = cli.parse_arguments([str(path), *options])
        # A file's packet index tells the samples; a URL's are estimated.
        file, url = (sources.Input(str(path), kind, frame_count=len(pictures), fps=30.0) for kind in ("video", "url"))
        job.sampled([file, url], args, checks)
        assert job.total_pictures([file]) == exact and job.total_pictures([url]) == estimated
    for bad in (["--every", "0"], ["--every", "nan"], ["--step", "0"]):
        with pytest.raises(SystemExit):
            cli.parse_arguments([str(path), *bad])


def test_an_hevc_run_one_picture_a_second_reports_no_damage(tmp_path, capsys):
    """Its passes give the decoder only the pictures the sampled ones
    predict from; the references the decoder then misses are not damage."""
    path = tmp_path / "clip.mkv"
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=320x240:rate=30", "-t", "4.5",
                    "-c:v", "libx265", "-preset", "ultrafast", "-x265-params",
                    "log-level=error:keyint=60:bframes=3:scenecut=0", "-pix_fmt", "yuv420p", str(path)], check=True)
    code = cli.main([str(path), "--every", "1", "--out", str(tmp_path / "out"), "--cache", str(tmp_path / "cache"),
                     "--quiet"])
    out = capsys.readouterr().out
    assert code == 0 and "damage in the streams" not in out
    lines = [json.loads(line) for line in (tmp_path / "out" / "results.jsonl").read_text().splitlines()]
    assert [line["picture"] for line in lines] == [0, 30, 60, 90, 120]
