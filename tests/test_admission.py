"""Who may connect: the Origin policy and the token, decided in the handshake."""
import asyncio
import os
import re
import shutil
import socket
import ipaddress
from urllib.parse import urlencode

import pytest
from hypothesis import given, settings, strategies as st
from websockets.datastructures import Headers

import Vesk
from bridge_program import BRIDGE as PRELUDE, scenario as bridge_scenario
from conftest import subprocess_env
from scripted_frontend import SecondConnection, Text, run_scenario

ADMITTED = [None, "null", "http://localhost:8000", "HTTP://LocalHost", "http://127.0.0.1", "https://127.5.6.7:1",
            "http://[::1]:3000"]
REFUSED = ["https://evil.example", "http://localhost.evil.example", "http://127.0.0.1.evil.example",
           "http://evil.example:80@127.0.0.1", "file://", "http://0.0.0.0", "http://127.0.0.01", "ws://localhost",
           "http://localhost/", "http://[::2]"]


def scenario(body, script, env=None, **options):
    # Hand-written clients: no token unless the test sets one (the admit
    # fixture below leaves its last VESK_TOKEN in this process's environment).
    return bridge_scenario(body, script, env={"VESK_TOKEN": "off", **(env or {})}, **options)


def admitted(result):
    """Per second connection: True if it reached the handler (busy: 1013),
    False if refused in the handshake (403)."""
    outcome = []
    for second in result.second_connections:
        assert (second.close_code, second.status) in [(1013, None), (None, 403)], second
        assert second.messages == []
        outcome.append(second.close_code == 1013)
    return outcome


def test_only_loopback_null_and_headerless_origins_reach_the_handler():
    result = scenario('show(env.one_task("one")); show(env.one_task("two"))',
                      [Text("1")] + [SecondConnection(origin=o) for o in ADMITTED + REFUSED] + [Text("2")])
    assert result.returncode == 0, result.summary()
    assert admitted(result) == [True] * len(ADMITTED) + [False] * len(REFUSED)
    assert result.stdout.splitlines() == ["1", "2"]


def test_vesk_origins_adds_origins():
    result = scenario('show(env.one_task("one"))',
                      [SecondConnection(origin=o) for o in
                       ["https://app.example:8443", "https://OTHER.example", "https://app.example", "null"]]
                      + [Text("1")],
                      env={"VESK_ORIGINS": " https://app.example:8443 ,https://other.example,"})
    assert result.returncode == 0, result.summary()
    assert admitted(result) == [True, True, False, True]


TOKEN = "s3cr&t=+ é%"


def test_with_a_token_set_every_connection_must_carry_it():
    good = "/?" + urlencode({"port": 1, "token": TOKEN})
    result = scenario(
        'show(env.one_task("one"))',
        [SecondConnection(path="/"), SecondConnection(path="/?token=wrong"),
         SecondConnection(path="/?" + urlencode({"token": TOKEN + "x"})),
         SecondConnection(path=good, origin="https://evil.example"),
         SecondConnection(path=good, origin="null"), Text("1")],
        env={"VESK_TOKEN": TOKEN}, path=good, timeout=20)
    assert result.returncode == 0, result.summary()
    assert admitted(result) == [False, False, False, False, True]
    assert result.messages == ['"one"']


def test_a_refused_front_end_gets_no_task_and_leaves_the_slot_free():
    # The program itself knocks with a foreign origin before the page comes.
    result = scenario(
        """
        from websockets.sync.client import connect
        from websockets.exceptions import InvalidStatus
        import os, time
        time.sleep(0.5)
        env.send_queue.put("task")
        try:
            connect("ws://127.0.0.1:" + os.environ["VESK_PORT"], origin="https://evil.example", open_timeout=5)
        except InvalidStatus as error:
            show(error.response.status_code)
        show(env.reply_quene.get())
        """,
        [Text("answered")], connect_after=2.0)
    assert result.returncode == 0, result.summary()
    assert result.stdout.splitlines() == ["403", "'answered'"]
    assert result.messages == ["task"]


def test_the_main_front_end_is_refused_with_403():
    result = scenario('import time; env.send_queue.put("task"); time.sleep(3)', [Text("1")], origin="https://evil.example",
                      timeout=10)
    assert result.refused_status == 403 and result.messages == [], result.summary()


# --- the decisions themselves, through the hook handed to websockets.serve ------

class Captured(BaseException):
    """Not an Exception: the bridge lets it leave the runner as it is (any
    Exception there would end the process)."""


@pytest.fixture(scope="module")
def admit():
    """Returns decide(path, origin, **settings): True if the bridge's
    process_request lets the request in (legacy calling convention)."""

    class FakeWebsockets:
        def serve(self, handler, host, port, **options):
            raise Captured(options["process_request"])

    monkeypatch = pytest.MonkeyPatch()
    monkeypatch.setattr(Vesk, "websockets", FakeWebsockets())
    env = object.__new__(Vesk.Vesk_Pal_st)
    hooks = {}

    def hook(token, origins):
        key = (token, origins)
        if key not in hooks:
            # No token given: the open door, so that the origin decides alone.
            for name, value in (("VESK_TOKEN", "off" if token is None else token), ("VESK_ORIGINS", origins)):
                if value is None:
                    monkeypatch.delenv(name, raising=False)
                else:
                    monkeypatch.setenv(name, value)
            with pytest.raises(Captured) as captured:
                env.start_queue()()
            hooks[key] = captured.value.args[0]
        return hooks[key]

    def decide(path, origin, token=None, origins=None):
        headers = Headers() if origin is None else Headers(Origin=origin)
        coroutine = hook(token, origins)(path, headers)
        try:
            coroutine.send(None)
        except StopIteration as stop:
            response = stop.value
        assert response is None or (response[0] == 403 and response[2].startswith(b"Vesk: ")), response
        return response is None

    yield decide
    monkeypatch.undo()


def is_loopback_origin(origin):
    match = re.fullmatch(r"(?i)https?://(\[::1\]|[^/?#@:\[\]]+)(:\d{1,5})?", origin)
    if not match:
        return False
    host = match.group(1).lower()
    if host in ("localhost", "[::1]"):
        return True
    try:
        address = ipaddress.IPv4Address(host)
    except ValueError:
        return False
    return address.is_loopback and str(address) == host


hosts = st.one_of(st.sampled_from(["localhost", "LOCALHOST", "[::1]", "127.0.0.1", "example.com", "localhost.",
                                   "127.0.0.1.nip.io", "[::ffff:127.0.0.1]", "0177.0.0.1", "127.1"]),
                  st.ip_addresses(v=4).map(str), st.from_regex(r"[a-z0-9.-]{1,20}", fullmatch=True))
origins = st.one_of(
    st.builds(lambda scheme, host, port, tail: f"{scheme}://{host}{port}{tail}",
              st.sampled_from(["http", "https", "HTTPS", "ws", "file", "chrome-extension"]), hosts,
              st.sampled_from(["", ":1", ":8080", ":65535", ":", ":x"]), st.sampled_from(["", "", "/", "/a", "?q"])),
    st.text(st.characters(min_codepoint=32, max_codepoint=126), max_size=30))


@settings(max_examples=300, deadline=None)
@given(origin=origins)
def test_an_origin_is_admitted_exactly_when_it_is_null_or_loopback(admit, origin):
    assert admit("/", origin) == (origin == "null" or is_loopback_origin(origin))


@settings(max_examples=100, deadline=None)
@given(origin=origins, listed=st.lists(origins.filter(lambda o: "," not in o and o.strip()), max_size=3))
def test_listed_origins_are_admitted_too(admit, origin, listed):
    listed = [o.strip() for o in listed if re.fullmatch(r"[^\s/?#@]+://[^\s/?#@]+", o.strip())]
    expected = origin == "null" or is_loopback_origin(origin) or origin.lower() in [o.lower() for o in listed]
    assert admit("/", origin, origins=",".join(listed)) == expected


tokens = st.text(min_size=1, max_size=20).filter(lambda t: "\x00" not in t and t.strip() == t)


@settings(max_examples=200, deadline=None)
@given(token=tokens, other=tokens, origin=st.sampled_from([None, "null", "http://localhost:1", "https://evil.example"]),
       before=st.dictionaries(st.sampled_from(["port", "x", "tok"]), st.text(max_size=5), max_size=2))
def test_the_token_decides_before_the_origin(admit, token, other, origin, before):
    allowed_origin = origin != "https://evil.example"
    query = urlencode(before)
    with_token = "/?" + (query + "&" if query else "") + urlencode({"token": token})
    assert admit(with_token, origin, token=token) == allowed_origin
    assert admit("/?" + urlencode({"token": other}), origin, token=token) == (other == token and allowed_origin)
    assert not admit("/?" + query, origin, token=token)
    # Off, the token is not asked for; unset or empty, the run makes its own.
    assert admit("/?" + query, origin) == allowed_origin
    assert admit("/?" + query, origin, token=" OFF ") == allowed_origin
    assert not admit(with_token, origin, token="")


# --- the run's own token, the run file, [::1] and the log ------------------

OWN_TOKEN = """
import logging, os, re, stat, sys, threading, time, Vesk
from websockets.sync.client import connect
from websockets.exceptions import InvalidStatus
logging.basicConfig(level=logging.DEBUG, format="log: %(message)s")
logging.getLogger("websockets.client").setLevel(logging.WARNING)  # this test's own client, not the bridge
class Bridge(Vesk.Vesk_Pal_st):
    num_envs = 1
env = object.__new__(Bridge)
threading.Thread(target=env.start_queue(), daemon=True).start()
run_file = os.path.join(os.path.dirname(os.path.abspath(Vesk.__file__)), "..", "dist", "assets", "vesk-run.js")
deadline = time.monotonic() + 10
while not os.path.exists(run_file) and time.monotonic() < deadline:
    time.sleep(0.02)
text = open(run_file).read()
port, token = re.search(r"port: (\\d+), token: '([\\w-]+)'", text).groups()
env.send_queue.put("task")
def attempt(host, query, origin=None):
    try:
        with connect(f"ws://{host}:{port}/{query}", origin=origin, open_timeout=5) as ws:
            task = ws.recv(timeout=5)
            ws.send("'answered'")
            return task
    except InvalidStatus as error:
        return error.response.status_code
print(port == os.environ["VESK_PORT"], oct(stat.S_IMODE(os.stat(run_file).st_mode)), len(token), flush=True)
print([attempt("127.0.0.1", q, o) for q, o in [("", None), ("?token=" + token + "x", "null"),
                                                 ("?token=" + token, "https://evil.example")]], flush=True)
# A client that dials "localhost" may meet [::1] first: the bridge holds it too.
print(attempt("[::1]", "?token=" + token, "null"), env.reply_quene.get(), flush=True)
print("TOKEN", token, flush=True)
"""


@pytest.fixture(name="layout")
def layout_fixture(tmp_path):
    """tmp/lib holds a copy of the module, so its bundle folder is tmp/dist
    (with an empty assets folder)."""
    lib, assets = tmp_path / "lib", tmp_path / "dist" / "assets"
    lib.mkdir()
    assets.mkdir(parents=True)
    shutil.copy2(Vesk.__file__, lib)
    return lib, assets


def test_without_a_setting_only_the_runs_own_token_from_the_run_file_admits(layout):
    lib, assets = layout
    result = run_scenario(OWN_TOKEN, None, env=subprocess_env(PYTHONPATH=str(lib), VESK_TOKEN=""), timeout=30)
    assert result.returncode == 0, result.summary()
    lines = result.stdout.splitlines()
    assert lines[:3] == ["True 0o600 43", "[403, 403, 403]", "task 'answered'"], result.summary()
    token = lines[3].split()[1]
    # The fix is told once on stderr (never stdout); the log never holds the token.
    fixes = [line for line in result.stderr.splitlines() if line.startswith("Vesk: ")]
    assert len(fixes) == 1 and fixes[0].startswith("Vesk: a front-end without this run's token was refused (HTTP 403)")
    assert str(assets / "vesk-run.js") in os.path.normpath(fixes[0].split("(its token is in ")[1].split(")")[0])
    assert token not in result.stderr
    requests = [line for line in result.stderr.splitlines() if line.startswith("log: < GET")]
    assert len(requests) == 4 and all("token=<redacted>" in r for r in requests[1:]), requests
    assert os.listdir(assets) == ["vesk-run.js"]  # no temporary file left


@pytest.mark.parametrize("token, query", [("off", ""), ("the-users-own", "?token=the-users-own")])
def test_a_token_set_or_off_is_never_written_to_the_bundle_folder(layout, token, query):
    lib, assets = layout
    result = run_scenario(PRELUDE + 'show(env.one_task("one"))', [Text("1")], path="/" + query,
                          env=subprocess_env(PYTHONPATH=str(lib), VESK_TOKEN=token))
    assert result.returncode == 0 and result.stdout == "1\n", result.summary()
    assert os.listdir(assets) == []


def test_a_squatter_on_ipv6_loopback_stops_the_bridge_from_starting():
    squatter = socket.socket(socket.AF_INET6)
    try:
        squatter.bind(("::1", 0))
    except OSError as error:
        squatter.close()
        pytest.skip(f"no IPv6 loopback here: {error}")
    with squatter:
        squatter.listen()
        port = squatter.getsockname()[1]
        result = run_scenario(PRELUDE + "env.one_task('task')", None,
                              port=port, timeout=20)
        squatter.settimeout(0.5)
        with pytest.raises(socket.timeout):
            squatter.accept()
    assert result.returncode == 1, result.summary()
    line = result.stderr.splitlines()[-1]
    assert line.startswith(f"Vesk: the bridge cannot listen on 127.0.0.1 port {port}: OSError: [Errno 98] "), line
    assert "'::1'" in line


NO_IPV6 = """
import asyncio, errno, socket
listen = asyncio.base_events.BaseEventLoop.create_server
async def create_server(self, factory, host=None, port=None, **options):
    if not isinstance(host, str):  # as on a machine without IPv6 loopback
        raise {error}
    return await listen(self, factory, host, port, **options)
asyncio.base_events.BaseEventLoop.create_server = create_server
"""


@pytest.mark.parametrize("error", ["OSError(errno.EADDRNOTAVAIL, 'cannot assign requested address')",
                                   "socket.gaierror(socket.EAI_ADDRFAMILY, 'address family not supported')"])
def test_without_ipv6_loopback_the_bridge_serves_127_0_0_1_alone(error):
    program = NO_IPV6.format(error=error) + PRELUDE + 'show(env.one_task("one"))'
    result = run_scenario(program, [Text("1")], env=subprocess_env(VESK_TOKEN="off"))
    assert result.returncode == 0 and result.messages == ['"one"'], result.summary()
    assert result.stdout == "1\n"
