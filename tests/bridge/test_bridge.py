"""`kovra62386 bridge` end to end: a real mosquitto broker, the simulated
server and the bridge as separate processes, checked through paho and the
kovra62386 CLI (see conftest.py)."""

import json
import os
import signal
import subprocess
import threading

from conftest import (DEADLINE, DISCOVERY, Bridge, Broker, Watcher, end_process, run_cli,
                      start_bridge, _program)


def addressed_gear(installation, interface):
    for description in installation["interfaces"]:
        if description["name"] == interface:
            return {g["short_address"]: g for g in description["gear"]
                    if g.get("short_address") is not None}
    raise KeyError(interface)


def event_configs(watcher):
    prefix = DISCOVERY + "/event/"
    return {t: json.loads(p) for t, p in watcher.last.items()
            if t.startswith(prefix) and t.endswith("/config") and p}


def light_configs(watcher):
    prefix = DISCOVERY + "/light/"
    return {t: json.loads(p) for t, p in watcher.last.items()
            if t.startswith(prefix) and t.endswith("/config") and p}


def test_discovery_config_and_state_for_every_gear(bridge, watcher, installation):
    wanted = {}
    for description in installation["interfaces"]:
        for address, gear in addressed_gear(installation, description["name"]).items():
            wanted[bridge.topic(description["name"], "gear", address, "state")] = gear

    # And a light for each group in use.
    groups = {bridge.topic(d["name"], "group", g, "state")
              for d in installation["interfaces"] for gear in d["gear"]
              if gear.get("short_address") is not None for g in gear.get("groups", [])}

    def configs_for_every_light(w):
        configs = light_configs(w)
        states = {c.get("state_topic") for c in configs.values()}
        return configs if set(wanted) | groups <= states else None
    configs = watcher.wait_for(configs_for_every_light, "a light config for every gear and group")

    unique_ids = [c["unique_id"] for c in configs.values()]
    assert len(unique_ids) == len(set(unique_ids)), "unique_id used twice"
    for topic, config in configs.items():
        assert topic == f"{DISCOVERY}/light/{config['unique_id']}/config"
        assert config["schema"] == "json" and config["brightness_scale"] == 254
        availability = {a["topic"] for a in config["availability"]}
        assert bridge.topic("status") in availability
    by_state = {c["state_topic"]: c for c in configs.values()}
    for state_topic, gear in wanted.items():
        config = by_state[state_topic]
        interface = state_topic.split("/")[2]
        assert bridge.topic(interface, "status") in {a["topic"] for a in config["availability"]}
        assert config["command_topic"] == state_topic[:-len("state")] + "set"
        if gear.get("device_type") == 8:
            assert config["supported_color_modes"] == ["color_temp"]
            assert config["min_mireds"] == gear.get("physical_coolest_mirek", 153)
            assert config["max_mireds"] == gear.get("physical_warmest_mirek", 370)
        else:
            assert config["supported_color_modes"] == ["brightness"]

    # An event entity for each instance of each addressed control device.
    for description in installation["interfaces"]:
        interface = description["name"]
        for device in description["control_devices"]:
            if device.get("short_address") is None:
                continue
            events = bridge.topic(interface, "device", device["short_address"], "event")
            watcher.wait_for(
                lambda w: len([c for t, c in event_configs(w).items()
                               if c.get("state_topic") == events]) == len(device["instances"]),
                f"an event config for each instance on {events}")

    # The retained state of each gear: its level as brightness, never 255.
    for state_topic, gear in wanted.items():
        state = watcher.wait_payload(state_topic, lambda p: isinstance(p, dict),
                                     f"the state on {state_topic}")
        if gear.get("level", 0) == 0:
            assert state["state"] == "OFF", state_topic
        else:
            assert state == {**state, "state": "ON", "brightness": gear["level"]}, state_topic


def test_set_brightness_reaches_the_bus(bridge, watcher):
    state = bridge.topic("SIM-1", "gear", 5, "state")
    watcher.publish(bridge.topic("SIM-1", "gear", 5, "set"), {"state": "ON", "brightness": 99})
    watcher.wait_payload(state, lambda p: isinstance(p, dict) and p.get("brightness") == 99,
                         "brightness 99 on the state topic")
    answer = json.loads(run_cli("--json", "query", "SIM-1", "5", "QUERY ACTUAL LEVEL").stdout)
    assert answer["answer"] == 99


def gear_state(bridge, watcher, interface, address, accept, what, since=0):
    return watcher.wait_payload(bridge.topic(interface, "gear", address, "state"),
                                lambda p: isinstance(p, dict) and accept(p), what, since=since)


def test_off_then_on_recalls_the_last_level(bridge, watcher):
    set_topic = bridge.topic("SIM-1", "gear", 9, "set")
    watcher.publish(set_topic, {"state": "OFF"})
    gear_state(bridge, watcher, "SIM-1", 9, lambda p: p["state"] == "OFF", "gear 9 OFF")
    since = watcher.mark()
    watcher.publish(set_topic, {"state": "ON"})
    gear_state(bridge, watcher, "SIM-1", 9,
               lambda p: p["state"] == "ON" and p.get("brightness") == 85,
               "gear 9 back on its level 85", since=since)


def test_colour_temperature_and_groups_reach_the_bus(bridge, watcher):
    watcher.publish(bridge.topic("SIM-1", "gear", 10, "set"), {"color_temp": 300})
    gear_state(bridge, watcher, "SIM-1", 10,
               lambda p: p.get("color_mode") == "color_temp" and p.get("color_temp") == 300,
               "gear 10 at 300 mireds")
    scan = json.loads(run_cli("--json", "scan", "SIM-1").stdout)
    assert [g["colour_temperature"]["mirek"] for g in scan["gear"] if g["address"] == 10] == [300]
    # Group 3 is gear 10 and 11: both follow, and so does the group's state.
    watcher.publish(bridge.topic("SIM-1", "group", 3, "set"), {"brightness": 42})
    for address in (10, 11):
        gear_state(bridge, watcher, "SIM-1", address, lambda p: p.get("brightness") == 42,
                   f"gear {address} at 42 after group 3's set")
    watcher.wait_payload(bridge.topic("SIM-1", "group", 3, "state"),
                         lambda p: isinstance(p, dict) and p.get("brightness") == 42,
                         "group 3 at 42")


def test_an_interface_without_bus_power_is_offline_until_it_returns(bridge, watcher):
    status = bridge.topic("SIM-2", "status")
    try:
        run_cli("sim", "power", "SIM-2", "off")
        watcher.wait_payload(status, lambda p: p == "offline", "SIM-2 offline without power")
        since = watcher.mark()
    finally:
        run_cli("sim", "power", "SIM-2", "on")
    watcher.wait_payload(status, lambda p: p == "online", "SIM-2 online with power again",
                         since=since)


def test_a_level_set_by_another_client_is_published(bridge, watcher):
    state = bridge.topic("SIM-2", "gear", 1, "state")
    run_cli("set", "SIM-2", "1", "77")
    watcher.wait_payload(state, lambda p: isinstance(p, dict) and p.get("brightness") == 77,
                         "brightness 77 after `kovra62386 set`")
    # A group command changes each member: gear 0 and 1 are in group 0.
    run_cli("set", "SIM-2", "g0", "off")
    for address in (0, 1):
        watcher.wait_payload(bridge.topic("SIM-2", "gear", address, "state"),
                             lambda p: isinstance(p, dict) and p.get("state") == "OFF",
                             f"gear {address} OFF after group 0 off")


def test_a_button_press_is_an_event(bridge, watcher):
    # Pressed, and released 200 ms later: both events, so that no frame of
    # this press is left to come.
    run_cli("sim", "press", "SIM-1", "7", "2")
    topic = bridge.topic("SIM-1", "device", 7, "event")
    for what in ("pressed", "released"):
        event = watcher.wait_payload(
            topic, lambda p: isinstance(p, dict) and p.get("instance") == 2 and
            p.get("event") == what, f"'{what}' from button 2 of device 7")
        assert event["type"] == "push_button"


class Monitor:
    """`kovra62386 --json monitor`: every forward frame on one bus, from any
    client."""

    def __init__(self, interface):
        self.frames = []
        self._changed = threading.Condition()
        self._listening = threading.Event()
        self.process = subprocess.Popen(
            [_program("KOVRA62386_CLI"), "--json", "monitor", interface],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
            text=True)
        self._readers = [threading.Thread(target=self._read, daemon=True),
                         threading.Thread(target=self._read_stderr, daemon=True)]
        for reader in self._readers:
            reader.start()
        # It says so once the interface is open.
        assert self._listening.wait(DEADLINE), "the monitor did not start"

    def _read_stderr(self):
        for line in self.process.stderr:
            if line.startswith("Monitoring"):
                self._listening.set()

    def _read(self):
        for line in self.process.stdout:
            try:
                event = json.loads(line)
            except ValueError:
                continue
            if event.get("event") == "forward":
                with self._changed:
                    self.frames.append(event["frame"].replace(" ", "").upper())
                    self._changed.notify_all()

    def mark(self, frame):
        """Sends `frame` from another client and waits until it shows; returns
        the frames seen before it."""
        run_cli("send", "SIM-1", frame)
        with self._changed:
            assert self._changed.wait_for(lambda: frame in self.frames, DEADLINE), \
                f"the monitor never saw {frame}"
            seen = self.frames[:self.frames.index(frame)]
            del self.frames[:self.frames.index(frame) + 1]
            return seen

    def stop(self):
        end_process(self.process)
        for reader in self._readers:
            reader.join(10)


# QUERY CONTROL GEAR PRESENT to short address 63, where no gear is: changes
# nothing the bridge follows.
MARKER = "7F91"


def test_bad_commands_get_an_error_and_no_frame(bridge, watcher):
    monitor = Monitor("SIM-1")
    try:
        monitor.mark(MARKER)  # nothing before it counts
        gear_set = bridge.topic("SIM-1", "gear", 2, "set")
        bad = [
            (gear_set, "{not json"),
            (gear_set, '{"state": "BLINK"}'),
            (gear_set, '{"state": "ON", "brightness": 255}'),
            (gear_set, '{"state": "ON", "brightness": -1}'),
            (gear_set, '{"brightness": "bright"}'),
            (gear_set, '["ON"]'),
            (bridge.topic("SIM-1", "send"), '{"id": "x", "data": "0BA", "bits": 16}'),
        ]
        expect_errors(bridge, watcher, bad)
        assert monitor.mark(MARKER) == [], "a bad command reached the bus"
    finally:
        monitor.stop()
    # Still running and still obeying.
    watcher.publish(bridge.topic("SIM-1", "gear", 2, "set"), {"brightness": 60})
    watcher.wait_payload(bridge.topic("SIM-1", "gear", 2, "state"),
                         lambda p: isinstance(p, dict) and p.get("brightness") == 60,
                         "brightness 60 after the bad commands")


def test_home_assistant_online_gets_the_configs_again_without_a_scan(bridge, watcher):
    ours = [t for t, c in light_configs(watcher).items()
            if c["state_topic"].startswith(bridge.topic() + "/")]
    assert ours
    monitor = Monitor("SIM-1")
    try:
        monitor.mark(MARKER)
        before = {t: watcher.count(t) for t in ours}
        watcher.publish(f"{DISCOVERY}/status", "online")
        watcher.wait_for(lambda w: all(w.count(t) > before[t] for t in ours),
                         "every light config published again")
        assert monitor.mark(MARKER) == [], "Home Assistant's online made the bridge scan"
    finally:
        monitor.stop()


def test_an_address_out_of_range_is_an_error_of_its_interface(bridge, watcher):
    # The topic names the interface, so its error topic gets the message.
    expect_errors(bridge, watcher, [
        (bridge.topic("SIM-1", "gear", 64, "set"), '{"state": "ON"}'),
        (bridge.topic("SIM-1", "group", 16, "set"), '{"state": "ON"}'),
    ])


def expect_errors(bridge, watcher, bad):
    """Publishes each (topic, payload); one error on the interface's error
    topic must name each topic."""
    error = bridge.topic("SIM-1", "error")
    before = watcher.count(error)
    for topic, payload in bad:
        watcher.publish(topic, payload)
    watcher.wait_for(lambda w: w.count(error) >= before + len(bad),
                     f"{len(bad)} messages on {error}")
    named = [decode_error(p) for t, p, _ in watcher.messages if t == error][before:]
    assert sorted(named) == sorted(topic for topic, _ in bad)


def decode_error(payload):
    value = json.loads(payload)
    assert value["error"], payload
    return value["topic"]


def test_sigkill_leaves_offline_by_last_will(broker, watcher, tmp_path):
    doomed = start_bridge(broker, watcher, "node-killed", str(tmp_path))
    os.kill(doomed.process.pid, signal.SIGKILL)
    doomed.process.wait()
    watcher.wait_payload(doomed.topic("status"), lambda p: p == "offline",
                         "the last will after SIGKILL")
    # Retained: a client that comes later reads it too.
    late = Watcher(broker, [doomed.topic("status")])
    try:
        late.wait_payload(doomed.topic("status"), lambda p: p == "offline",
                          "the retained offline")
    finally:
        late.close()


def test_the_config_file_sets_options_and_the_command_line_wins(broker, watcher, tmp_path):
    # The packaged service gives the bridge nothing but --config.
    config = tmp_path / "bridge.conf"
    config.write_text("# a comment\n"
                      "node = node-config\n"
                      "prefix = from-file\n"
                      "no-discovery = true\n"
                      "interface = SIM-1\n"
                      "interface = SIM-2\n")
    configured = start_bridge(broker, watcher, "node-config", str(tmp_path),
                              arguments=["--config", str(config), "--prefix", "site/dali",
                                         "--interface", "SIM-2"],
                              prefix="site/dali")
    try:
        watcher.wait_payload(configured.topic("SIM-2", "status"), lambda p: p == "online",
                             "SIM-2 online under the configured node and prefix")
        watcher.wait_payload(configured.topic("SIM-2", "gear", 0, "state"),
                             lambda p: isinstance(p, dict), "SIM-2's gear 0")
        # Only the configured interface, nothing under the file's prefix.
        assert not [t for t in watcher.last if t.startswith(configured.topic("SIM-1"))
                    or t.startswith("from-file/")]
        assert not [p for p in light_configs(watcher).values()
                    if p.get("state_topic", "").startswith(configured.topic())]
    finally:
        assert configured.stop() == 0, configured.output()


def test_each_interface_line_of_the_config_file_counts(broker, watcher, tmp_path):
    config = tmp_path / "bridge.conf"
    config.write_text("node = node-lines\ninterface = SIM-1\ninterface = SIM-2\n")
    lines = start_bridge(broker, watcher, "node-lines", str(tmp_path),
                         arguments=["--config", str(config)])
    try:
        for interface in ("SIM-1", "SIM-2"):
            watcher.wait_payload(lines.topic(interface, "status"), lambda p: p == "online",
                                 f"{interface} online")
    finally:
        assert lines.stop() == 0, lines.output()


def test_a_bridge_started_before_its_broker_connects_once_it_listens(server, tmp_path):
    # As at boot, when the broker's service comes up after the bridge's.
    broker = Broker(str(tmp_path))
    early = Bridge(broker, "node-early", str(tmp_path), ["--interface", "SIM-1"])
    watcher = None
    try:
        broker.start()
        watcher = Watcher(broker)
        watcher.wait_payload(early.topic("status"), lambda p: p == "online",
                             "the bridge online once the broker listens")
        assert early.process.poll() is None, early.output()
    finally:
        if watcher is not None:
            watcher.close()
        assert early.stop() == 0, early.output()
        broker.stop()


def test_broker_restart_brings_the_retained_state_back(server, tmp_path):
    broker = Broker(str(tmp_path))
    broker.start()
    watcher = Watcher(broker)
    bridge = None
    try:
        bridge = start_bridge(broker, watcher, "node-restart", str(tmp_path),
                              ["--interface", "SIM-1"])
        state = bridge.topic("SIM-1", "gear", 9, "state")
        watcher.wait_payload(state, lambda p: isinstance(p, dict), "gear 9's state")
        watcher.close()
        broker.stop()  # no persistence: every retained message is gone
        # Meanwhile the bus changes; the bridge learns it from the bus.
        run_cli("set", "SIM-1", "9", "123")
        broker.start()
        watcher = Watcher(broker)
        watcher.wait_payload(bridge.topic("status"), lambda p: p == "online",
                             "online again after the broker restarted")
        watcher.wait_payload(bridge.topic("SIM-1", "status"), lambda p: p == "online",
                             "the interface online again")
        watcher.wait_payload(state, lambda p: isinstance(p, dict) and p.get("brightness") == 123,
                             "gear 9's state again, with the level set meanwhile")
        assert watcher.wait_for(lambda w: light_configs(w) or None, "discovery configs again")
    finally:
        watcher.close()
        if bridge is not None:
            assert bridge.stop() == 0, bridge.output()
        broker.stop()


# REMOVE FROM GROUP 15 and ADD TO GROUP 15, to short address 9: the only
# member of group 15 in the installation.
LEAVE_GROUP_15 = "137F"
JOIN_GROUP_15 = "136F"


def test_a_group_emptied_by_another_client_stays_gone_after_a_broker_restart(server, tmp_path):
    broker = Broker(str(tmp_path))
    broker.start()
    watcher = Watcher(broker)
    bridge = None
    try:
        bridge = start_bridge(broker, watcher, "node-regroup", str(tmp_path),
                              ["--interface", "SIM-2"])
        state = bridge.topic("SIM-2", "group", 15, "state")
        config = watcher.wait_for(
            lambda w: next((t for t, c in light_configs(w).items()
                            if c["state_topic"] == state), None),
            "group 15's config")
        run_cli("send", "SIM-2", LEAVE_GROUP_15, "--twice")
        watcher.wait_payload(config, lambda p: p == "", "group 15's config removed")
        watcher.wait_payload(state, lambda p: p == "", "group 15's state cleared")
        watcher.close()
        broker.stop()  # no persistence: the bridge publishes from memory
        broker.start()
        watcher = Watcher(broker)
        # Republished in topic order: the interface's status comes after
        # every config and state of the bus.
        watcher.wait_payload(bridge.topic("SIM-2", "status"), lambda p: p == "online",
                             "the interface online again")
        assert not [p for t, p, _ in watcher.messages if t in (config, state) and p], \
            "the removed group came back"
        run_cli("send", "SIM-2", JOIN_GROUP_15, "--twice")
        watcher.wait_payload(config, lambda p: isinstance(p, dict), "group 15's config again")
    finally:
        watcher.close()
        run_cli("send", "SIM-2", JOIN_GROUP_15, "--twice", check=False)
        if bridge is not None:
            assert bridge.stop() == 0, bridge.output()
        broker.stop()
