"""The card status example program against a configured two-card platform."""
import json
import os
import re
import subprocess
import sys

from platforms import TWO_CARDS
from conftest import MODULE_DIR, ROOT

PROGRAM = ROOT / "examples" / "card_status.py"


def run_program(tmp_path, *args):
    config = tmp_path / "platform.json"
    config.write_text(json.dumps(TWO_CARDS))
    env = dict(os.environ, QUILLON_PLATFORM=str(config), PYTHONPATH=str(MODULE_DIR))
    done = subprocess.run([sys.executable, str(PROGRAM), *args], env=env, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_table_names_every_die(tmp_path):
    out = run_program(tmp_path)
    for card, count in enumerate((2, 3)):
        for die in range(count):
            assert re.search(rf"^\| {card}:{die} +\| /dev/kycc\d +\| +\d+ C \| +[\d.]+ W \|", out, re.M), out
    assert "Card 0: QX-220  id 4660  bus 0000:3b:00.0  uuid card-a" in out
    assert "Card 1: QX-110  id 7  bus 0001:af:1f.7  uuid card-b  fan 60 %" in out
    assert "0 / 256 MiB" in out and "driver 2.1.7" in out
    assert out.rstrip().endswith("Processes:\n  none")
