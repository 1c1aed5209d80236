"""A Ray cluster of two nodes simulated on this machine: a head and a second
node started with `ray start` on ports of their own, each with a custom
resource naming it; `RayVectorEnv` places its actors on the nodes its
`actor_options` ask for. Skipped where Ray is not installed."""

import json
import os
import secrets
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import pytest

from conftest import processes_mentioning, run_python, subprocess_env
from veskit import free_port

pytest.importorskip("ray", reason='Ray is not installed (pip install ".[ray]")')

TESTS = os.path.dirname(os.path.abspath(__file__))
RAY = os.path.join(os.path.dirname(sys.executable), "ray")


def ray_cli(*args):
    result = subprocess.run([RAY, *args], capture_output=True, text=True, timeout=180, env=subprocess_env())
    assert result.returncode == 0, f"ray {' '.join(args)} failed:\n{result.stdout[-2000:]}{result.stderr[-2000:]}"
    return result


@pytest.fixture
def two_nodes(monkeypatch):
    """The head ({"node_a": 1}) and a second node ({"node_b": 1}), one CPU
    each; yields the head's address, then stops both."""
    # The cluster's token, which every node and the driver present.
    monkeypatch.setenv("RAY_AUTH_MODE", "token")
    monkeypatch.setenv("RAY_AUTH_TOKEN", secrets.token_hex(16))
    # Short: Ray's socket paths under it must fit the 107 bytes of a Unix socket.
    temp_dir = tempfile.mkdtemp(prefix="vr-", dir="/tmp")
    port = free_port()
    address = f"127.0.0.1:{port}"
    common = ["--num-cpus=1", "--disable-usage-stats", f"--temp-dir={temp_dir}", "--node-ip-address=127.0.0.1"]
    started = []
    try:
        ray_cli("start", "--head", f"--port={port}", "--include-dashboard=false",
                f"--resources={json.dumps({'node_a': 1})}", *common)
        started.append("head")
        ray_cli("start", f"--address={address}", f"--resources={json.dumps({'node_b': 1})}", *common)
        started.append("node")
        yield address
    finally:
        if started:
            # Only this cluster's processes: ray stop would end every Ray on the machine.
            stop_cluster(temp_dir)
        shutil.rmtree(temp_dir, ignore_errors=True)


def stop_cluster(temp_dir):
    """Ends the processes of the Ray instance whose session lives in `temp_dir`."""
    for sig, wait in ((signal.SIGTERM, 10.0), (signal.SIGKILL, 5.0)):
        for pid in processes_mentioning(temp_dir):
            try:
                os.kill(int(pid), sig)
            except ProcessLookupError:
                pass
        deadline = time.monotonic() + wait
        while processes_mentioning(temp_dir) and time.monotonic() < deadline:
            time.sleep(0.2)
    assert processes_mentioning(temp_dir) == []


# The driver, in an interpreter of its own: Ray reads the cluster's token
# once per process.
PLACE_ACTORS = """
    import numpy as np
    import ray
    from veskit.ray_workers import RayVectorEnv
    from worker_programs import Counter, FakePage

    def node_of(actor):
        return ray.get(actor.__ray_call__.remote(lambda self: ray.get_runtime_context().get_node_id()))

    ray.init(address={address!r}, runtime_env={{"env_vars": {{"PYTHONPATH": {tests!r}}}}})
    nodes = {{name: node["NodeID"] for node in ray.nodes() if node["Alive"]
             for name in ("node_a", "node_b") if name in node["Resources"]}}
    assert set(nodes) == {{"node_a", "node_b"}} and nodes["node_a"] != nodes["node_b"], nodes

    # One CPU per actor and per node: Ray must spread them, one on each.
    with RayVectorEnv(Counter, actors=2, kwargs={{"num_envs": 2}}, launcher=FakePage) as spread:
        placed = [node_of(actor) for actor in spread.actors]
        assert sorted(placed) == sorted(nodes.values()), placed
        spread.reset(seed=0)
        _, rewards, *_ = spread.step(np.arange(4).reshape(4, 1))
        np.testing.assert_array_equal(rewards, np.arange(4))
        print("spread over both nodes", flush=True)

    # A node's own resource pins every actor to that node.
    for name, node in sorted(nodes.items()):
        with RayVectorEnv(Counter, actors=2, kwargs={{"num_envs": 1}}, launcher=FakePage,
                          actor_options={{"num_cpus": 0, "resources": {{name: 0.5}}}}) as pinned:
            placed = [node_of(actor) for actor in pinned.actors]
            assert placed == [node, node], (name, placed)
            pinned.reset(seed=0)
            _, rewards, *_ = pinned.step(np.array([[3.0], [4.0]]))
            np.testing.assert_array_equal(rewards, [3.0, 4.0])
            print("both actors on", name, flush=True)
    ray.shutdown()
"""


def test_actors_are_placed_on_both_nodes_by_their_resources(two_nodes):
    result = run_python(PLACE_ACTORS.format(address=two_nodes, tests=TESTS), timeout=300,
                        env={"PYTHONPATH": os.pathsep.join([TESTS, subprocess_env()["PYTHONPATH"]])})
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    assert result.stdout.splitlines() == ["spread over both nodes", "both actors on node_a", "both actors on node_b"]
