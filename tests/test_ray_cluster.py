"""A Ray cluster of two nodes simulated on this machine: a head and a second
node started with `ray start` on ports of their own, each with a custom
resource naming it; `RayVectorEnv` places its actors on the nodes its
`actor_options` ask for. Skipped where Ray is not installed."""

import json
import os
import subprocess
import sys
import tempfile

import numpy as np
import pytest

from conftest import subprocess_env
from veskit import free_port
from worker_programs import Counter, FakePage

ray = pytest.importorskip("ray", reason='Ray is not installed (pip install ".[ray]")')
from veskit.ray_workers import RayVectorEnv  # noqa: E402

TESTS = os.path.dirname(os.path.abspath(__file__))
RAY = os.path.join(os.path.dirname(sys.executable), "ray")


def ray_cli(*args, temp_dir):
    # Its own temporary folder: no other Ray instance on the machine is
    # found, joined or stopped. The actors import this folder's helpers.
    env = subprocess_env(RAY_TMPDIR=temp_dir, PYTHONPATH=os.pathsep.join([TESTS, subprocess_env()["PYTHONPATH"]]))
    result = subprocess.run([RAY, *args], capture_output=True, text=True, timeout=180, env=env)
    assert result.returncode == 0, f"ray {' '.join(args)} failed:\n{result.stdout[-2000:]}{result.stderr[-2000:]}"
    return result


@pytest.fixture
def two_nodes():
    """The head ({"node_a": 1}) and a second node ({"node_b": 1}), one CPU
    each; yields the head's address, then stops both."""
    # Short: Ray's socket paths under it must fit the 107 bytes of a Unix socket.
    temp_dir = tempfile.mkdtemp(prefix="vr-", dir="/tmp")
    port = free_port()
    address = f"127.0.0.1:{port}"
    common = ["--num-cpus=1", "--disable-usage-stats", f"--temp-dir={temp_dir}", "--node-ip-address=127.0.0.1"]
    started = []
    try:
        ray_cli("start", "--head", f"--port={port}", "--include-dashboard=false",
                f"--resources={json.dumps({'node_a': 1})}", *common, temp_dir=temp_dir)
        started.append("head")
        ray_cli("start", f"--address={address}", f"--resources={json.dumps({'node_b': 1})}", *common,
                temp_dir=temp_dir)
        started.append("node")
        yield address
    finally:
        if ray.is_initialized():
            ray.shutdown()
        if started:
            # Only this cluster's processes: ray stop would end every Ray on the machine.
            stop_cluster(temp_dir)


def stop_cluster(temp_dir):
    """Ends the processes of the Ray instance whose session lives in `temp_dir`."""
    import signal
    import time

    from conftest import processes_mentioning

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


def node_of(actor):
    return ray.get(actor.__ray_call__.remote(lambda self: ray.get_runtime_context().get_node_id()))


def test_actors_are_placed_on_both_nodes_by_their_resources(two_nodes):
    ray.init(address=two_nodes, runtime_env={"env_vars": {"PYTHONPATH": TESTS}})
    nodes = {name: node["NodeID"] for node in ray.nodes() if node["Alive"]
             for name in ("node_a", "node_b") if name in node["Resources"]}
    assert set(nodes) == {"node_a", "node_b"} and nodes["node_a"] != nodes["node_b"]

    # One CPU per actor and per node: Ray must spread them, one on each.
    with RayVectorEnv(Counter, actors=2, kwargs={"num_envs": 2}, launcher=FakePage) as spread:
        assert sorted(node_of(actor) for actor in spread.actors) == sorted(nodes.values())
        spread.reset(seed=0)
        _, rewards, *_ = spread.step(np.arange(4).reshape(4, 1))
        np.testing.assert_array_equal(rewards, np.arange(4))

    # A node's own resource pins every actor to that node.
    for name, node in nodes.items():
        with RayVectorEnv(Counter, actors=2, kwargs={"num_envs": 1}, launcher=FakePage,
                          actor_options={"num_cpus": 0, "resources": {name: 0.5}}) as pinned:
            assert [node_of(actor) for actor in pinned.actors] == [node, node]
            pinned.reset(seed=0)
            _, rewards, *_ = pinned.step(np.array([[3.0], [4.0]]))
            np.testing.assert_array_equal(rewards, [3.0, 4.0])
