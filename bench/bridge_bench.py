#!/usr/bin/python3
"""The MQTT bridge's figures, each beside its baseline from the same run:

  - an MQTT `set` to its DAPC frame on the bus (instant server), p50 and
    p99, against a bare publish-subscribe round trip on the same broker;
  - idle: the bridge on 4 buses with 64 gear each, its CPU share and its
    wake-ups (voluntary context switches of all its threads) over a window;
  - a storm of 10 000 `set`s for one gear within a second (real bus
    timing): the bridge's RSS before and after, and how long after the
    storm's last message the bus gets its value, against one DAPC
    transaction on that bus.

  bench/bridge_bench.py BUILD_DIR      (bench/run-benchmarks runs it)

Prints `@row|figure|measured|baseline|ratio|goal|met` lines for the
runner's table. Everything it starts (broker, server, bridge) it ends by
process id. The library connects to 127.0.0.1:42000, so the run needs the
port (the runner gives it a network namespace of its own) and a registry
root of its own (KOVRA62386_REGISTRY_ROOT, set by the runner).

Frames on the bus are seen through the Python module (bindings/python) as
another client of the server: the DAPC figure therefore includes the
server's forwarding of the frame to that client, which a bare round trip
does not have to pay; the figure errs against the bridge.
"""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

import paho.mqtt.client as mqtt

ROUND_TRIPS = int(os.environ.get("BRIDGE_BENCH_ROUND_TRIPS", "1000"))
IDLE_SECONDS = float(os.environ.get("BRIDGE_BENCH_IDLE_SECONDS", "60"))
# The bridge asks the server for its interfaces ever less often after its
# start (1 s, 2 s, ... up to 60 s); the window begins once that pace is
# reached.
IDLE_WARMUP = float(os.environ.get("BRIDGE_BENCH_IDLE_WARMUP", "65"))
MOSQUITTO_THREAD = "mosquitto loop"
STORM = 10_000
NODE = "bench"
PREFIX = "kovra62386"
# libmosquitto's keep-alive as the bridge sets it (seconds): its pings are
# the only wake-ups an idle bridge may have.
KEEPALIVE = float(os.environ.get("BRIDGE_BENCH_KEEPALIVE", "60"))
CLK_TCK = os.sysconf("SC_CLK_TCK")


def row(figure, measured, baseline, ratio, goal, met):
    print(f"@row|{figure}|{measured}|{baseline}|{ratio}|{goal}|{met}", flush=True)


def wait_until(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise TimeoutError(what)
        time.sleep(0.01)


def end(process):
    if process.poll() is None:
        os.kill(process.pid, signal.SIGTERM)
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            os.kill(process.pid, signal.SIGKILL)
            process.wait()


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(p / 100 * len(ordered)))]


class Broker:
    def __init__(self, directory):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        config = os.path.join(directory, "mosquitto.conf")
        with open(config, "w") as f:
            f.write(f"listener {self.port} 127.0.0.1\nallow_anonymous true\n"
                    "persistence false\nlog_dest none\n")
        program = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
        self.process = subprocess.Popen([program, "-c", config])

        def accepts():
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.2).close()
                return True
            except OSError:
                return False
        wait_until(accepts, 10, "mosquitto to listen")


class Client:
    """A paho client whose messages go to `on_message(topic, payload)`."""

    def __init__(self, broker, name, topics=(), on_message=None):
        self.client = mqtt.Client(client_id=f"bench-{name}-{os.getpid()}")
        self.client.on_message = lambda c, u, m: on_message(m.topic, m.payload)
        subscribed = threading.Event()
        self.client.on_subscribe = lambda *args: subscribed.set()
        self.client.connect("127.0.0.1", broker.port, keepalive=600)
        self.client.loop_start()
        if topics:
            self.client.subscribe([(t, 0) for t in topics])
            if not subscribed.wait(10):
                raise TimeoutError("subscription")

    def publish(self, topic, payload):
        return self.client.publish(topic, payload, qos=0)

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


def write_installation(path, buses, gear_per_bus):
    interfaces = [{"name": f"SIM-{b + 1}",
                   "gear": [{"short_address": a, "device_type": 6, "level": 100}
                            for a in range(gear_per_bus)],
                   "control_devices": []} for b in range(buses)]
    with open(path, "w") as f:
        json.dump({"interfaces": interfaces}, f)


def published(root):
    key = os.path.join(root, "HKEY_CURRENT_USER", "SOFTWARE%5CTessivo%5CKOVRA-62386-Server.key")
    try:
        with open(key) as f:
            return "\tPort\t" in f.read()
    except OSError:
        return False


class Setup:
    """Server (instant or real timing), broker and bridge, and a library
    client that sees every forward frame of SIM-1."""

    def __init__(self, build, directory, real_timing, buses=1, gear=64, named=False):
        import kovra62386 as k
        self.k = k
        self.directory = directory
        installation = os.path.join(directory, "installation.json")
        write_installation(installation, buses, gear)
        root = os.environ["KOVRA62386_REGISTRY_ROOT"]
        self.server = subprocess.Popen(
            [os.path.join(build, "bin", "Kovra62386Server"),
             "--real-timing" if real_timing else "--instant",
             "--installation", installation], stdout=subprocess.DEVNULL)
        wait_until(lambda: published(root), 10, "the server")
        self.broker = Broker(directory)
        self.state_topics = {f"{PREFIX}/{NODE}/SIM-{b + 1}/gear/{a}/state"
                             for b in range(buses) for a in range(gear)}
        self.states = set()
        self.changed = threading.Condition()
        self.watcher = Client(self.broker, "watch", [f"{PREFIX}/{NODE}/+/gear/+/state"],
                              self._on_state)
        self.bridge = subprocess.Popen(
            [os.path.join(build, "bin", "kovra62386"), "bridge", "--broker",
             f"127.0.0.1:{self.broker.port}", "--node", NODE, "--prefix", PREFIX,
             "--no-discovery"] +
            [f"--interface=SIM-{b + 1}" for b in range(buses) if named],
            stdout=subprocess.DEVNULL)
        with self.changed:
            if not self.changed.wait_for(lambda: self.states >= self.state_topics, 120):
                raise TimeoutError(f"the bridge published {len(self.states)} of "
                                   f"{len(self.state_topics)} gear states")
        self.frames = []
        self.session = k.Session()
        self.bus = self.session.open("SIM-1")
        self.transceiver = self.bus.transceiver(self._on_frame)

    def _on_state(self, topic, payload):
        with self.changed:
            self.states.add(topic)
            self.changed.notify_all()

    def _on_frame(self, frame):
        if isinstance(frame, self.k.ForwardFrame):
            with self.changed:
                self.frames.append((time.perf_counter(), bytes(frame.data)))
                self.changed.notify_all()

    def wait_frame(self, data, timeout=10):
        """The time `data` was seen, and every frame up to it (then forgotten)."""
        with self.changed:
            if not self.changed.wait_for(lambda: any(d == data for _, d in self.frames),
                                         timeout):
                raise TimeoutError(f"frame {data.hex()}")
            index = next(i for i, (_, d) in enumerate(self.frames) if d == data)
            seen = [d for _, d in self.frames[:index + 1]]
            found = self.frames[index][0]
            del self.frames[:index + 1]
            return found, seen

    def close(self):
        self.transceiver.stop()
        self.bus.close()
        self.session.close()
        end(self.bridge)
        self.watcher.close()
        end(self.broker.process)
        end(self.server)


def dapc(address, level):
    return bytes([address << 1, level])


def bench_latency(build, directory):
    setup = Setup(build, directory, real_timing=False)
    try:
        arrived = threading.Condition()
        received = []
        echo = Client(setup.broker, "echo", ["bench/echo"],
                      lambda t, p: (arrived.acquire(), received.append(time.perf_counter()),
                                    arrived.notify_all(), arrived.release()))
        sender = Client(setup.broker, "send")
        bare, bridged = [], []
        set_topic = f"{PREFIX}/{NODE}/SIM-1/gear/3/set"
        for i in range(ROUND_TRIPS + 50):
            # The bare round trip and the bridged set take turns, so both
            # meet the same load.
            with arrived:
                received.clear()
                start = time.perf_counter()
                sender.publish("bench/echo", b"x")
                if not arrived.wait_for(lambda: received, 10):
                    raise TimeoutError("bare round trip")
                bare_time = received[0] - start
            level = 10 + i % 200
            start = time.perf_counter()
            sender.publish(set_topic, json.dumps({"brightness": level}))
            seen, _ = setup.wait_frame(dapc(3, level))
            if i >= 50:  # warm-up
                bare.append(bare_time)
                bridged.append(seen - start)
        echo.close()
        sender.close()
    finally:
        setup.close()
    b50, b99 = percentile(bare, 50) * 1e6, percentile(bare, 99) * 1e6
    m50, m99 = percentile(bridged, 50) * 1e6, percentile(bridged, 99) * 1e6
    row(f"bridge: MQTT set to its DAPC on the bus, p50 ({ROUND_TRIPS} sets, instant server)",
        f"{m50:.0f} us", f"{b50:.0f} us (bare MQTT publish-subscribe round trip p50)",
        f"{m50 / b50:.2f}x", "<= 2x the bare round trip", "yes" if m50 <= 2 * b50 else "NO")
    row("bridge: MQTT set to its DAPC on the bus, p99", f"{m99:.0f} us",
        f"{b99:.0f} us (bare round trip p99)", f"{m99 / b99:.2f}x",
        "<= 2x the bare round trip", "yes" if m99 <= 2 * b99 else "NO")


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime, all threads


def wakeups(pid):
    """Voluntary context switches per thread, keyed (name, thread id): each
    is a sleep, so each return from one is a wake-up. libmosquitto names its
    network thread; the bridge's own threads carry the program's name."""
    counts = {}
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/comm") as f:
                name = f.read().strip()
            with open(f"/proc/{pid}/task/{task}/status") as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches"):
                        counts[(name, int(task))] = int(line.split()[1])
        except OSError:
            pass  # a thread that ended meanwhile
    return counts


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS"):
                return int(line.split()[1])
    return 0


def bench_idle(build, directory):
    # Bridging every interface the server lists, so the enumeration is
    # asked once a minute for new ones; then the four named, when nothing
    # is looked for while all of them are open.
    for named in (False, True):
        bench_idle_once(build, directory, named)


def bench_idle_once(build, directory, named):
    how = "named with --interface" if named else "all listed"
    setup = Setup(build, directory, real_timing=False, buses=4, gear=64, named=named)
    try:
        pid = setup.bridge.pid
        # Settle: the last state publications and re-reads are done, and
        # whatever the bridge does ever less often after its start has
        # reached its slowest pace.
        wait_quiet(pid)
        threading.Event().wait(IDLE_WARMUP)
        ticks, wakes, start = cpu_ticks(pid), wakeups(pid), time.monotonic()
        threading.Event().wait(IDLE_SECONDS)  # the measuring window itself
        ticks, elapsed = cpu_ticks(pid) - ticks, time.monotonic() - start
        wakes = {name: count - wakes.get(name, 0) for name, count in wakeups(pid).items()}
    finally:
        setup.close()
    share = ticks / CLK_TCK / elapsed * 100
    network = sum(n for (name, _), n in wakes.items() if name == MOSQUITTO_THREAD)
    # Thread ids count up in the order the threads started (the first is
    # the main thread).
    busy = [f"{tid - pid}: {n}" for (name, tid), n in sorted(wakes.items())
            if name != MOSQUITTO_THREAD and n]
    others = sum(n for (name, _), n in wakes.items() if name != MOSQUITTO_THREAD)
    allowed = 2 * (int(elapsed // KEEPALIVE) + 1)  # a ping and its answer
    row(f"bridge idle, 4 buses x 64 gear ({how}): CPU over {elapsed:.0f} s (after {IDLE_WARMUP:.0f} s)",
        f"{share:.3f} % of a core", "-", "-", "< 0.1 % of a core",
        "yes" if share < 0.1 else "NO")
    row(f"bridge idle ({how}): wake-ups of libmosquitto's network thread over {elapsed:.0f} s",
        f"{network} ({network / elapsed:.3f}/s)",
        f"{allowed} (keep-alive {KEEPALIVE:.0f} s: ping and answer)", "-",
        "the keep-alive's only", "yes" if network <= allowed else "NO")
    row(f"bridge idle ({how}): wake-ups of every other thread over {elapsed:.0f} s",
        f"{others} ({others / elapsed:.3f}/s; by thread number: {', '.join(busy) or '-'})",
        "0", "-", "0", "yes" if others == 0 else "NO")


def wait_quiet(pid, quiet=2.0, timeout=60):
    """Until the process has not run for `quiet` seconds."""
    deadline = time.monotonic() + timeout
    last, since = cpu_ticks(pid), time.monotonic()
    while time.monotonic() - since < quiet:
        if time.monotonic() > deadline:
            raise TimeoutError("the bridge never went quiet")
        time.sleep(0.1)
        now = cpu_ticks(pid)
        if now != last:
            last, since = now, time.monotonic()


def bench_storm(build, directory):
    setup = Setup(build, directory, real_timing=True)
    try:
        pid = setup.bridge.pid
        sender = Client(setup.broker, "storm")
        k = setup.k
        # One DAPC on this bus, as a client that waits for it sees it.
        start = time.perf_counter()
        setup.bus.send(k.ArcPower(k.short(4), 50))
        transaction = time.perf_counter() - start
        wait_quiet(pid)
        before = rss_kib(pid)
        with setup.changed:
            setup.frames.clear()
        topic = f"{PREFIX}/{NODE}/SIM-1/gear/4/set"
        # When the storm's last message reached a subscriber beside the
        # bridge: the end of the storm as the bridge meets it.
        delivered = []
        tail = threading.Event()
        storm_watch = Client(setup.broker, "storm-watch", [topic], lambda t, p: (
            b"254" in p and (delivered.append(time.perf_counter()), tail.set())))
        start = time.perf_counter()
        # Levels 1-252 cycle; only the last message asks for 254. Spread
        # over a second in 100 slices of 100, as a dragged slider (or many)
        # would send them, rather than one burst that the broker queues.
        pace = threading.Event()
        for i in range(STORM):
            if i % 100 == 0:
                pace.wait(max(0.0, start + i / STORM - time.perf_counter()))
            level = 254 if i == STORM - 1 else 1 + i % 252
            sender.publish(topic, json.dumps({"brightness": level}))
        sent = time.perf_counter()
        arrived, frames = setup.wait_frame(dapc(4, 254), timeout=60)
        if not tail.wait(60):
            raise TimeoutError("the storm's last message")
        dapcs = sum(1 for d in frames if d[0] == 4 << 1)
        wait_quiet(pid)
        after = rss_kib(pid)
        storm_watch.close()
        sender.close()
    finally:
        setup.close()
    late = arrived - sent
    row(f"bridge: storm of {STORM} sets published in {sent - start:.2f} s, last value on the "
        f"bus after the last publish (real timing; a subscriber beside the bridge had the last "
        f"message {(delivered[0] - sent) * 1e3:.1f} ms after it)", f"{late * 1e3:.1f} ms",
        f"{transaction * 1e3:.1f} ms (one DAPC transaction)", f"{late / transaction:.2f}x",
        "<= 2 transactions (the one in flight, then its own)",
        "yes" if late <= 2 * transaction else "NO")
    row(f"bridge: RSS before and after the storm ({dapcs} DAPCs reached the bus)",
        f"{after} KiB", f"{before} KiB", f"{after / before:.2f}x", "flat (< 1 MiB more)",
        "yes" if after - before < 1024 else "NO")


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    build = os.path.abspath(sys.argv[1])
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                    "..", "bindings", "python"))
    os.environ.setdefault("KOVRA62386_LIBRARY",
                          os.path.join(build, "bin", "libKovra62386Communication.so"))
    os.environ.setdefault("KOVRA62386_REGISTRY_ROOT", tempfile.mkdtemp(prefix="bridge-bench-"))
    for name in os.environ.get("BRIDGE_BENCH_PARTS", "latency idle storm").split():
        with tempfile.TemporaryDirectory(prefix=f"bridge-bench-{name}-") as directory:
            print(f"-- {name}", flush=True)
            globals()[f"bench_{name}"](build, directory)
    return 0


if __name__ == "__main__":
    sys.exit(main())
