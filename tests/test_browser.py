"""The demo environment against the reference page in real headless Chromium.

Chromium is driven through its own DevTools protocol over the websockets
package (see browser_session.py): no extra dependency, no browser download,
and Debian's chromium of whatever version is installed. Each run happens in
a fresh interpreter with a copy of the module in tmp/lib, so the page goes
into tmp/dist and not beside the module under test.
"""
import base64
import importlib.util
import json
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import zlib

import numpy as np
import pytest

import Vesk
from conftest import subprocess_env

TESTS = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(TESTS)
SESSION = os.path.join(TESTS, "browser_session.py")
DEMO_PATH = os.path.join(REPO, "examples", "demo.py")
ROW_BYTES = 7 * 4
CART_COLOUR = (0x2B, 0x3A, 0x55)  # drawn only once the page has a simulation

_spec = importlib.util.spec_from_file_location("vesk_demo", DEMO_PATH)
demo = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(demo)


@pytest.fixture(name="chromium")
def chromium_fixture():
    path = demo.find_chromium()
    if path is None:
        if "CI" in os.environ:
            pytest.fail("no chromium executable on PATH; CI must run the browser test (apt-get install chromium)")
        pytest.skip("no chromium executable on PATH (apt-get install chromium); CI runs this test")
    return path


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


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run_child(layout, tmp, args, timeout=120):
    env = subprocess_env(PYTHONPATH=str(layout / "lib"), VESK_PORT=str(free_port()), TMPDIR=tmp)
    return subprocess.run(
        [sys.executable] + args,
        capture_output=True,
        text=True,
        encoding="utf-8",
        timeout=timeout,
        env=env,
        cwd=str(layout),
    )


def png_pixels(data):
    """Decodes an 8-bit, non-interlaced RGB or RGBA PNG into (h, w, channels)."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    pos, idat = 8, b""
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos : pos + 8])
        body = data[pos + 8 : pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            width, height, depth, colour_type, _, _, interlace = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            break
    assert depth == 8 and colour_type in (2, 6) and interlace == 0, (depth, colour_type, interlace)
    channels = 3 if colour_type == 2 else 4
    stride = width * channels
    raw = zlib.decompress(idat)
    out = np.zeros((height, stride), dtype=np.uint8)
    prior = np.zeros(stride, dtype=np.int32)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = np.frombuffer(raw, np.uint8, stride, y * (stride + 1) + 1).astype(np.int32)
        if kind == 0:
            row = line
        elif kind == 2:
            row = (line + prior) & 0xFF
        else:  # Sub, Average and Paeth depend on the pixel to the left
            row = line.copy()
            for i in range(stride):
                left = row[i - channels] if i >= channels else 0
                up = prior[i]
                if kind == 1:
                    row[i] = (row[i] + left) & 0xFF
                elif kind == 3:
                    row[i] = (row[i] + ((left + up) >> 1)) & 0xFF
                else:
                    corner = prior[i - channels] if i >= channels else 0
                    p = left + up - corner
                    pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                    guess = left if pa <= pb and pa <= pc else up if pb <= pc else corner
                    row[i] = (row[i] + guess) & 0xFF
        out[y] = row
        prior = row
    return out.reshape(height, width, channels)


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

    # The canvas shows a drawn cart-pole, not an empty or one-colour area.
    png = layout / "out" / "canvas.png"
    pixels = png_pixels(png.read_bytes())[:, :, :3]
    height, width, _ = pixels.shape
    assert width >= 720 and height >= 360, (width, height)
    colours, counts = np.unique(pixels.reshape(-1, 3), axis=0, return_counts=True)
    assert len(colours) >= 8, f"{len(colours)} colours in {png}"
    assert counts.max() / counts.sum() < 0.97, f"{png} is almost one colour"
    assert (pixels == CART_COLOUR).all(axis=2).sum() > 100, f"no cart drawn in {png}"


def test_demo_trains_and_ends_its_browser(chromium, layout, child_tmp):
    done = run_child(layout, child_tmp, [DEMO_PATH, "--envs", "16", "--iterations", "4"])
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    lines = done.stdout.splitlines()
    progress = [line for line in lines if line.startswith("iter ")]
    assert 1 <= len(progress) <= 4 and all("steps/s" in line for line in progress), lines
    assert [line for line in lines if line.startswith("summary: mean return ")], lines
    assert os.path.isfile(layout / "dist" / "scene" / "scene.json")
    assert sorted(os.listdir(layout / "dist")) == ["assets", "index.html", "scene"]

    # The browser's profile lived in child_tmp; it is gone, and no process
    # still uses it.
    tmp = child_tmp
    assert not [p for p in os.listdir(tmp) if p.startswith("vesk-chromium-")]
    if os.path.isdir("/proc"):
        # Helpers may take a moment to follow the browser out.
        deadline = time.monotonic() + 5
        while processes_mentioning(tmp) and time.monotonic() < deadline:
            time.sleep(0.1)
        assert processes_mentioning(tmp) == [], "processes still use the demo's browser profile"


def processes_mentioning(text):
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if text.encode() in f.read():
                    found.append(pid)
        except OSError:
            pass
    return found
