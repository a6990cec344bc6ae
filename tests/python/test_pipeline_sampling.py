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
    keys = {n for n, (_, key) in enumerate(pictures) if key}
    wanted = set(range(len(pictures)))
    if "--every" in options:
        every = float(options[1])
        wanted &= {max(n for n, t in enumerate(times) if t <= k * every + 1e-9)
                   for k in range(int(times[-1] / every) + 1)}
    if "--step" in options:
        wanted &= set(range(0, len(pictures), 25))
    if "--keyframes" in options:
        wanted &= keys
    assert [line["picture"] for line in lines] == sorted(wanted)
    assert [line["pts"] for line in lines] == pytest.approx([times[n] for n in sorted(wanted)], abs=1e-6)
    if options == ["--every", "1"]:
        assert len(lines) == 8 and {line["device"] for line in lines} == {0, 1}


def test_the_progress_total_counts_the_samples(clip):
    path, pictures = clip
    item = sources.Input(str(path), "video", frame_count=len(pictures), fps=30.0)
    for options, expected in ((["--every", "1"], 8), (["--step", "7"], 35), (["--keyframes"], 6),
                              (["--step", "2", "--keyframes"], None)):
        item.sampling = sampling.of(cli.parse_arguments([str(path), *options]))
        item.keys = frozenset(range(0, 240, 45)) if "--keyframes" in options else None
        assert job.total_pictures([item]) == expected
    for bad in (["--every", "0"], ["--every", "nan"], ["--step", "0"]):
        with pytest.raises(SystemExit):
            cli.parse_arguments([str(path), *bad])
