#!/usr/bin/env python3
"""velor.units.velor_unit through ansible-playbook (connection: local) against a site of
50 units in one velorsim on 127.0.50.x: the first run changes the 49 that answer, the
second changes nothing, check mode changes nothing in the units (their state dumps say
so), and the silent one fails on its own.

Usage: ansible_test.py BUILD_DIR SOURCE_DIR. Exit 0 passed, 1 failed, 77 skipped."""

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

DES_KEY = "1122334455667788"
SKIP = 77


UNITS = 50


class Site:
    """One velorsim --site; the last unit is silent."""

    def __init__(self, velorsim, state):
        self.state = state
        self.proc = subprocess.Popen(
            [velorsim, "--site", str(UNITS), "--udp", "127.0.50.1:0", "--running",
             "--site-silent-every", str(UNITS), "--state-file", state],
            stdout=subprocess.PIPE, text=True)
        self.targets = []
        for line in self.proc.stdout:  # "unit: HOST:PORT ...", then "site: N units"
            if line.startswith("site: "):
                break
            if line.startswith("unit: "):
                self.targets.append("udp:" + line.split()[1])
        if len(self.targets) != UNITS:
            raise RuntimeError("velorsim did not start its site")

    def dump(self):
        """The units' state, as velorsim writes it on SIGUSR1."""
        if os.path.exists(self.state):
            os.remove(self.state)
        self.proc.send_signal(signal.SIGUSR1)
        for _ in range(400):
            if os.path.exists(self.state):
                with open(self.state) as f:
                    return json.load(f)
            time.sleep(0.025)
        raise RuntimeError("no state dump from velorsim")

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)


class Sim:
    """One velorsim unit of its own, for the refusal cases."""

    def __init__(self, velorsim, host, state, extra=()):
        self.state = state
        self.proc = subprocess.Popen(
            [velorsim, "--udp", host + ":0", "--running", "--state-file", state] + list(extra),
            stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline().strip()  # "udp: HOST:PORT" once it is ready
        if not line.startswith("udp: "):
            raise RuntimeError("velorsim did not start: " + line)
        self.target = "udp:" + line[5:]

    def dump(self):
        if os.path.exists(self.state):
            os.remove(self.state)
        self.proc.send_signal(signal.SIGUSR1)
        for _ in range(200):
            if os.path.exists(self.state):
                with open(self.state) as f:
                    return json.load(f)
            time.sleep(0.025)
        raise RuntimeError("no state dump from velorsim")

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)


class Unit:
    """One unit of the site: its index in the site's state and its target."""

    def __init__(self, site, index):
        self.index, self.target = index, site.targets[index]


class Failures:
    def __init__(self):
        self.n = 0

    def check(self, ok, what):
        if not ok:
            self.n += 1
            print("FAILED: " + what)


def play(work, source, inventory, extra=(), playbook="site.yml"):
    """ansible-playbook's exit status and output, its recap by host, each host's result."""
    tree = tempfile.mkdtemp(dir=work)
    env = dict(os.environ,
               ANSIBLE_COLLECTIONS_PATH=os.path.join(source, "integrations", "ansible"),
               ANSIBLE_CALLBACKS_ENABLED="ansible.builtin.tree", ANSIBLE_CALLBACK_TREE_DIR=tree,
               ANSIBLE_NOCOLOR="1", ANSIBLE_RETRY_FILES_ENABLED="0", ANSIBLE_FORKS="10",
               ANSIBLE_HOME=os.path.join(work, "ansible-home"),
               ANSIBLE_LOCAL_TEMP=os.path.join(work, "ansible-tmp"),
               ANSIBLE_REMOTE_TEMP=os.path.join(work, "ansible-remote-tmp"))
    start = time.monotonic()
    run = subprocess.run(["ansible-playbook", "-i", inventory,
                          os.path.join(source, "tests", "ansible", playbook)] + list(extra),
                         env=env, capture_output=True, text=True)
    seconds = time.monotonic() - start
    # The recap: "unit-a : ok=1 changed=1 unreachable=0 failed=0 ..."
    stats = {}
    recap = run.stdout[run.stdout.rfind("PLAY RECAP"):].splitlines()[1:]
    for line in recap:
        if " : " in line:
            host, counts = line.split(" : ", 1)
            stats[host.strip()] = dict((k, int(v)) for k, v in
                                       (c.split("=") for c in counts.split()))
    results = {}
    for host in os.listdir(tree):
        with open(os.path.join(tree, host)) as fh:
            results[host] = json.load(fh)
    if not stats:
        print(run.stdout + run.stderr)
    return run, stats, results, seconds


# Recognisable keys, given in lower case: the module upper-cases them for velorctl.
REFUSED_KEY = "c0ffee012345678"   # 15 digits; with 0 digits, which are allowed
ZERO_KEY = "c0ffee0123456789"
WRITE_KEY = "c1ffee1123456789"


def refusals(work, source, velorsim, velorctl, image, f):
    """Refusal paths before anything is sent, check mode with 0 digits in a key, and a
    write that fails after a flash; no key in any spelling anywhere in Ansible's output."""
    quiet = Sim(velorsim, "127.0.0.21", os.path.join(work, "quiet.json"))
    mismatch = Sim(velorsim, "127.0.0.22", os.path.join(work, "mismatch.json"),
                   ("--store-mismatch",))
    reader = Sim(velorsim, "127.0.0.23", os.path.join(work, "reader.json"))
    try:
        cases = {
            "short-key": dict(des_key=REFUSED_KEY, image=image),
            "bad-hex": dict(des_key=ZERO_KEY[:14] + "zz", image=image, check=True),
            "bad-ip": dict(des_key=ZERO_KEY, ip="300.1.1.1", image=image),
            "zero-digits": dict(des_key=ZERO_KEY, check=True),
            "flash-then-write-fails": dict(des_key=WRITE_KEY, image=image),
        }
        hosts = {}
        for name, case in cases.items():
            sim = {"flash-then-write-fails": mismatch, "zero-digits": reader}.get(name, quiet)
            hosts[name] = dict(case, velor_target=sim.target)
        inventory = os.path.join(work, "refuse.json")
        with open(inventory, "w") as fh:
            json.dump({"cases": {"hosts": hosts, "vars": {
                "ansible_connection": "local", "ansible_python_interpreter": "/usr/bin/python3",
                "velorctl": velorctl}}}, fh)
        run, stats, results, _ = play(work, source, inventory, ["-vvv"], "refuse.yml")
        for name in ("short-key", "bad-hex", "bad-ip"):
            r = results.get(name, {})
            f.check(stats[name]["failed"] == 1 and not r.get("changed") and
                    r.get("exit_class") == "usage",
                    "%s is refused before anything is sent: %s" % (name, r))
        f.check("des_key" in results.get("short-key", {}).get("msg", ""),
                "the refusal names the option")
        st = quiet.dump()
        f.check(st["load_blocks"] == 0 and all(st["frames"].get(c, 0) == 0
                                               for c in ("0x70", "0x91", "0x92", "0x8E")),
                "no refused task reaches the unit: %s" % st["frames"])
        r = results.get("zero-digits", {})
        f.check(stats["zero-digits"]["failed"] == 0 and r.get("changed") and
                r.get("write", {}).get("result") == "would-write",
                "a key with 0 digits is taken: %s" % r)
        r = results.get("flash-then-write-fails", {})
        f.check(stats["flash-then-write-fails"]["failed"] == 1 and r.get("changed") and
                r.get("flash", {}).get("result") == "success" and
                r.get("write", {}).get("result") not in (None, "unchanged"),
                "a write that fails after the flash says the flash happened: %s" % r)
        f.check(mismatch.dump()["load_blocks"] > 0, "the flash went through")
        shown = (run.stdout + run.stderr + json.dumps(results)).lower()
        for key in (REFUSED_KEY, ZERO_KEY, ZERO_KEY[:14], WRITE_KEY):
            f.check(key not in shown, "no key in Ansible's output (-vvv included)")
    finally:
        for sim in (quiet, mismatch, reader):
            sim.stop()


def main():
    build, source = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    if shutil.which("ansible-playbook") is None:
        print("ansible-playbook not found: Ansible tests skipped "
              "(scripts/install-deps.sh installs ansible-core)")
        return SKIP
    work = tempfile.mkdtemp(prefix="velor-ansible-")
    sims = {}
    site = None
    f = Failures()
    try:
        velorsim = os.path.join(build, "sim", "velorsim")
        images = {}
        for name, seed in (("v1", "1"), ("v2", "2")):
            images[name] = os.path.join(work, name + ".s19")
            # Across 0xFFFE, so that the image has a check word.
            subprocess.run([os.path.join(build, "cli", "velor-sample-image"), images[name],
                            "--start", "61440", "--size", "8192", "--seed", seed], check=True)
        site = Site(velorsim, os.path.join(work, "site.json"))
        for i in range(UNITS):
            sims["unit-silent" if i == UNITS - 1 else "unit-%02d" % (i + 1)] = Unit(site, i)
        inventory = os.path.join(work, "inventory.json")
        with open(inventory, "w") as fh:
            json.dump({"units": {
                "hosts": dict((h, {"velor_target": s.target}) for h, s in sims.items()),
                "vars": {"ansible_connection": "local",
                         "ansible_python_interpreter": "/usr/bin/python3",
                         "velorctl": os.path.join(build, "cli", "velorctl"),
                         "image": images["v1"], "des_key": DES_KEY}}}, fh)
        good = [h for h in sims if h != "unit-silent"]

        run, stats, results, t1 = play(work, source, inventory, ["--diff"])
        f.check(run.stdout.count("\n+des-key: (key) changed\n") == len(good),
                "a key that changes shows as changed, not as its value:\n" + run.stdout)
        states = site.dump()
        for h in good:
            f.check(stats[h]["changed"] == 1 and stats[h]["failed"] == 0,
                    "first run changes %s: %s" % (h, results[h]))
            st = states[sims[h].index]
            f.check(st["params"]["timeout"] == 45 and st["params"]["gateway"] == "127.0.0.1" and
                    st["params"]["des_key"] == DES_KEY.lower() and st["load_blocks"] > 0,
                    "%s holds what was asked: %s" % (h, st["params"]))
        silent = results["unit-silent"]
        f.check(stats["unit-silent"]["failed"] == 1 and silent.get("exit_class") == "comm" and
                "Unable to connect to Velor" in silent.get("msg", ""),
                "the silent unit fails with velorctl's message: %s" % silent)
        f.check(run.returncode != 0, "a failed host fails the play")

        run2, stats, results, t2 = play(work, source, inventory)
        for h in good:
            f.check(stats[h]["changed"] == 0 and stats[h]["failed"] == 0,
                    "second run changes nothing on %s: %s" % (h, results[h]))
            f.check(results[h].get("flash", {}).get("result") == "current", "second run flashes nothing")
        f.check(stats["unit-silent"]["failed"] == 1, "the silent unit fails again")

        states = site.dump()
        before = dict((h, states[sims[h].index]) for h in good)
        run3, stats, results, t3 = play(work, source, inventory,
                                        ["--check", "--diff", "-e", "timeout=46",
                                         "-e", "image=" + images["v2"]])
        states = site.dump()
        for h in good:
            after = states[sims[h].index]
            r = results[h]
            f.check(stats[h]["changed"] == 1 and r["write"]["result"] == "would-write" and
                    r["flash"]["result"] == "would-flash",
                    "check mode tells what would change on %s: %s" % (h, r))
            f.check("--- before: " + sims[h].target in run3.stdout,
                    "check mode shows %s's diff" % h)
            same = all(after["frames"].get(c, 0) == before[h]["frames"].get(c, 0)
                       for c in ("0x92", "0x8E", "0x8F"))
            f.check(same and after["params"] == before[h]["params"] and
                    after["load_blocks"] == before[h]["load_blocks"],
                    "check mode sends %s no write, load or reset" % h)
        # The default screen output shows the diff; a key only as masked.
        f.check(run3.stdout.count("-timeout: 45") == len(good)
                and run3.stdout.count("+timeout: 46") == len(good)
                and run3.stdout.count("\n des-key: (key)\n") == len(good),
                "the diff shows the field and masks the key:\n" + run3.stdout)
        for r in (run, run2, run3):
            f.check(DES_KEY not in r.stdout and DES_KEY not in r.stderr,
                    "the key never shows in Ansible's output")
        print("ansible-playbook runs: %.1f s, %.1f s, %.1f s (check mode)" % (t1, t2, t3))
        refusals(work, source, velorsim, os.path.join(build, "cli", "velorctl"), images["v2"], f)
    finally:
        if site:
            site.stop()
        shutil.rmtree(work, ignore_errors=True)
    print("passed" if f.n == 0 else "%d checks failed" % f.n)
    return 0 if f.n == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
