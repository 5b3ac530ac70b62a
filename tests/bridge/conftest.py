"""What the bridge's end-to-end tests run against, each started by the test
and ended by its process id: a mosquitto broker on a free loopback port
with a configuration of its own, the simulated server in instant mode, and
`kovra62386 bridge` itself.

ctest runs the tests through tests/support/isolated (a network namespace,
registry root and runtime folder of their own) and names the programs:
KOVRA62386_CLI, KOVRA62386_SERVER, KOVRA62386_INSTALLATION.
"""

import json
import os
import shutil
import signal
import socket
import subprocess
import threading
import time
import uuid

import pytest

try:
    import paho.mqtt.client as mqtt
except ImportError:  # a clear message instead of a collection error
    mqtt = None

PREFIX = "kovra62386"
DISCOVERY = "homeassistant"
# Long enough for a bus scan on a loaded machine; every wait ends early on
# its event.
DEADLINE = 30.0


def _program(variable):
    path = os.environ.get(variable)
    if not path or not os.access(path, os.X_OK):
        pytest.fail(f"{variable} does not name a program (run through ctest)")
    return path


def _wait(predicate, timeout, what):
    """Polls a cheap check against a deadline (for process-level facts that
    offer no event to wait on)."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() >= deadline:
            pytest.fail(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(0.02)


def end_process(process, timeout=10):
    """SIGTERM, then SIGKILL after `timeout`; returns the exit status."""
    if process.poll() is None:
        os.kill(process.pid, signal.SIGTERM)
        try:
            process.wait(timeout)
        except subprocess.TimeoutExpired:
            os.kill(process.pid, signal.SIGKILL)
            process.wait()
    return process.returncode


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Broker:
    """mosquitto on 127.0.0.1:port, without persistence: a restart forgets
    every retained message, so what comes back was published again."""

    def __init__(self, directory):
        self.port = free_port()
        self.config = os.path.join(directory, "mosquitto.conf")
        self.log = os.path.join(directory, "mosquitto.log")
        with open(self.config, "w") as f:
            f.write(f"listener {self.port} 127.0.0.1\n"
                    "allow_anonymous true\n"
                    "persistence false\n"
                    "log_dest stderr\n")
        self.process = None

    def _accepts(self):
        assert self.process.poll() is None, f"mosquitto ended; see {self.log}"
        try:
            socket.create_connection(("127.0.0.1", self.port), 0.2).close()
            return True
        except OSError:
            return False

    def start(self):
        program = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
        with open(self.log, "a") as log:
            self.process = subprocess.Popen([program, "-c", self.config],
                                            stdout=log, stderr=log)
        _wait(self._accepts, 10, "mosquitto to listen")

    def stop(self):
        if self.process is not None:
            end_process(self.process)
            self.process = None

    @property
    def address(self):
        return f"127.0.0.1:{self.port}"


class Watcher:
    """A paho client subscribed to everything; tests wait on its condition
    variable for the message they expect."""

    def __init__(self, broker, topics=("#",)):
        self.messages = []  # (topic, payload text, retained)
        self.last = {}      # topic -> payload text
        self._changed = threading.Condition()
        self._subscribed = threading.Event()
        self.client = mqtt.Client(client_id=f"watcher-{uuid.uuid4().hex[:8]}")
        self.client.on_message = self._on_message
        self.client.on_subscribe = lambda *args: self._subscribed.set()
        self.client.connect("127.0.0.1", broker.port)
        self.client.subscribe([(topic, 1) for topic in topics])
        self.client.loop_start()
        assert self._subscribed.wait(10), "the watcher was not subscribed"

    def _on_message(self, client, userdata, message):
        text = message.payload.decode("utf-8", "replace")
        with self._changed:
            self.messages.append((message.topic, text, bool(message.retain)))
            self.last[message.topic] = text
            self._changed.notify_all()

    def wait_for(self, predicate, what, timeout=DEADLINE):
        """Waits until predicate(self) holds; returns its value."""
        with self._changed:
            result = self._changed.wait_for(lambda: predicate(self), timeout)
            if not result:
                recent = "\n".join(f"  {t}: {p[:200]}" for t, p, _ in self.messages[-15:])
                pytest.fail(f"timed out waiting for {what}; last messages:\n{recent}")
            return result

    def mark(self):
        """Where the messages that arrive from now on begin (for `since`)."""
        with self._changed:
            return len(self.messages)

    def wait_payload(self, topic, accept, what=None, timeout=DEADLINE, since=0):
        """Waits for a message on `topic` whose payload `accept` takes, among
        those from `since` on; returns that payload (JSON decoded when it
        parses)."""
        def found(watcher):
            for t, text, _ in reversed(watcher.messages[since:]):
                if t != topic:
                    continue
                value = decode(text)
                if accept(value):
                    return (value,)
            return None
        return self.wait_for(found, what or f"a match on {topic}", timeout)[0]

    def notify(self):
        with self._changed:
            self._changed.notify_all()

    def count(self, topic):
        with self._changed:
            return sum(1 for t, _, _ in self.messages if t == topic)

    def publish(self, topic, payload, qos=1, retain=False):
        if not isinstance(payload, (str, bytes)):
            payload = json.dumps(payload)
        self.client.publish(topic, payload, qos=qos, retain=retain).wait_for_publish()

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


def decode(text):
    try:
        return json.loads(text)
    except ValueError:
        return text


class Bridge:
    """`kovra62386 bridge` on `broker`; `arguments` replace the node, prefix
    and discovery prefix options (then `node` and `prefix` say what they
    come to)."""

    def __init__(self, broker, node, directory, extra=(), arguments=None, prefix=PREFIX):
        self.node = node
        self.prefix = prefix
        self.log = os.path.join(directory, f"bridge-{node}.log")
        if arguments is None:
            arguments = ["--node", node, "--prefix", PREFIX, "--discovery-prefix", DISCOVERY]
        arguments = [_program("KOVRA62386_CLI"), "bridge", "--broker", broker.address,
                     *arguments, *extra]
        with open(self.log, "a") as log:
            self.process = subprocess.Popen(arguments, stdout=log, stderr=log,
                                            stdin=subprocess.DEVNULL)

    def topic(self, *levels):
        return "/".join((self.prefix, self.node) + tuple(str(level) for level in levels))

    def output(self):
        with open(self.log) as f:
            return f.read()

    def stop(self):
        return end_process(self.process)


def _published(root):
    key = os.path.join(root, "HKEY_CURRENT_USER", "SOFTWARE%5CTessivo%5CKOVRA-62386-Server.key")
    try:
        with open(key) as f:
            return "\tPort\t" in f.read()
    except OSError:
        return False


@pytest.fixture(scope="session")
def installation():
    with open(_program_file("KOVRA62386_INSTALLATION")) as f:
        return json.load(f)


def _program_file(variable):
    path = os.environ.get(variable)
    if not path or not os.path.isfile(path):
        pytest.fail(f"{variable} does not name a file (run through ctest)")
    return path


@pytest.fixture(scope="session")
def server(tmp_path_factory):
    """The simulated server in instant mode, published in the test's own
    registry, where the bridge and the CLI find it."""
    if mqtt is None:
        pytest.fail("python3-paho-mqtt is not installed (./dev deps installs it)")
    if not (shutil.which("mosquitto") or os.path.exists("/usr/sbin/mosquitto")):
        pytest.fail("the mosquitto broker is not installed (./dev deps installs it)")
    root = os.environ.get("KOVRA62386_REGISTRY_ROOT") or str(tmp_path_factory.mktemp("registry"))
    os.environ["KOVRA62386_REGISTRY_ROOT"] = root
    process = subprocess.Popen([_program("KOVRA62386_SERVER"), "--instant", "--installation",
                                _program_file("KOVRA62386_INSTALLATION")],
                               stdin=subprocess.DEVNULL)
    try:
        _wait(lambda: process.poll() is None and _published(root), 10,
              "the server to publish its address")
        yield process
    finally:
        end_process(process)


def run_cli(*arguments, check=True):
    result = subprocess.run([_program("KOVRA62386_CLI"), *arguments], capture_output=True,
                            text=True, timeout=60, stdin=subprocess.DEVNULL)
    if check:
        assert result.returncode == 0, \
            f"kovra62386 {' '.join(arguments)}: exit {result.returncode}\n{result.stderr}"
    return result


def start_bridge(broker, watcher, node, directory, extra=(), **options):
    """A bridge that has said `online`; one that ends first fails the test
    at once, with what it printed."""
    bridge = Bridge(broker, node, directory, extra, **options)
    threading.Thread(target=lambda: (bridge.process.wait(), watcher.notify()),
                     daemon=True).start()
    online = bridge.topic("status")
    watcher.wait_for(lambda w: bridge.process.poll() is not None or
                     any(t == online and p == "online" for t, p, _ in w.messages),
                     f"bridge {node} to go online")
    if bridge.process.poll() is not None:
        pytest.fail(f"the bridge ended with {bridge.process.returncode}:\n{bridge.output()}")
    return bridge


@pytest.fixture(scope="module")
def broker(tmp_path_factory, server):
    broker = Broker(str(tmp_path_factory.mktemp("broker")))
    broker.start()
    yield broker
    broker.stop()


@pytest.fixture(scope="module")
def watcher(broker):
    watcher = Watcher(broker)
    yield watcher
    watcher.close()


@pytest.fixture(scope="module")
def bridge(broker, watcher, tmp_path_factory):
    bridge = start_bridge(broker, watcher, "node-a", str(tmp_path_factory.mktemp("bridge")))
    yield bridge
    status = bridge.stop()
    assert status == 0, f"the bridge ended with {status} on SIGTERM:\n{bridge.output()}"
    # A bridge that leaves in order says so, as its last will would.
    watcher.wait_payload(bridge.topic("status"), lambda p: p == "offline",
                         "offline after a clean stop")
