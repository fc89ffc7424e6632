#!/usr/bin/env python3
"""Drives a visible bake: the virtual IO board, the oven manager on its pseudo-terminal, a UI
played through zebctl, and the fleet link: a local Mosquitto broker, the fleet agent serving the
manager's cloud-report and update channels, and a subscriber that shows what reaches the broker.
Prints the oven's state as it goes and stops everything it started, also when interrupted.
Started by scripts/demo.sh after the build."""
import argparse
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

UI_STATES = {0: "OFF", 1: "PREHEAT", 2: "IDLE", 3: "BAKE", 4: "COOLDOWN", 5: "FAULT", 6: "TEST",
             8: "SOAK"}


class Demo:
    def __init__(self, args):
        self.bin = args.bin
        self.speed = args.speed
        self.work = tempfile.mkdtemp(prefix="kor_demo_")
        self.procs = []
        self.lock = threading.Lock()
        self.status = {"mode": None, "board_mode": None, "temperature": None, "target": None,
                       "heat": None, "belts": {}, "fans": {}, "events": []}
        self.seen = []
        self.changed = threading.Condition(self.lock)
        self.env = dict(os.environ)
        self.env["ZEB_BUS_DIR"] = os.path.join(self.work, "bus")
        self.env["KOR_CONFIG_DIR"] = os.path.join(self.work, "config")
        self.env["ZEB_LOG"] = "file:" + os.path.join(self.work, "oven_mgr.log")
        # The fault manager's list of active faults, which the web console shows.
        self.env["ZEB_FAULT_FILE"] = os.path.join(self.work, "faults")
        shutil.copytree(args.config, self.env["KOR_CONFIG_DIR"])
        os.makedirs(self.env["ZEB_BUS_DIR"], mode=0o770)
        self.broker_lines = []
        self.link = os.path.join(self.work, "ioboard")
        self.control = os.path.join(self.work, "ioboard.ctl")

    # ---- processes ----
    def start(self, argv, **kw):
        p = subprocess.Popen(argv, env=self.env, stdin=subprocess.DEVNULL, **kw)
        self.procs.append(p)
        return p

    def stop_all(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
        deadline = time.time() + 5
        for p in reversed(self.procs):
            try:
                p.wait(max(0.1, deadline - time.time()))
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        shutil.rmtree(self.work, ignore_errors=True)

    def board(self, command):
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.connect(self.control)
            s.sendall((command + "\n").encode())
            answer = b""
            while not answer.endswith(b"\n"):
                chunk = s.recv(4096)
                if not chunk:
                    break
                answer += chunk
            return answer.decode().strip()

    def wait_for_path(self, path, seconds):
        deadline = time.time() + seconds
        while not os.path.exists(path):
            if time.time() > deadline:
                raise RuntimeError("%s did not appear" % path)
            time.sleep(0.05)

    # ---- the UI side ----
    def send(self, *words):
        subprocess.run([os.path.join(self.bin, "zebctl"), "send"] + [str(w) for w in words],
                       env=self.env, check=True)

    def monitor(self, proc):
        for line in proc.stdout:
            try:
                ev = json.loads(line)
            except ValueError:
                continue
            name = ev.get("event", "").rsplit(".", 1)[-1]
            f = ev.get("fields", {})
            with self.lock:
                st = self.status
                if name == "mode_notify":
                    st["mode"], st["board_mode"] = f.get("mode"), f.get("board_mode")
                elif name == "temperature_notify":
                    st["temperature"], st["target"] = f.get("temperature"), f.get("target")
                    st["heat"] = f.get("heat_percent")
                elif name == "belt_target_cook_time_notify":
                    st["belts"].setdefault(f.get("belt_num"), {})["cook"] = f.get("target_cook_time")
                elif name == "fan_target_speed_notify":
                    st["fans"].setdefault(f.get("fan_num"), {})["target"] = f.get("fan_target_speed")
                elif name == "fan_speed_notify":
                    st["fans"].setdefault(f.get("fan_num"), {})["speed"] = f.get("fan_speed")
                elif name == "photoeye_detection" and f.get("detect") == 1:
                    self.say("photo-eye: food detected on the belt")
                self.seen.append(name)
                if name in ("power_on", "power_off", "preheat_complete", "power_cooldown"):
                    self.say("UI event: " + name.replace("_", " "))
                self.changed.notify_all()

    # ---- the fleet side ----
    def start_fleet(self):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        conf = os.path.join(self.work, "mosquitto.conf")
        with open(conf, "w") as f:
            if os.geteuid() == 0:
                f.write("user root\n")  # else it drops to "mosquitto", who cannot read here
            f.write("persistence false\nallow_anonymous true\nlistener %d 127.0.0.1\n" % port)
            f.write("log_dest file %s\n" % os.path.join(self.work, "mosquitto.log"))
        self.start([shutil.which("mosquitto") or "/usr/sbin/mosquitto", "-c", conf],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                if time.time() > deadline:
                    raise RuntimeError("the broker did not start")
                time.sleep(0.05)
        sub = self.start(["mosquitto_sub", "-p", str(port), "-q", "1", "-v", "-t", "kor/#"],
                         stdout=subprocess.PIPE, text=True)
        threading.Thread(target=self.broker_watch, args=(sub,), daemon=True).start()
        agent_conf = os.path.join(self.work, "fleet.conf")
        with open(agent_conf, "w") as f:
            f.write("oven_id = demo-oven\nbroker_port = %d\n" % port)
            f.write("queue_dir = %s\n" % os.path.join(self.work, "fleet"))
            f.write("firmware_dir = %s\n" % os.path.join(self.work, "fleet", "firmware"))
        env = dict(self.env)
        env["ZEB_LOG"] = "file:" + os.path.join(self.work, "fleet_agent.log")
        self.procs.append(subprocess.Popen(
            [os.path.join(self.bin, "kor_fleet_agent"), "--config", agent_conf], env=env,
            stdin=subprocess.DEVNULL))
        for channel in ("zeb_update", "zeb_telvo"):
            self.wait_for_path(os.path.join(self.env["ZEB_BUS_DIR"], channel), 10)
        print("  broker on 127.0.0.1:%d, fleet agent for oven demo-oven; watch it yourself with" %
              port)
        print("    mosquitto_sub -p %d -v -t 'kor/#'" % port, flush=True)

    def broker_watch(self, proc):
        for line in proc.stdout:
            line = line.rstrip()
            topic, _, payload = line.partition(" ")
            if len(payload) > 150:
                payload = payload[:147] + "..."
            with self.lock:
                self.broker_lines.append(topic)
                self.say("broker: %s %s" % (topic, payload))
                self.changed.notify_all()

    def wait_broker(self, what, pred, seconds):
        deadline = time.time() + seconds
        with self.lock:
            while not any(pred(t) for t in self.broker_lines):
                left = deadline - time.time()
                if left <= 0:
                    raise RuntimeError("timed out waiting for " + what)
                self.changed.wait(min(left, 0.5))

    def say(self, text):
        print("  " + text, flush=True)

    def line(self):
        st = self.status
        mode = UI_STATES.get(st["mode"], "?") if st["mode"] is not None else "-"
        fans = " ".join("%s:%s%%" % (k, v.get("speed", "-")) for k, v in sorted(st["fans"].items()))
        belts = " ".join("%s:%ss" % (k, v.get("cook", "-")) for k, v in sorted(st["belts"].items()))
        def v(x):
            return "-" if x is None else x
        return "state %-8s (board %s)  %s F -> %s F  heat %s%%  belts %s  fans %s" % (
            mode, v(st["board_mode"]), v(st["temperature"]), v(st["target"]), v(st["heat"]),
            belts or "-", fans or "-")

    def wait_until(self, what, pred, seconds):
        deadline = time.time() + seconds
        last = 0
        with self.lock:
            while not pred(self.status, self.seen):
                left = deadline - time.time()
                if left <= 0:
                    raise RuntimeError("timed out waiting for " + what)
                self.changed.wait(min(left, 0.5))
                if time.time() - last >= 2:
                    print("    " + self.line(), flush=True)
                    last = time.time()
            print("    " + self.line(), flush=True)

    def step(self, title):
        print("\n== " + title, flush=True)

    def start_webui(self):
        # The web console beside the manager; a free port when 8080 is taken.
        for listen in (os.environ.get("KOR_WEBUI_LISTEN", "127.0.0.1:8080"), "127.0.0.1:0"):
            web = self.start([os.path.join(self.bin, "kor_webui"), "--listen", listen],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
            line = web.stdout.readline()
            if line.startswith("kor_webui: listening on "):
                threading.Thread(target=lambda: [None for _ in web.stdout], daemon=True).start()
                print("  web console: " + line.split("listening on ", 1)[1].strip(), flush=True)
                return

    # ---- the bake ----
    def run(self):
        print("demo: scratch folder %s" % self.work)
        self.step("Starting the virtual IO board (physics %dx real time)" % self.speed)
        self.start([os.path.join(self.bin, "kor_ioboard_sim"), "--link", self.link, "--control",
                    self.control, "--speed", str(self.speed)], stdout=subprocess.DEVNULL)
        self.wait_for_path(self.control, 10)
        self.wait_for_path(self.link, 10)
        # The platform services the manager talks to, the firmware-update service (it subscribes
        # to it at start-up) and the cloud-reporting service, are the fleet agent.
        self.step("Starting a local MQTT broker and the fleet agent")
        self.start_fleet()
        self.wait_broker("the oven's presence", lambda t: t.endswith("/status"), 15)
        self.step("Starting the oven manager on " + self.link)
        mgr = self.start([os.path.join(self.bin, "kor_oven_mgr"), self.link],
                         stdout=subprocess.PIPE, text=True)
        started = False
        for out in mgr.stdout:
            print("  kor_oven_mgr: " + out.rstrip(), flush=True)
            if out.startswith("Oven manager successfully started"):
                started = True
                break
        if not started:
            raise RuntimeError("the oven manager did not start")
        threading.Thread(target=lambda: [None for _ in mgr.stdout], daemon=True).start()
        self.start_webui()
        mon = self.start([os.path.join(self.bin, "zebctl"), "monitor", "--json"],
                         stdout=subprocess.PIPE, text=True)
        threading.Thread(target=self.monitor, args=(mon,), daemon=True).start()
        self.wait_until("the first notifications", lambda st, seen: st["mode"] is not None, 15)

        self.step("Power on: the board purges, ignites and preheats")
        self.send("zeb.varlo.power_onoff", 1)
        self.wait_until("preheat", lambda st, seen: st["mode"] == 1, 30)
        self.step("The operator lowers the target temperature to 475 F")
        self.send("zeb.varlo.set_target_temperature", 475)
        self.wait_until("the new target", lambda st, seen: st["target"] == 475, 15)
        self.wait_until("preheat complete", lambda st, seen: "preheat_complete" in seen, 180)

        self.step("Baking: belt cook times and fan speeds from the UI")
        self.send("zeb.varlo.set_belt_cook_time", 1, 300)
        self.send("zeb.varlo.set_belt_cook_time", 2, 420)
        self.send("zeb.varlo.set_target_fan_speed", 1, 85)
        self.send("zeb.varlo.set_target_fan_speed", 2, 85)
        self.wait_until("the new cook times",
                        lambda st, seen: st["belts"].get(1, {}).get("cook") == 300
                        and st["belts"].get(2, {}).get("cook") == 420, 15)
        print("    board registers: belt 1 speed %s RPM, belt 2 speed %s RPM, blower 1 set %s" % (
            self.board("get 5"), self.board("get 13"), self.board("get 24")), flush=True)

        self.step("A thermocouple breaks for a moment: the fault report reaches the broker")
        self.board("fault 203 1")
        self.wait_broker("the fault report", lambda t: t.endswith("/report/fault"), 30)
        self.board("fault 203 0")

        self.step("Food on the belt")
        self.board("food 2")
        self.wait_until("the photo-eye", lambda st, seen: "photoeye_detection" in seen, 15)
        time.sleep(3)

        self.step("Power off: cooldown, then off")
        self.send("zeb.varlo.power_onoff", 0)
        self.wait_until("cooldown", lambda st, seen: "power_cooldown" in seen, 30)
        self.wait_until("off", lambda st, seen: st["mode"] == 0 and "power_off" in seen, 300)
        self.step("The minute's heartbeat and settings reports on the broker")
        self.wait_broker("the heartbeat", lambda t: t.endswith("/report/heartbeat"), 75)
        self.wait_broker("the settings", lambda t: t.endswith("/report/settings"), 15)
        self.step("Done: the oven is off. Stopping everything the demo started.")


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--bin", required=True)
    ap.add_argument("--config", required=True)
    ap.add_argument("--speed", type=int, default=40)
    args = ap.parse_args()
    demo = Demo(args)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(130))
    try:
        demo.run()
        return 0
    except KeyboardInterrupt:
        print("\ndemo: interrupted")
        return 130
    except (RuntimeError, subprocess.CalledProcessError, OSError) as e:
        print("\ndemo: FAILED: %s (log: kept below)" % e)
        log = demo.env["ZEB_LOG"][5:]
        if os.path.exists(log):
            with open(log) as f:
                print("".join(f.readlines()[-30:]))
        return 1
    finally:
        demo.stop_all()


if __name__ == "__main__":
    sys.exit(main())
