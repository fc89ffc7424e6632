#!/usr/bin/python3
"""The soak run: weeks of an oven's life compressed into an hour, to show what only shows over
time (memory that creeps, descriptors and threads that pile up, a watchdog that falls behind,
reports that go missing). It starts the virtual IO board with its physics sped up, the oven
manager under a watchdog socket of its own, a local Mosquitto with the fleet agent, and the web
console; plays an operator and a technician through kitchen days chosen from the seed, with the
board's, the line's and the broker's troubles at random moments; samples every process; and
writes a report folder (samples.csv, plot.png, summary.txt). Exit status 0 when every bar holds.
Started by scripts/soak.sh after the build; run by /usr/bin/python3 (paho-mqtt, matplotlib)."""
import argparse
import collections
import csv
import hashlib
import http.client
import json
import math
import os
import random
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import demo  # noqa: E402  (the demo's scratch folder, process list and board commands)

OVEN_ID = "soak-oven"
ME = "soak_ui"
KIB = 1024
DAY_S = 86400.0
# Bars.
MEM_SLOPE_BAR = 64 * KIB        # bytes per simulated day
WD_GAP_BAR = 2.0                # s, outside firmware transfers and line trouble
WD_TROUBLE_BAR = 30.0           # s, during line trouble: half the unit's WatchdogSec=60
LATENCY_P99_BAR = 0.020         # s
TEMP_REG = 56
FIT_MIN_S = 120.0               # s of samples after a warm-up before memory is fitted
# The kinds of trouble, played at random (--trouble picks some).
TROUBLES = ["silence", "late", "bad-crc", "wrong-slave", "exception", "forget", "reboot",
            "tc-fault", "broker", "agent-kill", "firmware"]


def now():
    return time.monotonic()


# Linux's SO_TIMESTAMPNS (also its SCM_ type): the kernel's receive time of each datagram, so a
# watchdog gap is measured where the datagram arrived, not when a busy driver got to read it.
SO_TIMESTAMPNS = 35


class Failure(Exception):
    pass


# ---- the bus, as docs/bus.md describes it ----

def bus_encode(name, fmt, data=b"", sender=ME):
    strings = [s.encode() + b"\0" for s in (name, sender, fmt)]
    body = b"".join(strings)
    pad = (8 - len(body) % 8) % 8
    total = 12 + len(body) + pad + len(data)
    return struct.pack("=IHHHH", total, *(len(s) for s in strings), 0) + body + b"\0" * pad + data


def bus_decode(msg):
    total, n, t, f, _ = struct.unpack_from("=IHHHH", msg)
    if total != len(msg):
        raise ValueError("bad size")
    name = msg[12:12 + n].split(b"\0")[0].decode()
    fmt = msg[12 + n + t:12 + n + t + f].split(b"\0")[0].decode()
    start = 12 + n + t + f + (8 - (n + t + f) % 8) % 8
    data = msg[start:]
    out, at = {}, 0
    for width, kind, count, field in re.findall(r"(\d+)([suf])(\d+) (\S+)", fmt):
        width, count = int(width), int(count)
        if kind == "s" and width == 1:
            size = count or len(data) - at
            at += size
            continue
        if at + width > len(data):
            break
        out[field] = struct.unpack_from("=" + {"s": "i", "u": "I", "f": "f"}[kind], data, at)[0]
        at += width
    return name, out


class Soak(demo.Demo):
    def __init__(self, args):
        super().__init__(args)
        self.lock = threading.RLock()   # taken again by helpers called under it
        self.send_lock = threading.Lock()
        self.target_lock = threading.Lock()
        self.args = args
        self.rng = random.Random(args.seed)
        self.day_wall = DAY_S / args.speed
        self.t0 = now()
        self.end_at = self.t0 + args.minutes * 60
        self.stop = threading.Event()
        self.errors = []            # missed deadlines and broken expectations: each fails the run
        self.notes = []
        self.events = []            # (t, what) for the summary's schedule
        self.pids = {}              # name -> Popen (current incarnation)
        self.incarnation = collections.Counter()
        self.samples = []
        # Windows (start, end) in monotonic time; end None while open.
        self.fw_windows = []
        self.trouble_windows = []
        self.wd_times = []
        self.latencies = []         # (t_send, seconds)
        self.pending = []           # (t_send, reg, value, during_trouble)
        self.unwritten = []
        self.last_target = None
        self.temp_checks_owed = 0
        self.manager_reports = []   # report texts the manager handed to the bus
        self.failed_reports = []    # those the bus refused, with the manager's log line
        self.broker = []            # (t, topic, payload dict)
        self.broker_conn = 0        # agent connections seen ("online" presence)
        self.ui = {"mode": None, "board_mode": None, "target": None, "seen": set(),
                   "belt": {}, "fan": {}}
        self.sent_belt = {}
        self.sent_fan = {}
        self.settings_written = {}
        self.streams_opened = 0
        self.streams_with_data = 0
        self.streams_refused = 0
        self.monitors_run = 0
        self.fault_counts = collections.Counter()
        self.report_dir = args.report_dir

    # ---- small helpers ----
    def t(self):
        return now() - self.t0

    def log(self, text):
        print("[%7.1f s] %s" % (self.t(), text), flush=True)

    def event(self, what):
        self.events.append((self.t(), what))
        self.log(what)

    def fail(self, text):
        self.errors.append("%.1f s: %s" % (self.t(), text))
        self.log("PROBLEM: " + text)

    def wait(self, what, pred, seconds, poll=0.1):
        """Waits for pred() with a deadline; a missed deadline is a problem, never a hang."""
        deadline = now() + seconds
        while True:
            if pred():
                return True
            if now() > deadline:
                self.fail("timed out after %.0f s waiting for %s" % (seconds, what))
                return False
            if self.stop.is_set() and what != "shutdown":
                return False
            time.sleep(poll)

    def board_cmd(self, command):
        try:
            return self.board(command)
        except OSError as e:
            self.fail("board command %r: %s" % (command, e))
            return ""

    # ---- processes ----
    def start_board(self):
        self.pids["ioboard_sim"] = self.start(
            [os.path.join(self.bin, "kor_ioboard_sim"), "--link", self.link, "--control",
             self.control, "--speed", str(self.args.speed)], stdout=subprocess.DEVNULL)
        self.wait_for_path(self.control, 10)
        self.wait_for_path(self.link, 10)

    def start_broker(self):
        conf = os.path.join(self.work, "mosquitto.conf")
        if not hasattr(self, "broker_port"):
            with socket.socket() as s:
                s.bind(("127.0.0.1", 0))
                self.broker_port = s.getsockname()[1]
            with open(conf, "w") as f:
                if os.geteuid() == 0:
                    f.write("user root\n")
                # Persistent sessions survive an outage: the watcher misses nothing the agent
                # publishes while it is itself reconnecting.
                f.write("persistence true\npersistence_location %s/\n" % self.work)
                f.write("autosave_interval 1\nallow_anonymous true\n")
                f.write("listener %d 127.0.0.1\n" % self.broker_port)
                f.write("log_dest file %s\n" % os.path.join(self.work, "mosquitto.log"))
        self.mosquitto = self.start([shutil.which("mosquitto") or "/usr/sbin/mosquitto", "-c",
                                     conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def up():
            try:
                socket.create_connection(("127.0.0.1", self.broker_port), timeout=1).close()
                return True
            except OSError:
                return False
        if not self.wait("the broker to listen", up, 15, 0.05):
            raise Failure("the broker did not start")

    def start_agent(self):
        env = dict(self.env)
        env["ZEB_LOG"] = "file:" + os.path.join(self.work, "fleet_agent.log")
        p = subprocess.Popen([os.path.join(self.bin, "kor_fleet_agent"), "--config",
                              self.agent_conf], env=env, stdin=subprocess.DEVNULL)
        self.procs.append(p)
        self.pids["fleet_agent"] = p
        self.incarnation["fleet_agent"] += 1
        self.agent_started = now()

    def setup_fleet(self):
        keydir = os.path.join(self.work, "keys")
        os.makedirs(keydir)
        self.fleet_key = os.path.join(keydir, "fleet.key")
        subprocess.run(["openssl", "genpkey", "-algorithm", "ed25519", "-out", self.fleet_key],
                       check=True, capture_output=True)
        der = subprocess.run(["openssl", "pkey", "-in", self.fleet_key, "-pubout", "-outform",
                              "DER"], check=True, capture_output=True).stdout
        self.agent_conf = os.path.join(self.work, "fleet.conf")
        with open(self.agent_conf, "w") as f:
            f.write("oven_id = %s\nbroker_port = %d\n" % (OVEN_ID, self.broker_port))
            f.write("queue_dir = %s\n" % os.path.join(self.work, "fleet"))
            f.write("firmware_dir = %s\n" % os.path.join(self.work, "fleet", "firmware"))
            f.write("firmware_public_key = %s\n" % der[-32:].hex())

    def start_watcher(self):
        import paho.mqtt.client as mqtt
        self.mqtt = mqtt.Client(client_id="soak_watch", clean_session=False)
        self.mqtt.reconnect_delay_set(0.1, 1)
        self.mqtt_connected = threading.Event()

        def on_connect(client, userdata, flags, rc):
            if rc == 0:
                client.subscribe("kor/%s/#" % OVEN_ID, qos=1)
                self.mqtt_connected.set()

        def on_disconnect(client, userdata, rc):
            self.mqtt_connected.clear()

        def on_message(client, userdata, msg):
            try:
                payload = json.loads(msg.payload.decode())
            except ValueError:
                payload = {"raw": msg.payload.decode(errors="replace")}
            with self.lock:
                # A retained copy comes with every new subscription; a live one with every
                # connection the agent makes.
                if msg.topic.endswith("/status") and payload.get("state") == "online" and \
                        not msg.retain:
                    self.broker_conn += 1
                self.broker.append((now(), msg.topic, payload, self.broker_conn))
        self.mqtt.on_connect = on_connect
        self.mqtt.on_disconnect = on_disconnect
        self.mqtt.on_message = on_message
        self.mqtt.connect("127.0.0.1", self.broker_port, keepalive=10)
        self.mqtt.loop_start()
        self.wait("the watcher's subscription", self.mqtt_connected.is_set, 15)

    def start_manager(self):
        # The watchdog socket systemd would own; WATCHDOG_PID names the manager itself, so the
        # shell that starts it passes its own pid on before it becomes the manager.
        self.notify_path = os.path.join(self.work, "notify.sock")
        self.notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.notify.bind(self.notify_path)
        self.notify.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        threading.Thread(target=self.notify_loop, daemon=True).start()
        env = dict(self.env)
        env.update({"NOTIFY_SOCKET": self.notify_path, "WATCHDOG_USEC": "60000000"})
        self.ready = threading.Event()
        mgr = subprocess.Popen(
            ["/bin/sh", "-c", 'WATCHDOG_PID=$$ exec "$0" "$@"',
             os.path.join(self.bin, "kor_oven_mgr"), self.link], env=env,
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
        self.procs.append(mgr)
        self.pids["oven_mgr"] = mgr
        threading.Thread(target=lambda: [None for _ in mgr.stdout], daemon=True).start()
        if not self.wait("the manager's READY=1", self.ready.is_set, 120):
            raise Failure("the oven manager did not start")

    def notify_loop(self):
        while True:
            try:
                data, ancillary, _, _ = self.notify.recvmsg(4096, socket.CMSG_SPACE(16))
            except OSError:
                return
            msg = data.decode(errors="replace")
            t = now()
            for level, kind, stamp in ancillary:
                if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS and len(stamp) >= 16:
                    sec, nsec = struct.unpack("qq", stamp[:16])
                    t = min(t, sec + nsec / 1e9 + (time.monotonic() - time.time()))
            for line in msg.split("\n"):
                if line == "WATCHDOG=1":
                    with self.lock:
                        self.wd_times.append(t)
                elif line == "READY=1":
                    self.ready.set()

    def start_bus_client(self):
        bus = self.env["ZEB_BUS_DIR"]
        self.me = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        self.me.bind(os.path.join(bus, ME))
        self.me.listen(16)
        threading.Thread(target=self.bus_loop, daemon=True).start()
        self.mgr_sock = None
        self.bus_send("zeb.varlo.register", "4s1 value 1s0 channel",
                      struct.pack("=i", 1) + ME.encode() + b"\0")
        self.wait("the manager's first notifications", lambda: self.ui["mode"] is not None, 15)

    def bus_send(self, name, fmt, data=b""):
        msg = bus_encode(name, fmt, data)
        with self.send_lock:  # several threads send on the one kept connection
            return self.bus_send_locked(name, msg)

    def bus_send_locked(self, name, msg):
        for _ in range(2):
            try:
                if self.mgr_sock is None:
                    self.mgr_sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
                    self.mgr_sock.connect(os.path.join(self.env["ZEB_BUS_DIR"], "zeb_backend"))
                t = now()
                self.mgr_sock.send(msg)
                return t
            except OSError:
                self.mgr_sock = None
        self.fail("cannot send %s to the manager" % name)
        return now()

    def send_ints(self, name, names, *values):
        fmt = " ".join("4s1 " + n for n in names)
        return self.bus_send(name, fmt, struct.pack("=%di" % len(values), *values))

    def bus_loop(self):
        import select
        conns = [self.me]
        while True:
            for s in select.select(conns, [], [], 1.0)[0]:
                if s is self.me:
                    conns.append(self.me.accept()[0])
                    continue
                try:
                    msg = s.recv(65536)
                except OSError:
                    msg = b""
                if not msg:
                    conns.remove(s)
                    s.close()
                    continue
                try:
                    name, f = bus_decode(msg)
                except (ValueError, struct.error):
                    continue
                name = name.rsplit(".", 1)[-1]
                with self.lock:
                    ui = self.ui
                    if name == "mode_notify":
                        ui["mode"], ui["board_mode"] = f.get("mode"), f.get("board_mode")
                    elif name == "temperature_notify":
                        ui["target"] = f.get("target")
                    elif name == "belt_target_cook_time_notify":
                        ui["belt"][f.get("belt_num")] = f.get("target_cook_time")
                    elif name == "fan_target_speed_notify":
                        ui["fan"][f.get("fan_num")] = f.get("fan_target_speed")
                    ui["seen"].add(name)

    # ---- the register writes the board saw, for latency and set points ----
    def writes_loop(self):
        while not self.stop.is_set():
            answer = self.board_cmd("writes take")
            for item in answer.split():
                m = re.match(r"(\d+):=(\d+)@(\d+)$", item)
                if not m:
                    continue
                reg, val, at = int(m.group(1)), int(m.group(2)), int(m.group(3)) / 1e6
                with self.lock:
                    for p in self.pending:
                        if p[1] == reg and p[2] == val and at >= p[0]:
                            # Outside trouble only when nothing was wrong from the send to
                            # the write.
                            if not p[3] and not self.in_trouble_locked(p[0], at):
                                self.latencies.append((p[0], at - p[0]))
                            self.pending.remove(p)
                            break
            time.sleep(0.2)

    def in_trouble(self, t0, t1=None):
        with self.lock:
            return self.in_trouble_locked(t0, t1)

    def in_trouble_locked(self, t0, t1=None):
        t1 = t0 if t1 is None else t1
        return any(a <= t1 and (b is None or t0 <= b)
                   for a, b in self.trouble_windows + self.fw_windows)

    def set_target(self, value):
        with self.target_lock:  # the sends and the record of the last target in one order
            # Pending before it is sent: the manager writes it in well under a millisecond, and
            # a write the board log hands over before its set point is pending pairs with the
            # next write of the same value instead, minutes later.
            t = now()
            with self.lock:
                self.pending.append((t, TEMP_REG, value, self.in_trouble_locked(t)))
                self.last_target = value
            self.send_ints("zeb.varlo.set_target_temperature", ["target_temperature"], value)

    def probe_loop(self):
        # The operator nudges the target by a degree every second while the oven heats: enough
        # set points for a 99th percentile of the request-to-register time that means something.
        while now() < self.end_at and not self.stop.is_set():
            with self.lock:
                last = self.last_target
            if last is not None and self.mode() in (1, 2, 3) and not self.in_trouble(now()):
                self.set_target(last + 1 if last < 530 else last - 1)
            self.stop.wait(1.0)

    # ---- the operator ----
    def mode(self):
        with self.lock:
            return self.ui["mode"]

    def power(self, on):
        self.send_ints("zeb.varlo.power_onoff", ["power"], 1 if on else 0)

    def kitchen_day(self, day):
        rng = self.rng
        self.event("kitchen day %d: power on" % day)
        with self.lock:
            self.ui["seen"].clear()
        self.power(True)
        if not self.wait("preheat (mode 1-3) after power on", lambda: self.mode() in (1, 2, 3),
                         60):
            return
        self.set_target(rng.choice(range(440, 531, 5)))
        self.wait("preheat complete or a bake", lambda: self.mode() in (2, 3) or
                  "preheat_complete" in self.ui["seen"], 240)
        self.check_owed()
        service_end = now() + rng.uniform(0.5, 1.0) * self.day_wall * 0.4
        while now() < service_end and now() < self.end_at and not self.stop.is_set():
            action = rng.choice(["temp", "temp", "belt", "fan", "food", "idle", "setting",
                                 "pause"])
            if action == "temp":
                self.set_target(rng.choice([v for v in range(440, 531, 5)
                                            if v != self.last_target]))
            elif action == "belt":
                belt, cook = rng.choice([1, 2]), rng.choice([240, 300, 360, 420])
                self.send_ints("zeb.varlo.set_belt_cook_time", ["belt_num", "cook_time"], belt,
                               cook)
                self.sent_belt[belt] = cook
            elif action == "fan":
                fan, pct = rng.choice([1, 2]), rng.choice([70, 85, 100])
                self.send_ints("zeb.varlo.set_target_fan_speed", ["fan_num", "fan_speed"], fan,
                               pct)
                self.sent_fan[fan] = pct
            elif action == "food":
                self.board_cmd("food %d" % rng.choice([1, 2, 3]))
            elif action == "idle":
                self.send_ints("zeb.varlo.idle_mode_onoff",
                               ["onoff", "belt1_cook_time", "belt2_cook_time", "fan1_percent",
                                "fan2_percent", "fan3_percent", "fan4_percent"],
                               1, 600, 600, 50, 50, 0, 0)
                time.sleep(rng.uniform(2, 6))
                self.send_ints("zeb.varlo.idle_mode_onoff",
                               ["onoff", "belt1_cook_time", "belt2_cook_time", "fan1_percent",
                                "fan2_percent", "fan3_percent", "fan4_percent"],
                               0, self.sent_belt.get(1, 300), self.sent_belt.get(2, 300),
                               self.sent_fan.get(1, 85), self.sent_fan.get(2, 85), 0, 0)
            elif action == "setting":
                self.change_setting()
            time.sleep(rng.uniform(1.5, 5.0))
            self.check_owed()
        self.event("kitchen day %d: power off, cooldown" % day)
        self.power(False)
        self.wait("cooldown or off after power off", lambda: self.mode() in (0, 4), 60)
        self.wait("off after cooldown", lambda: self.mode() == 0, 300)
        time.sleep(rng.uniform(1, 5))

    def change_setting(self):
        # The UI owns the settings store: it writes the key, then tells the manager.
        key, number, value = self.rng.choice([
            ("inverter_photo_delay_secs", 51, self.rng.randint(5, 60)),
            ("heating_gas_attenuation_idle_min", 25, self.rng.randint(1, 30))])
        path = os.path.join(self.env["KOR_CONFIG_DIR"], "settings")
        with open(path) as f:
            lines = f.read().splitlines()
        lines = [("%s = %d" % (key, value)) if ln.split("=")[0].strip() == key else ln
                 for ln in lines]
        tmp = path + ".soak.tmp"
        with open(tmp, "w") as f:
            f.write("\n".join(lines) + "\n")
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
        self.settings_written[key] = value
        self.send_ints("zeb.varlo.config_setting_changed", ["setting", "value"], number, value)

    def check_owed(self):
        """After line trouble the operator's last target must be on the board once it heats."""
        if self.temp_checks_owed == 0 or self.last_target is None or self.in_trouble(now()):
            return
        if self.mode() not in (1, 2, 3):
            return
        with self.target_lock:  # no nudge of the target meanwhile
            want = self.last_target
            ok = self.wait("the operator's target %d F on the board after the trouble" % want,
                           lambda: self.board_cmd("get %d" % TEMP_REG) == str(want), 20, 0.25)
        self.temp_checks_owed = 0
        if ok:
            self.set_points_verified += 1

    def operator_loop(self):
        day = 0
        while now() < self.end_at and not self.stop.is_set():
            day += 1
            self.kitchen_day(day)
        self.days_played = day

    # ---- UI clients and streams joining and leaving ----
    def clients_loop(self):
        rng = random.Random(self.args.seed + 1)
        threads = []
        while now() < self.end_at - 30 and not self.stop.is_set():
            if self.clients_hold.is_set():
                # The baseline is taken with no client of ours connected.
                for th in threads:
                    th.join(30)
                threads = []
                self.clients_idle.set()
                while self.clients_hold.is_set() and not self.stop.is_set():
                    time.sleep(0.1)
                self.clients_idle.clear()
            kind = rng.choice(["sse", "sse", "monitor", "state"])
            if kind == "sse":
                th = threading.Thread(target=self.sse_client, args=(rng.uniform(2, 20),))
            elif kind == "monitor":
                th = threading.Thread(target=self.monitor_client, args=(rng.uniform(2, 20),))
            else:
                th = threading.Thread(target=self.state_client)
            th.start()
            threads.append(th)
            time.sleep(rng.uniform(0.5, 4))
        for th in threads:
            th.join(30)

    def burst_loop(self):
        # A crowd at once (every screen of a kitchen reconnecting after a network outage): more
        # streams than the console serves, three times during the warm-up, so that every one of
        # its workers has served a stream before the memory is fitted.
        for k in range(3):
            if self.stop.wait(max(0.0, self.t0 + (k + 1) * self.args.warmup / 4 - now())):
                return
            self.event("a crowd of 40 web console clients at once")
            crowd = [threading.Thread(target=self.sse_client, args=(3,)) for _ in range(40)]
            for th in crowd:
                th.start()
            for th in crowd:
                th.join(30)

    def sse_client(self, seconds):
        try:
            c = http.client.HTTPConnection("127.0.0.1", self.web_port, timeout=10)
            c.request("GET", "/api/events")
            r = c.getresponse()
            if r.status == 429:  # more than the console's 32 streams: refused, as it should
                c.close()
                with self.lock:
                    self.streams_refused += 1
                return
            if r.status != 200:
                self.fail("web console stream: status %d" % r.status)
            got = False
            end = now() + seconds
            while now() < end:
                line = r.fp.readline()
                if not line:
                    break
                got = got or line.startswith(b"data:")
            c.close()
            with self.lock:
                self.streams_opened += 1
                self.streams_with_data += 1 if got else 0
        except OSError as e:
            self.fail("web console stream: %s" % e)

    def state_client(self):
        try:
            c = http.client.HTTPConnection("127.0.0.1", self.web_port, timeout=10)
            c.request("GET", "/api/state")
            json.loads(c.getresponse().read())
            c.close()
        except (OSError, ValueError) as e:
            self.fail("web console state: %s" % e)

    def monitor_client(self, seconds):
        p = subprocess.Popen([os.path.join(self.bin, "zebctl"), "monitor", "--json"],
                             env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        time.sleep(seconds)  # how long the client stays: the scenario, not a wait for anything
        p.terminate()
        try:
            p.wait(10)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()
            self.fail("zebctl monitor did not stop on SIGTERM")
        with self.lock:
            self.monitors_run += 1

    # ---- the technician, the line and the broker: trouble at random moments ----
    def trouble_loop(self):
        rng = random.Random(self.args.seed + 2)
        kinds = self.args.trouble
        # The last minutes are quiet: everything settles before the closing checks.
        quiet_from = self.end_at - max(60, 0.1 * self.args.minutes * 60)
        # A firmware update first, inside the warm-up: the connections it opens between the
        # manager and the update service are kept for good and belong in the baseline.
        if not self.stop.wait(self.args.warmup / 3):
            self.fault_counts["firmware"] += 1
            self.trouble_firmware(rng)
        while not self.stop.is_set():
            gap = rng.expovariate(1.0 / self.args.trouble_every)
            if now() + gap > quiet_from:
                break
            if self.stop.wait(gap):
                break
            kind = rng.choice(kinds)
            if kind == "agent-kill" and now() - self.agent_started < self.args.warmup + FIT_MIN_S:
                # An agent killed younger than this leaves no incarnation long enough to judge its
                # memory, and the baseline to an agent that has not made its connections yet.
                continue
            self.fault_counts[kind] += 1
            getattr(self, "trouble_" + kind.replace("-", "_"))(rng)

    def open_window(self, wins):
        w = [now(), None]
        with self.lock:
            wins.append(w)
        return w

    def close_window(self, w):
        with self.lock:
            w[1] = now()

    def board_field(self, name):
        for part in self.board_cmd("status").split():
            k, _, v = part.partition("=")
            if k == name:
                return v
        return None

    def line_trouble(self, what, command, over):
        self.event("trouble: " + what)
        w = self.open_window(self.trouble_windows)
        self.board_cmd(command)
        self.wait("the end of " + what, over, 60, 0.1)
        self.close_window(w)
        self.temp_checks_owed += 1

    def trouble_silence(self, rng):
        s = round(rng.uniform(1, 8), 1)
        self.line_trouble("silence %.1f s" % s, "silence %s" % s,
                          lambda: float(self.board_field("silence") or 0) == 0)

    def trouble_late(self, rng):
        n = rng.randint(1, 3)
        self.line_trouble("%d late replies" % n, "late %d" % n,
                          lambda: (self.board_field("late") or "0").startswith("0x")
                          and self.board_field("queued") == "0")

    def trouble_bad_crc(self, rng):
        n = rng.randint(1, 3)
        self.line_trouble("%d replies with a bad CRC" % n, "bad-crc %d" % n,
                          lambda: self.board_field("spoiled") == "0")

    def trouble_wrong_slave(self, rng):
        n = rng.randint(1, 3)
        self.line_trouble("%d replies from slave 2" % n, "wrong-slave %d" % n,
                          lambda: self.board_field("spoiled") == "0")

    def trouble_exception(self, rng):
        code, n = rng.choice([2, 3, 4, 6]), rng.randint(1, 2)
        self.line_trouble("exception %d x%d" % (code, n), "exception %d %d" % (code, n),
                          lambda: self.board_field("exception") == "none")

    def configured(self):
        v = self.board_cmd("get 2")
        return v not in ("", "0", "65535")

    def trouble_forget(self, rng):
        self.line_trouble("the board forgets its configuration", "forget", self.configured)

    def trouble_reboot(self, rng):
        self.event("trouble: the board reboots (silent 3 s, configuration gone)")
        w = self.open_window(self.trouble_windows)
        self.board_cmd("silence 3")
        self.wait("the reboot's silence", lambda: float(self.board_field("silence") or 0) == 0,
                  30)
        self.board_cmd("forget")
        self.wait("the board configured again after its reboot", self.configured, 60)
        self.close_window(w)
        self.temp_checks_owed += 1

    def trouble_tc_fault(self, rng):
        self.event("trouble: thermocouple 1 breaks for a moment")

        def reports(raised):
            with self.lock:
                return sum(1 for b in self.broker if b[1].endswith("/report/fault")
                           and isinstance(b[2].get("report"), dict)
                           and b[2]["report"].get("fs") is raised)
        before_raised, before_ended = reports(True), reports(False)
        self.board_cmd("fault 203 1")
        self.wait("the fault report at the broker", lambda: reports(True) > before_raised, 90,
                  0.25)
        self.board_cmd("fault 203 0")
        # Over once the manager has seen the end too: the manager polls the fault registers, and
        # a break that came back at once, with the next trouble, would look like one long break.
        self.wait("the report of the fault's end at the broker",
                  lambda: reports(False) > before_ended, 90, 0.25)

    def trouble_broker(self, rng):
        s = rng.uniform(3, 15)
        self.event("trouble: the broker goes away for %.0f s" % s)
        self.mosquitto.terminate()
        try:
            self.mosquitto.wait(10)
        except subprocess.TimeoutExpired:
            self.mosquitto.kill()
            self.mosquitto.wait()
        self.procs.remove(self.mosquitto)
        self.stop.wait(s)
        self.start_broker()
        self.wait("the watcher back at the broker", self.mqtt_connected.is_set, 30)

    def trouble_agent_kill(self, rng):
        self.event("trouble: SIGKILL of the fleet agent, and a restart")
        old = self.pids["fleet_agent"]
        conn = self.broker_conn
        old.kill()
        old.wait()
        self.procs.remove(old)
        self.start_agent()
        self.wait("the agent's bus channels", lambda: all(
            os.path.exists(os.path.join(self.env["ZEB_BUS_DIR"], c))
            for c in ("zeb_update", "zeb_telvo")), 15)
        self.wait("the new agent's presence at the broker", lambda: self.broker_conn > conn, 20)
        # An agent's first firmware update raises its memory once, by a few KiB (8 in the
        # runs): like the first agent's, that step belongs in the new one's warm-up.
        self.fault_counts["firmware"] += 1
        self.trouble_firmware(rng)

    def trouble_firmware(self, rng):
        import base64
        self.event("trouble: a firmware update from the fleet (the board flashes 2 s, reboots)")
        image = bytes(rng.getrandbits(8) for _ in range(rng.randint(4096, 16384)))
        path = os.path.join(self.work, "fw.bin")
        with open(path, "wb") as f:
            f.write(image)
        sig = subprocess.run(["openssl", "pkeyutl", "-sign", "-rawin", "-inkey", self.fleet_key,
                              "-in", path], check=True, capture_output=True).stdout
        sha = hashlib.sha256(image).hexdigest()
        offer = {"component": "dravik_kor_board", "version": "soak", "sha256": sha,
                 "signature": sig.hex(), "image": base64.b64encode(image).decode()}
        self.board_cmd("flash 2")
        w = self.open_window(self.fw_windows)
        self.mqtt.publish("kor/%s/firmware/offer" % OVEN_ID, json.dumps(offer), qos=1)

        def final():
            with self.lock:
                return [b[2].get("state") for b in self.broker
                        if b[1].endswith("/firmware/status") and b[2].get("sha256") == sha
                        and b[2].get("state") not in ("accepted",)]
        if self.wait("the firmware's final status", lambda: final(), 180, 0.25):
            if final()[0] != "transferred":
                self.fail("firmware update ended %s" % final()[0])
        self.wait("the board back after its flash", lambda: self.configured() and float(
            self.board_field("flash") or 0) == 0, 60, 0.25)
        self.board_cmd("flash 0")
        self.close_window(w)
        self.temp_checks_owed += 1

    # ---- sampling ----
    def proc_stats(self, pid):
        try:
            with open("/proc/%d/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
            threads = int(fields[17])
            rss = priv = 0
            with open("/proc/%d/smaps_rollup" % pid) as f:
                for line in f:
                    k, _, v = line.partition(":")
                    if k == "Rss":
                        rss = int(v.split()[0]) * KIB
                    elif k == "Private_Dirty":
                        # What the process wrote itself (heap, stacks, written data). Clean
                        # private pages are file pages nobody else maps at that moment: another
                        # process starting the same program turns them shared and back.
                        priv += int(v.split()[0]) * KIB
            fd_list = []
            for fd in os.listdir("/proc/%d/fd" % pid):
                try:
                    fd_list.append(re.sub(r"\[\d+\]", "", os.readlink(
                        "/proc/%d/fd/%s" % (pid, fd))))
                except OSError:
                    pass
            return {"rss": rss, "private": priv, "fds": len(fd_list), "threads": threads,
                    "cpu": cpu, "fd_list": dict(collections.Counter(fd_list))}
        except (OSError, IndexError, ValueError):
            return None

    PROCS = ("oven_mgr", "ioboard_sim", "fleet_agent", "webui")

    def sample(self):
        t = now()
        row = {"t": t - self.t0, "sim_days": (t - self.t0) / self.day_wall}
        for name in self.PROCS:
            p = self.pids.get(name)
            st = self.proc_stats(p.pid) if p else None
            for k in ("rss", "private", "fds", "threads", "cpu"):
                row["%s_%s" % (name, k)] = st[k] if st else ""
            row["%s_inc" % name] = self.incarnation[name] or 1
        self.read_manager_reports()
        with self.lock:
            since = self.samples[-1]["t"] + self.t0 if self.samples else self.t0
            wd = [b - a for a, b in zip(self.wd_times, self.wd_times[1:]) if b >= since]
            lat = [s for ts, s in self.latencies if ts >= since]
            seqs = {b[2].get("seq") for b in self.broker if "/report/" in b[1]}
        row["wd_max_gap_s"] = max(wd) if wd else ""
        row["latency_max_ms"] = max(lat) * 1000 if lat else ""
        row["reports_sent"] = len(self.manager_reports)
        row["reports_at_broker"] = len(seqs)
        row["report_backlog"] = len(self.manager_reports) - len(seqs)
        with self.lock:
            self.samples.append(row)

    def read_manager_reports(self):
        # The manager logs every cloud report it hands to the bus, the text as sent.
        path = self.env["ZEB_LOG"][5:]
        try:
            with open(path, errors="replace") as f:
                f.seek(getattr(self, "log_pos", 0))
                data = f.read()
                self.log_pos = f.tell()
        except OSError:
            return
        data = getattr(self, "log_rest", "") + data
        lines = data.split("\n")
        self.log_rest = lines.pop()
        for line in lines:
            m = re.match(r"\S+ INFO kor_vellor_service: (\{.*)$", line)
            if m:
                self.manager_reports.append(m.group(1))
            elif re.search(r" ERROR kor_oven_\w+: Telvo .*report.*FAILED|"
                           r" ERROR kor_oven_\w+: Telvo vellor \w+( message)? FAILED", line):
                # The bus refused it (no cloud service at that moment): logged, never sent.
                if self.manager_reports:
                    self.failed_reports.append(self.manager_reports.pop())
            elif "kor_vellor_service" in line or "zeb_telvo" in line:
                self.manager_log_telvo.append(line)

    def sampler_loop(self):
        while not self.stop.is_set():
            self.sample()
            self.stop.wait(self.args.sample_every)

    # ---- the run ----
    def run(self):
        a = self.args
        self.set_points_verified = 0
        self.manager_log_telvo = []
        self.days_played = 0
        print("soak: seed %d, speed %dx, %g min; a simulated day is %.0f s of wall time, the run "
              "%.2f simulated days" % (a.seed, a.speed, a.minutes, self.day_wall,
                                       a.minutes * 60 / self.day_wall), flush=True)
        print("soak: scratch folder %s, report folder %s" % (self.work, self.report_dir),
              flush=True)
        self.start_board()
        self.start_broker()
        self.setup_fleet()
        self.start_watcher()
        self.start_agent()
        self.wait("the agent's presence at the broker", lambda: self.broker_conn > 0, 20)
        self.start_manager()
        # The web console on a free port.
        web = self.start([os.path.join(self.bin, "kor_webui"), "--listen", "127.0.0.1:0"],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = web.stdout.readline()
        if not line.startswith("kor_webui: listening on "):
            raise Failure("the web console did not start: %r" % line)
        self.web_port = int(line.rsplit(":", 1)[1])
        self.pids["webui"] = web
        threading.Thread(target=lambda: [None for _ in web.stdout], daemon=True).start()
        self.start_bus_client()
        threads = [threading.Thread(target=f, daemon=True) for f in
                   (self.writes_loop, self.sampler_loop)]
        for th in threads:
            th.start()
        self.warmup_end = now() + a.warmup
        self.baseline = None
        workers = [threading.Thread(target=f, daemon=True) for f in
                   (self.operator_loop, self.trouble_loop, self.probe_loop)]
        for th in workers:
            th.start()
        # Clients come and go from the start, so that the warm-up sees every kind of work; the
        # baseline of descriptors and threads is taken at its end with none of them connected.
        self.clients_hold = threading.Event()
        self.clients_idle = threading.Event()
        clients = threading.Thread(target=self.clients_loop, daemon=True)
        clients.start()
        burst = threading.Thread(target=self.burst_loop, daemon=True)
        burst.start()
        self.stop.wait(max(0, self.warmup_end - now()))
        burst.join(60)
        self.clients_hold.set()
        self.wait("the UI clients to leave for the baseline", self.clients_idle.is_set, 60)
        self.baseline = {n: self.proc_stats(self.pids[n].pid) for n in self.PROCS}
        self.baseline_inc = dict(self.incarnation)
        self.clients_hold.clear()
        while now() < self.end_at and not self.stop.is_set():
            self.stop.wait(1)
        self.log("the run's time is up: letting the day end and the clients leave")
        for th in workers + [clients]:
            th.join(max(120, 0.5 * self.day_wall))
            if th.is_alive():
                self.fail("a scenario thread did not finish")
        self.closing()

    def closing(self):
        # Every report the manager sent reaches the broker once the agent has caught up.
        self.read_manager_reports()

        def caught_up():
            self.read_manager_reports()
            with self.lock:
                got = collections.Counter(json.dumps(b[2].get("report"), sort_keys=True)
                                          for b in self.broker if "/report/" in b[1])
            sent = collections.Counter(self.norm(r) for r in self.manager_reports)
            return not (sent - got)
        self.wait("every report the manager sent at the broker", caught_up, 120, 0.5)
        # Descriptors and threads back where they started, once the clients have gone.
        self.end_counts = {}

        def settled():
            ok = True
            for n in self.PROCS:
                st = self.proc_stats(self.pids[n].pid)
                self.end_counts[n] = st
                base = self.baseline[n]
                if n == "fleet_agent" and self.incarnation[n] != self.baseline_inc[n]:
                    continue
                if st is None or base is None or st["fds"] != base["fds"] or \
                        st["threads"] != base["threads"]:
                    ok = False
            return ok
        deadline = now() + 30
        while not settled() and now() < deadline:
            time.sleep(0.5)
        self.sample()
        self.stop.set()
        # A clean stop of the manager, then the stores.
        mgr = self.pids["oven_mgr"]
        mgr.terminate()
        try:
            self.mgr_status = mgr.wait(60)
        except subprocess.TimeoutExpired:
            self.fail("the manager did not stop within 60 s of SIGTERM")
            mgr.kill()
            self.mgr_status = mgr.wait()

    @staticmethod
    def norm(text):
        try:
            return json.dumps(json.loads(text), sort_keys=True)
        except ValueError:
            return json.dumps(text, sort_keys=True)


# ---- analysis ----

def slope(xs, ys):
    n = len(xs)
    if n < 3:
        return None
    mx, my = sum(xs) / n, sum(ys) / n
    sxx = sum((x - mx) ** 2 for x in xs)
    if sxx == 0:
        return None
    return sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sxx


def percentile(values, p):
    if not values:
        return None
    v = sorted(values)
    return v[min(len(v) - 1, int(math.ceil(p / 100.0 * len(v))) - 1)]


def read_store(path):
    out = {}
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            k, sep, v = line.partition("=")
            if not sep:
                raise ValueError("line without '=': %r" % line)
            out[k.strip()] = v.strip()
    return out


def analyse(s):
    a = s.args
    verdicts = []   # (bar, figure, ok)
    lines = []

    def bar(name, figure, ok):
        verdicts.append((name, figure, ok))

    # Memory: a least-squares line per process (per incarnation), after the warm-up.
    warm = a.warmup
    for name in s.PROCS:
        for kind in ("rss", "private"):
            per_inc = collections.defaultdict(list)
            for r in s.samples:
                if r["t"] >= warm and r["%s_%s" % (name, kind)] != "":
                    per_inc[r["%s_inc" % name]].append((r["t"], r["%s_%s" % (name, kind)]))
            fitted = []
            for inc, pts in sorted(per_inc.items()):
                span = pts[-1][0] - pts[0][0] if pts else 0
                # An incarnation that started after the warm-up gets a warm-up of its own.
                if inc > 1:
                    pts = [p for p in pts if p[0] >= pts[0][0] + warm]
                    span = pts[-1][0] - pts[0][0] if pts else 0
                if len(pts) < 10 or span < FIT_MIN_S:
                    lines.append("  %s %s: incarnation %d not fitted (%.0f s of samples after "
                                 "its warm-up, %.0f s needed)" % (name, kind, inc, span,
                                                                  FIT_MIN_S))
                    continue
                sl = slope([p[0] for p in pts], [p[1] for p in pts])
                fitted.append((inc, sl * s.day_wall, span))
            for inc, per_day, span in fitted:
                what = "%s %s memory growth (incarnation %d, %.2f simulated days fitted)" % (
                    name, kind, inc, span / s.day_wall)
                if kind == "private":
                    bar(what, "%+.1f KiB/day" % (per_day / KIB), per_day < MEM_SLOPE_BAR)
                else:
                    # Resident memory counts shared library pages as they are first touched:
                    # shown, but the bar is on what the process owns alone.
                    lines.append("  %s: %+.1f KiB/day" % (what, per_day / KIB))
            if not fitted and kind == "private":
                bar("%s %s growth" % (name, kind), "no incarnation long enough to fit", False)
    # Descriptors and threads.
    for name in s.PROCS:
        base, end = s.baseline.get(name), s.end_counts.get(name)
        if name == "fleet_agent" and s.incarnation[name] != s.baseline_inc[name]:
            lines.append("  fleet_agent: restarted on purpose after the baseline; its end "
                         "counts are compared with the first incarnation's")
        if not base or not end:
            bar("%s descriptors and threads" % name, "not sampled", False)
            continue
        bar("%s descriptors end where they started" % name,
            "%d -> %d" % (base["fds"], end["fds"]), end["fds"] <= base["fds"])
        if end["fds"] != base["fds"]:
            lines.append("  %s descriptors at the baseline: %s; at the end: %s" % (
                name, base["fd_list"], end["fd_list"]))
        bar("%s threads end where they started" % name,
            "%d -> %d" % (base["threads"], end["threads"]), end["threads"] <= base["threads"])
    # Watchdog.
    gaps = [(x, y - x) for x, y in zip(s.wd_times, s.wd_times[1:])]
    fw = [w for w in s.fw_windows]
    tr = [w for w in s.trouble_windows]

    def overlaps(x, y, wins):
        return any(a0 <= y and (b0 is None or x <= b0) for a0, b0 in wins)
    normal = [g for x, g in gaps if not overlaps(x, x + g, fw) and not overlaps(x, x + g, tr)]
    trouble = [g for x, g in gaps if overlaps(x, x + g, tr) and not overlaps(x, x + g, fw)]
    infw = [g for x, g in gaps if overlaps(x, x + g, fw)]
    bar("watchdog: longest gap outside firmware transfers and line trouble (%d gaps)" %
        len(normal), "%.3f s" % max(normal) if normal else "none", bool(normal) and
        max(normal) <= WD_GAP_BAR)
    bar("watchdog: longest gap during line trouble (%d gaps; by design a silent board's cycle "
        "waits out its time-outs)" % len(trouble), "%.3f s" % max(trouble) if trouble else
        "none", not trouble or max(trouble) <= WD_TROUBLE_BAR)
    lines.append("  watchdog gaps during firmware transfers: %d, longest %s" % (
        len(infw), "%.3f s" % max(infw) if infw else "-"))
    # Latency.
    lat = [x for _, x in s.latencies]
    p99 = percentile(lat, 99)
    bar("request-to-register latency p99 (%d set points outside trouble)" % len(lat),
        "%.2f ms (p50 %.2f ms, max %.2f ms)" % (p99 * 1000, percentile(lat, 50) * 1000,
                                               max(lat) * 1000) if lat else "no samples",
        p99 is not None and p99 < LATENCY_P99_BAR)
    # Set points after the trouble.
    with s.lock:
        unwritten = list(s.pending)
    stale = [p for p in unwritten if p[2] != s.last_target]
    bar("set points: the last target on the board after each trouble (%d checks)" %
        s.set_points_verified, "%d problems" % sum(1 for e in s.errors if "on the board after"
                                                   in e),
        not any("on the board after" in e for e in s.errors))
    if stale:
        lines.append("  %d target set points were superseded before the board saw them" %
                     len(stale))
    belts_ok = all(s.ui["belt"].get(b) == v for b, v in s.sent_belt.items())
    fans_ok = all(s.ui["fan"].get(f) == v for f, v in s.sent_fan.items())
    bar("set points: the last belt cook times and fan targets held by the manager",
        "belts %s fans %s" % (s.ui["belt"], s.ui["fan"]), belts_ok and fans_ok)
    # Reports.
    reports = [(b[2].get("seq"), b[3], b[2]) for b in s.broker if "/report/" in b[1]]
    seqs = sorted({r[0] for r in reports})
    dropped = sum(r[2].get("report", {}).get("count", 0) for r in reports
                  if isinstance(r[2].get("report"), dict) and
                  r[2]["report"].get("t") == "fleet_dropped")
    gaps_seq = sum(b - a - 1 for a, b in zip(seqs, seqs[1:]) if b - a > 1)
    per_conn = collections.Counter((r[0], r[1]) for r in reports)
    twice = sum(1 for v in per_conn.values() if v > 1)
    got = collections.Counter(json.dumps(r[2].get("report"), sort_keys=True) for r in reports)
    sent = collections.Counter(s.norm(x) for x in s.manager_reports)
    missing = sum((sent - got).values())
    bar("reports: every report the manager sent reached the broker",
        "%d sent, %d distinct seqs at the broker, %d missing" % (
            sum(sent.values()), len(seqs), missing), missing == 0 and bool(sent))
    bar("reports: seq without gaps (%d dropped and reported by the agent)" % dropped,
        "seq %s..%s, %d missing" % (seqs[0] if seqs else "-", seqs[-1] if seqs else "-",
                                     gaps_seq), gaps_seq <= dropped)
    bar("reports: none twice within one broker connection (%d connections)" % s.broker_conn,
        "%d repeats" % twice, twice == 0)
    if s.failed_reports:
        lines.append("  %d reports were refused by the bus while no cloud service listened (the "
                     "agent killed and not yet back); the manager logged each as FAILED" %
                     len(s.failed_reports))
    if s.manager_log_telvo:
        lines.append("  manager log lines about the cloud channel: %d, e.g. %s" % (
            len(s.manager_log_telvo), s.manager_log_telvo[0][:160]))
    # Stores.
    cfg = s.env["KOR_CONFIG_DIR"]
    chk = subprocess.run([os.path.join(s.bin, "kor_config_check"), cfg], capture_output=True,
                         text=True)
    bar("stores: kor_config_check passes", "exit %d %s" % (
        chk.returncode, (chk.stdout + chk.stderr).strip().replace("\n", " | ")[:200]),
        chk.returncode == 0)
    try:
        settings = read_store(os.path.join(cfg, "settings"))
        lost = {k: v for k, v in s.settings_written.items() if settings.get(k) != str(v)}
        bar("stores: settings hold the last values the UI wrote (%d keys)" %
            len(s.settings_written), "lost %s" % lost if lost else "all there", not lost)
    except (OSError, ValueError) as e:
        bar("stores: settings load", str(e), False)
    try:
        stats = read_store(os.path.join(cfg, "sys_stat"))
        bad = [k for k, v in stats.items() if not re.fullmatch(r"-?\d+(\.\d+)?", v)]
        corrupt = [f for f in os.listdir(cfg) if f.startswith("sys_stat.corrupt")]
        bar("stores: statistics load cleanly (%d keys)" % len(stats),
            "%d malformed, %d moved aside as corrupt" % (len(bad), len(corrupt)),
            not bad and not corrupt and bool(stats))
    except (OSError, ValueError) as e:
        bar("stores: statistics load", str(e), False)
    bar("the manager stopped cleanly", "exit status %s" % s.mgr_status,
        s.mgr_status in (148, 0))
    bar("no missed deadline or broken expectation during the run", "%d" % len(s.errors),
        not s.errors)
    return verdicts, lines


def write_report(s, verdicts, lines):
    os.makedirs(s.report_dir, exist_ok=True)
    cols = ["t", "sim_days"] + ["%s_%s" % (n, k) for n in s.PROCS for k in
                                ("rss", "private", "fds", "threads", "cpu", "inc")] + \
        ["wd_max_gap_s", "latency_max_ms", "reports_sent", "reports_at_broker", "report_backlog"]
    with open(os.path.join(s.report_dir, "samples.csv"), "w", newline="") as f:
        w = csv.DictWriter(f, fieldnames=cols)
        w.writeheader()
        for r in s.samples:
            w.writerow({k: ("%.3f" % v if isinstance(v, float) else v) for k, v in r.items()})
    plot(s)
    a = s.args
    out = ["soak run: seed %d, speed %dx, %g minutes of wall time" % (a.seed, a.speed,
                                                                      a.minutes),
           "a simulated day: 24 h of oven physics = %.0f s of wall time at %dx; the run: %.2f "
           "simulated days, %d kitchen days played" % (
               s.day_wall, a.speed, (s.samples[-1]["t"] if s.samples else 0) / s.day_wall,
               s.days_played),
           "warm-up: %.0f s; samples every %.0f s: %d" % (a.warmup, a.sample_every,
                                                          len(s.samples)),
           "trouble played: " + ", ".join("%s x%d" % kv for kv in sorted(s.fault_counts.items())),
           "web console streams: %d (%d with data, %d more refused with 429), monitors: %d" % (
               s.streams_opened, s.streams_with_data, s.streams_refused, s.monitors_run),
           "windows excused from the 2 s watchdog bar: %d firmware transfers, %d line troubles "
           "(silence, late or spoiled replies, exceptions, a forgetting or rebooting board: the "
           "manager's cycle waits out its 1.5 s time-outs by design, so those gaps are held to "
           "%.0f s instead, half the unit's WatchdogSec)" % (len(s.fw_windows),
                                                            len(s.trouble_windows),
                                                            WD_TROUBLE_BAR),
           "", "bars:"]
    for name, figure, ok in verdicts:
        out.append("  %-4s %s: %s" % ("PASS" if ok else "FAIL", name, figure))
    if lines:
        out += ["", "notes:"] + lines
    if s.errors:
        out += ["", "problems:"] + ["  " + e for e in s.errors]
    out += ["", "schedule:"] + ["  %7.1f s  %s" % e for e in s.events]
    verdict = all(ok for _, _, ok in verdicts)
    out += ["", "verdict: %s" % ("PASS" if verdict else "FAIL")]
    with open(os.path.join(s.report_dir, "summary.txt"), "w") as f:
        f.write("\n".join(out) + "\n")
    return verdict, out


def plot(s):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    rows = s.samples
    if not rows:
        return
    x = [r["sim_days"] for r in rows]
    fig, ax = plt.subplots(4, 1, figsize=(9, 10), sharex=True)
    for n in s.PROCS:
        ys = [r["%s_rss" % n] / KIB / KIB if r["%s_rss" % n] != "" else float("nan")
              for r in rows]
        ax[0].plot(x, ys, label=n)
        ys = [r["%s_fds" % n] if r["%s_fds" % n] != "" else float("nan") for r in rows]
        ax[1].plot(x, ys, label=n)
    ax[0].set_ylabel("resident memory (MiB)")
    ax[0].legend(fontsize=8, loc="upper left")
    ax[1].set_ylabel("open descriptors")
    ax[1].legend(fontsize=8, loc="upper left")
    ax[2].plot([(t - s.t0) / s.day_wall for t, _ in s.latencies],
               [v * 1000 for _, v in s.latencies], ".", markersize=3)
    ax[2].axhline(LATENCY_P99_BAR * 1000, color="r", linewidth=0.8)
    ax[2].set_ylabel("request to register (ms)")
    backlog = [r["report_backlog"] for r in rows]
    ax[3].plot(x, backlog, label="reports not yet at the broker")
    ax[3].set_ylim(-0.5, max(backlog + [1]) + 0.5)
    gx = [(b - s.t0) / s.day_wall for a, b in zip(s.wd_times, s.wd_times[1:])]
    gy = [b - a for a, b in zip(s.wd_times, s.wd_times[1:])]
    ax3b = ax[3].twinx()
    ax3b.plot(gx, gy, ".", color="tab:orange", markersize=2)
    ax3b.set_ylabel("watchdog gap (s)", color="tab:orange")
    ax[3].set_ylabel("report backlog")
    ax[3].set_xlabel("simulated days (seed %d, %dx)" % (s.args.seed, s.args.speed))
    for w0, w1 in s.fw_windows + s.trouble_windows:
        for axis in ax:
            axis.axvspan((w0 - s.t0) / s.day_wall, ((w1 or now()) - s.t0) / s.day_wall,
                         color="0.85", linewidth=0)
    fig.suptitle("soak run: grey bands are trouble windows")
    fig.tight_layout()
    fig.savefig(os.path.join(s.report_dir, "plot.png"), dpi=70)
    plt.close(fig)


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--bin", required=True)
    ap.add_argument("--config", required=True)
    ap.add_argument("--report-dir", required=True)
    ap.add_argument("--minutes", type=float, default=60)
    ap.add_argument("--speed", type=int, default=168, help="oven physics speed-up (168: an "
                    "hour of wall time is a week of oven life)")
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--warmup", type=float, default=None, help="seconds (default: a fifth of "
                    "the run, 60-600 s)")
    ap.add_argument("--sample-every", type=float, default=5.0)
    ap.add_argument("--trouble-every", type=float, default=40.0, help="mean seconds between "
                    "troubles")
    ap.add_argument("--trouble", default=",".join(TROUBLES), help="the kinds of trouble to "
                    "play, comma-separated (default: all of them)")
    ap.add_argument("--keep", action="store_true", help="keep the scratch folder")
    args = ap.parse_args()
    args.trouble = [k for k in args.trouble.split(",") if k]
    unknown = sorted(set(args.trouble) - set(TROUBLES))
    if unknown or not args.trouble:
        ap.error("--trouble: unknown kind %s (the kinds: %s)" % (
            ", ".join(unknown) or "(none given)", ", ".join(TROUBLES)))
    args.report_dir = os.path.abspath(args.report_dir)
    if args.seed is None:
        args.seed = int.from_bytes(os.urandom(4), "little") % 1000000
    if args.warmup is None:
        args.warmup = min(600.0, max(60.0, args.minutes * 60 / 5))
    s = Soak(args)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(130))
    code = 1
    try:
        s.run()
        verdicts, lines = analyse(s)
        ok, text = write_report(s, verdicts, lines)
        print("\n".join(text))
        code = 0 if ok else 1
    except KeyboardInterrupt:
        print("soak: interrupted")
        code = 130
    except (Failure, RuntimeError, OSError, subprocess.CalledProcessError) as e:
        print("soak: FAILED: %s" % e)
    finally:
        s.stop.set()
        try:
            s.mqtt.loop_stop()
        except AttributeError:
            pass
        # The logs go into the report folder before the scratch folder goes.
        os.makedirs(s.report_dir, exist_ok=True)
        for name in ("oven_mgr.log", "fleet_agent.log", "mosquitto.log"):
            src = os.path.join(s.work, name)
            if os.path.exists(src):
                shutil.copy(src, os.path.join(s.report_dir, name))
        if args.keep:
            s.procs_keep = True
            for p in reversed(s.procs):
                if p.poll() is None:
                    p.terminate()
            print("soak: scratch folder kept: %s" % s.work)
        else:
            s.stop_all()
        print("soak: report folder %s" % s.report_dir)
    return code


if __name__ == "__main__":
    sys.exit(main())
