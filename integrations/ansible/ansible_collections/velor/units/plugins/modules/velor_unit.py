#!/usr/bin/python
# -*- coding: utf-8 -*-
# velor_unit: a Velor unit as asked, through velorctl on the machine that reaches it.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: velor_unit
short_description: Set a Velor unit's network parameters and firmware through velorctl
description:
  - Runs C(velorctl) with C(--json) on the host the task runs on (a site's gateway or
    laptop that reaches the unit over UDP or a serial line). The module never talks to
    the unit itself.
  - Reads the unit first and changes only what differs; C(changed) is false when the unit
    already holds every value asked and already runs the image.
  - The image is flashed first (C(velorctl flash --if-needed)), then the record fields are
    written (C(velorctl write --from -), keys never on a command line), so that a write
    that moves the unit to another address comes last.
  - Every option is checked before anything goes to a unit, by the rules velorctl applies;
    an option velorctl would refuse fails the task before any flash, in check mode too.
  - In check mode it reads only and tells what would change; nothing is written or loaded.
  - C(changed) is true whenever the unit was sent a load or a write, also when the task
    then fails (a flash that succeeded before the write failed says so in C(flash)).
  - With C(--diff) it shows the record fields before and after; keys are masked and show
    only whether they change.
  - C(--yes) is passed to velorctl, that is the playbook confirms the "Check Switches"
    notice.
version_added: "1.0.0"
options:
  target:
    description: C(udp:HOST[:PORT]) or C(serial:PORT) (a COM name or a device path), as in
      a velorctl fleet file.
    type: str
    required: true
  addr:
    description: Comm address (UDP) or unit address (serial), 0..15.
    type: int
  line_baud:
    description: The serial line's baud rate.
    type: int
  line_parity:
    description: The serial line's parity.
    type: str
    choices: [none, odd, even]
  ip:
    description: The unit's IP address.
    type: str
  mask:
    description: Subnet mask.
    type: str
  gateway:
    description: Gateway address.
    type: str
  port:
    description: The unit's UDP port.
    type: int
  timeout:
    description: Redundant server timeout.
    type: int
  des_key:
    description: DES key, exactly 16 hex digits (0 included), as C(velorctl read) prints it.
    type: str
  tdes_key1:
    description: Triple-DES key 1, exactly 16 hex digits (0 included).
    type: str
  tdes_key2:
    description: Triple-DES key 2, exactly 16 hex digits (0 included).
    type: str
  tdes_key3:
    description: Triple-DES key 3, exactly 16 hex digits (0 included).
    type: str
  baud:
    description: The unit's own serial port rate (properties mode).
    type: int
  parity_off:
    description: Properties mode.
    type: bool
  cts:
    description: Properties mode.
    type: bool
  encryption:
    description: Properties mode.
    type: bool
  auto_backup:
    description: Properties mode.
    type: bool
  unit_comm_addr:
    description: Properties mode, 0..15.
    type: int
  image:
    description: Firmware image (S-records or Intel HEX) on the host; flashed when the
      unit's check word differs from the image's (or is 0).
    type: path
  reset:
    description: Reset the unit after a verified write, so that it takes the new
      parameters. No write, no reset.
    type: bool
    default: false
  velorctl:
    description: velorctl to run, a path or a name looked up on PATH.
    type: str
    default: velorctl
author:
  - Velor configuration utility developers
"""

EXAMPLES = r"""
- name: Site units on the current firmware and settings
  velor.units.velor_unit:
    target: "udp:{{ unit_ip }}"
    gateway: 10.1.0.1
    timeout: 45
    des_key: "{{ vault_des_key }}"
    image: /srv/firmware/site-v2.s19
    reset: true
"""

RETURN = r"""
record:
  description: The record fields after the task (as read, or as written); keys masked.
  type: dict
  returned: when record fields were asked
flash:
  description: result (current, success, would-flash), check_word (the image's),
    unit_check_word (before).
  type: dict
  returned: when image was given
write:
  description: result (unchanged, success, would-write) and the fields that change.
  type: dict
  returned: when record fields were asked
exit_class:
  description: On failure, velorctl's exit class (refused, usage, comm, image).
  type: str
  returned: failure
"""

import json
import os
import re

from ansible.module_utils.basic import AnsibleModule

# Module option -> velorctl field, and how velorctl prints it.
FIELDS = {
    "ip": ("ip", str),
    "mask": ("mask", str),
    "gateway": ("gateway", str),
    "port": ("port", int),
    "timeout": ("timeout", int),
    "des_key": ("des-key", str),
    "tdes_key1": ("tdes-key1", str),
    "tdes_key2": ("tdes-key2", str),
    "tdes_key3": ("tdes-key3", str),
    "baud": ("baud", int),
    "parity_off": ("parity-off", bool),
    "cts": ("cts", bool),
    "encryption": ("encryption", bool),
    "auto_backup": ("auto-backup", bool),
    "unit_comm_addr": ("unit-comm-addr", int),
}
KEYS = ("des-key", "tdes-key1", "tdes-key2", "tdes-key3")
RECORD_ORDER = ["ip", "mask", "gateway", "port", "timeout"] + list(KEYS) + [
    "baud", "parity-off", "cts", "encryption", "auto-backup", "unit-comm-addr"]
EXIT_CLASSES = {1: "refused", 2: "usage", 3: "comm", 4: "image"}
MASK = "(key)"
# velorctl's own checks refuse with these before anything goes to a unit.
REFUSED_BEFORE_SENDING = (2, 4)
UNIT_BAUD_RATES = (1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200)
KEY_FORM = re.compile(r"[0-9A-Fa-f]{16}\Z")
OCTET = r"(?:[0-9]{1,3})"
DOTTED_FORM = re.compile(r"%s\.%s\.%s\.%s\Z" % (OCTET, OCTET, OCTET, OCTET))


def dotted_ok(text):
    return bool(DOTTED_FORM.match(text)) and all(int(n) <= 255 for n in text.split("."))


def in_range(low, high):
    return lambda v: low <= v <= high


# Option -> (check, what a good value is). A message names the option and the rule,
# never the value: for keys that is the point, and the others keep to the same form.
CHECKS = {
    "ip": (dotted_ok, "four numbers 0..255 joined by dots"),
    "mask": (dotted_ok, "four numbers 0..255 joined by dots"),
    "gateway": (dotted_ok, "four numbers 0..255 joined by dots"),
    "port": (in_range(0, 65535), "a number 0..65535"),
    "timeout": (in_range(0, 65535), "a number 0..65535"),
    "des_key": (lambda v: bool(KEY_FORM.match(v)), "exactly 16 hex digits"),
    "tdes_key1": (lambda v: bool(KEY_FORM.match(v)), "exactly 16 hex digits"),
    "tdes_key2": (lambda v: bool(KEY_FORM.match(v)), "exactly 16 hex digits"),
    "tdes_key3": (lambda v: bool(KEY_FORM.match(v)), "exactly 16 hex digits"),
    "baud": (lambda v: v in UNIT_BAUD_RATES, "one of " + " ".join(map(str, UNIT_BAUD_RATES))),
    "unit_comm_addr": (in_range(0, 15), "a number 0..15"),
    "addr": (in_range(0, 15), "a number 0..15"),
    "line_baud": (lambda v: v in UNIT_BAUD_RATES,
                  "one of " + " ".join(map(str, UNIT_BAUD_RATES))),
}


def hide_keys(module, values):
    """Every spelling of a key that velorctl or the module may print is masked by Ansible."""
    for value in values:
        if isinstance(value, str) and value:
            module.no_log_values.update((value, value.upper(), value.lower()))


def check_options(module):
    p = module.params
    for option, (ok, rule) in sorted(CHECKS.items()):
        value = p[option]
        if value is not None and not ok(value):
            module.fail_json(msg="%s is not %s" % (option, rule), exit_class="usage", rc=2)
    if p["image"] and not os.path.isfile(p["image"]):
        module.fail_json(msg="image %s is not a file" % p["image"], exit_class="image", rc=4)


class VelorctlFailed(Exception):
    def __init__(self, command, rc, stderr, result):
        self.command, self.rc, self.stderr, self.result = command, rc, stderr, result
        Exception.__init__(self, stderr)


def masked(record):
    return dict((k, MASK if k in KEYS else v) for k, v in record.items())


def record_text(record, changed_keys=()):
    lines = []
    for name in RECORD_ORDER:
        if name not in record:
            continue
        value = record[name]
        if name in KEYS:
            value = MASK + (" changed" if name in changed_keys else "")
        elif isinstance(value, bool):
            value = "on" if value else "off"
        lines.append("%s: %s" % (name, value))
    return "\n".join(lines) + "\n"


class Unit(object):
    def __init__(self, module):
        self.module = module
        p = module.params
        exe = p["velorctl"]
        if "/" not in exe:
            exe = module.get_bin_path(exe, required=True)
        elif not os.access(exe, os.X_OK):
            module.fail_json(msg="velorctl %s cannot be run" % exe, exit_class="usage", rc=2)
        self.exe = exe
        self.link = self._link(p)

    def _link(self, p):
        target = p["target"]
        if target.startswith("udp:"):
            link = ["--udp", target[4:]]
            if p["addr"] is not None:
                link += ["--comm-addr", str(p["addr"])]
            if p["line_baud"] is not None or p["line_parity"] is not None:
                self.module.fail_json(msg="line_baud and line_parity are for serial units",
                                      exit_class="usage")
        elif target.startswith("serial:") and len(target) > 7:
            link = ["--serial", target[7:]]
            if p["addr"] is not None:
                link += ["--unit-addr", str(p["addr"])]
            if p["line_baud"] is not None:
                link += ["--baud", str(p["line_baud"])]
            if p["line_parity"] is not None:
                link += ["--parity", p["line_parity"]]
        else:
            self.module.fail_json(msg="target '%s' is not udp:HOST[:PORT] or serial:PORT" % target,
                                  exit_class="usage")
        return link

    def run(self, command, data=None):
        """velorctl's JSON object; VelorctlFailed on a non-zero exit status."""
        argv = [self.exe] + self.link + ["--yes", "--json"] + command
        rc, out, err = self.module.run_command(argv, data=data, binary_data=data is not None)
        result = None
        for line in reversed(out.splitlines()):
            try:
                result = json.loads(line)
                break
            except ValueError:
                continue
        if rc != 0:
            raise VelorctlFailed(command[0], rc, err.strip(),
                                 result.get("result") if isinstance(result, dict) else None)
        if not isinstance(result, dict):
            raise VelorctlFailed(command[0], 3, "velorctl printed no result", None)
        return result

    def image_check_word(self, image):
        # The dry run names no unit and checks the whole image.
        argv = [self.exe, "--json", "flash", "--dry-run", image]
        rc, out, err = self.module.run_command(argv)
        if rc != 0:
            raise VelorctlFailed("flash", rc, err.strip(), None)
        j = json.loads(out)
        return j["check-word"] if j.get("check-word-found") else None


def wanted_fields(params):
    wanted = {}
    for option, (name, kind) in FIELDS.items():
        value = params[option]
        if value is None:
            continue
        if name in KEYS:
            value = value.upper()
        wanted[name] = kind(value)
    return wanted


def main():
    options = dict(
        target=dict(type="str", required=True),
        addr=dict(type="int"),
        line_baud=dict(type="int"),
        line_parity=dict(type="str", choices=["none", "odd", "even"]),
        ip=dict(type="str"),
        mask=dict(type="str"),
        gateway=dict(type="str"),
        port=dict(type="int"),
        timeout=dict(type="int"),
        des_key=dict(type="str", no_log=True),
        tdes_key1=dict(type="str", no_log=True),
        tdes_key2=dict(type="str", no_log=True),
        tdes_key3=dict(type="str", no_log=True),
        baud=dict(type="int"),
        parity_off=dict(type="bool"),
        cts=dict(type="bool"),
        encryption=dict(type="bool"),
        auto_backup=dict(type="bool"),
        unit_comm_addr=dict(type="int"),
        image=dict(type="path"),
        reset=dict(type="bool", default=False),
        velorctl=dict(type="str", default="velorctl"),
    )
    # The options are the first argument: what the module takes and how it checks it.
    module = AnsibleModule(options, supports_check_mode=True)
    p = module.params
    hide_keys(module, [p[k] for k in ("des_key", "tdes_key1", "tdes_key2", "tdes_key3")])
    unit = Unit(module)
    check_options(module)
    wanted = wanted_fields(p)
    out = dict(changed=False)
    diff = dict(before="", after="", before_header=p["target"], after_header=p["target"])
    sending = None  # the command under way that loads or writes the unit
    try:
        if p["image"]:
            if module.check_mode:
                image_word = unit.image_check_word(p["image"])
                unit_word = unit.run(["status"])["check-word"]
                current = image_word is not None and unit_word != "0000" and unit_word == image_word
                out["flash"] = dict(result="current" if current else "would-flash",
                                    check_word=image_word, unit_check_word=unit_word)
            else:
                out["flash"] = dict(result="failed")
                sending = "flash"
                j = unit.run(["flash", "--if-needed", p["image"]])
                sending = None
                current = j.get("result") == "current"
                out["flash"] = dict(result=j.get("result"), check_word=j.get("check-word"),
                                    unit_check_word=j.get("unit-check-word"))
            if not current:
                out["changed"] = True
                diff["before"] += "check-word: %s\n" % out["flash"]["unit_check_word"]
                diff["after"] += "check-word: %s\n" % out["flash"]["check_word"]
        if wanted:
            before = unit.run(["read"])
            hide_keys(module, [before.get(k) for k in KEYS])
            record = dict((k, before[k]) for k in RECORD_ORDER if k in before)
            differ = dict((k, v) for k, v in wanted.items()
                          if k not in record or record[k] != v)
            after = dict(record, **wanted)
            out["write"] = dict(result="unchanged", fields=sorted(differ))
            if differ and module.check_mode:
                out["write"]["result"] = "would-write"
            elif differ:
                # Every field asked goes to velorctl, on stdin: it leaves out what the unit
                # holds and locks, and keys never show in a process list.
                command = ["write", "--from", "-"] + (["--reset"] if p["reset"] else [])
                out["write"]["result"] = "failed"
                sending = "write"
                j = unit.run(command, data=json.dumps(wanted))
                sending = None
                out["write"]["result"] = j.get("result")
                after = dict((k, j[k]) for k in RECORD_ORDER if k in j)
            if out["write"]["result"] != "unchanged":
                out["changed"] = True
            out["record"] = masked(after)
            changed_keys = [k for k in KEYS if k in record and record[k] != after.get(k)]
            diff["before"] += record_text(record)
            diff["after"] += record_text(after, changed_keys)
    except VelorctlFailed as e:
        if sending and e.rc not in REFUSED_BEFORE_SENDING:
            out["changed"] = True
        if sending and e.result:
            out[sending]["result"] = e.result
        module.fail_json(msg="velorctl %s: %s" % (e.command, e.stderr or "failed"), rc=e.rc,
                         exit_class=EXIT_CLASSES.get(e.rc, "other"), result=e.result, **out)
    if module._diff:
        out["diff"] = diff
    module.exit_json(**out)


if __name__ == "__main__":
    main()
