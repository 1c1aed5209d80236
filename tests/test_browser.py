"""The demo environment against the reference page in real headless Chromium.

Chromium is driven through its own DevTools protocol over the websockets
package (see browser_session.py): no extra dependency, no browser download,
and Debian's chromium of whatever version is installed. Each run happens in
a fresh interpreter with a copy of the module in tmp/lib, so the page goes
into tmp/dist and not beside the module under test.
"""
import base64
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np
import pytest

import Vesk
import veskit
from conftest import processes_mentioning, subprocess_env

TESTS = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(TESTS)
SESSION = os.path.join(TESTS, "browser_session.py")
DEMO_PATH = os.path.join(REPO, "examples", "demo.py")
ROW_BYTES = 7 * 4
CART_COLOUR = (0x2B, 0x3A, 0x55)  # drawn only once the page has a simulation

@pytest.fixture(name="layout")
def layout_fixture(tmp_path):
    """tmp/lib holds a copy of the module, so its bundle folder is tmp/dist."""
    lib = tmp_path / "lib"
    lib.mkdir()
    shutil.copy2(Vesk.__file__, lib)
    (tmp_path / "out").mkdir()
    return tmp_path


@pytest.fixture(name="child_tmp")
def child_tmp_fixture():
    """The children's TMPDIR, short: Chromium puts a unix socket there, and
    those paths have a length limit that a pytest tmp_path can exceed."""
    path = tempfile.mkdtemp(prefix="vesk-test-")
    yield path
    shutil.rmtree(path, ignore_errors=True)


def run_child(layout, tmp, args, timeout=120):
    env = subprocess_env(PYTHONPATH=str(layout / "lib"), TMPDIR=tmp)
    return subprocess.run(
        [sys.executable] + args,
        capture_output=True,
        text=True,
        encoding="utf-8",
        timeout=timeout,
        env=env,
        cwd=str(layout),
    )


def decode_task(payload):
    message = json.loads(payload)
    return json.loads(message) if isinstance(message, str) else message  # render and close are encoded twice


def test_reset_and_steps_in_headless_chromium(chromium, layout, child_tmp):
    done = run_child(layout, child_tmp, [SESSION, str(layout / "out")])
    assert done.returncode == 0, done.stderr[-4000:]
    with open(layout / "out" / "report.json") as f:
        report = json.load(f)
    n = report["num_envs"]

    # What the page received, in order: the episode cap of 4 steps makes the
    # fourth step reset every environment by itself.
    tasks = [decode_task(frame["payload"]) for frame in report["received"]]
    assert [t["env"] for t in tasks] == ["init", "reset"] + ["step"] * 4 + ["reset"] + ["step"] * 2 + ["render"]
    assert all(frame["opcode"] == 1 for frame in report["received"])

    # One reply per task: None for init and render, rows for the rest, byte
    # for byte what Python decoded.
    sent = report["sent"]
    assert len(sent) == len(tasks), sent
    assert [sent[0], sent[-1]] == [{"opcode": 1, "payload": "None"}] * 2
    rows = sent[1:-1]
    assert [frame["opcode"] for frame in rows] == [2] * len(rows)
    assert [len(base64.b64decode(frame["payload"])) for frame in rows] == [n * ROW_BYTES] * len(rows)
    decoded = report["replies"]
    assert [(r["type"], r["dtype"], r["shape"], r["writeable"]) for r in decoded] == [
        ("ndarray", "float32", [n, 7], False)
    ] * len(rows)
    assert [base64.b64decode(frame["payload"]) for frame in rows] == [bytes.fromhex(r["hex"]) for r in decoded]

    replies = [np.frombuffer(base64.b64decode(frame["payload"]), np.float32).reshape(n, 7) for frame in rows]
    for reply, task in zip(replies, tasks[1:-1]):
        if task["env"] == "reset":
            # The seeded starts the environment asked for, in every flagged row.
            assert task["list"] == [True] * n
            starts = np.concatenate([task["pos"], task["joint"]], axis=1).astype(np.float32)
            np.testing.assert_array_equal(reply[:, :4], starts)
            np.testing.assert_array_equal(reply[:, 4:], 0)
    ended = replies[4][:, 5] + replies[4][:, 6]
    np.testing.assert_array_equal(ended, 1)  # each env terminated or truncated
    # The step that reset returns the reset's rows as its state.
    np.testing.assert_array_equal(np.array(report["states"][4], np.float32), replies[5])

    # Nothing went wrong on the page.
    assert [c for c in report["console"] if c["type"] in ("error", "assert")] == []
    assert report["exceptions"] == []
    assert [e for e in report["log"] if e["level"] == "error"] == []
    status = report["status"]
    assert (status["connected"], status["tasks"], status["errors"]) == (True, len(tasks), [])

    # render() in rgb_array mode gave the canvas: a drawn cart-pole, not an
    # empty or one-colour area.
    pixels = np.load(layout / "out" / "canvas.npy")
    assert (pixels.dtype, pixels.shape) == (np.uint8, (360, 720, 3))
    colours, counts = np.unique(pixels.reshape(-1, 3), axis=0, return_counts=True)
    assert len(colours) >= 8, f"{len(colours)} colours on the canvas"
    assert counts.max() / counts.sum() < 0.99, "the canvas is almost one colour"
    assert (pixels == CART_COLOUR).all(axis=2).sum() > 100, "no cart drawn on the canvas"


def test_demo_trains_and_ends_its_browser(chromium, layout, child_tmp):
    done = run_child(layout, child_tmp, [DEMO_PATH, "--envs", "16", "--iterations", "4"])
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    lines = done.stdout.splitlines()
    progress = [line for line in lines if line.startswith("iter ")]
    assert 1 <= len(progress) <= 4 and all("steps/s" in line for line in progress), lines
    assert [line for line in lines if line.startswith("summary: mean return ")], lines
    assert "training: 100%" in done.stdout or "solved" in done.stdout, "no progress bar"
    shown = dict(line.split(": ", 1) for line in lines[-2:])
    Image = pytest.importorskip("PIL.Image", reason="Pillow comes with the demo extra")
    with Image.open(shown["learning curve"]) as curve:
        assert (curve.format, curve.size) == ("PNG", (600, 350))
    with Image.open(shown["recording of the learnt policy"]) as video:
        assert video.format == "GIF" and video.n_frames > 10
        video.seek(video.n_frames // 2)
        frame = np.asarray(video.convert("RGB"))
        assert (frame == CART_COLOUR).all(axis=2).sum() > 25, "no cart in the recording"
    assert os.path.isfile(layout / "dist" / "scene" / "scene.json")
    assert sorted(os.listdir(layout / "dist")) == ["assets", "index.html", "scene"]

    # The browser's profile lived in child_tmp; it is gone (its log is kept),
    # and no process still uses it.
    tmp = child_tmp
    assert not [p for p in os.listdir(tmp) if p.startswith("vesk-chromium-") and not p.endswith(".log")]
    if os.path.isdir("/proc"):
        # Helpers may take a moment to follow the browser out.
        deadline = time.monotonic() + 5
        while processes_mentioning(tmp) and time.monotonic() < deadline:
            time.sleep(0.1)
        assert processes_mentioning(tmp) == [], "processes still use the demo's browser profile"


