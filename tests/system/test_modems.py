"""Every cellular modem OpenWrt drives: the module's network device found from what UCI names (a
control device, a sysfs path, the protocol), in fake sysfs trees of USB modems over the router's
real counters; and the default route followed on IPv6-only links, with and without 464XLAT."""

import json
import os

from conftest import start, wait_until
from test_accounting import accepted_reports

USB = "devices/platform/soc/usb1/1-1/"
MODEM = "/sys/" + USB + "1-1.2"          # the modem the configuration names
OTHER_MODEM = "/sys/" + USB + "1-1.3"    # a second one beside it


def build_modems(tree):
    """Two USB modems as their drivers lay them out in sysfs: the first's interfaces hold a
    cdc-wdm node, ttyUSB2, ttyACM0 and the network device wwan0; the second's wwan1. The class
    links are made by add_class_link (a node may appear late)."""
    for path in ("1-1.2/1-1.2:1.4/net/wwan0", "1-1.2/1-1.2:1.4/usbmisc/cdc-wdm0",
                 "1-1.2/1-1.2:1.2/ttyUSB2/tty/ttyUSB2", "1-1.2/1-1.2:1.0/tty/ttyACM0",
                 "1-1.3/1-1.3:1.4/net/wwan1"):
        os.makedirs(os.path.join(tree, "platform", USB[len("devices/platform/"):], path))


def add_class_link(tree, device_class, node, interface):
    directory = os.path.join(tree, "class", device_class, node)
    os.makedirs(directory, exist_ok=True)
    if not os.path.lexists(os.path.join(directory, "device")):
        os.symlink("%s/%s" % (MODEM, interface), os.path.join(directory, "device"))


# proto, what network.module.device holds, the network device, how it is found
ROWS = [
    ("qmi", "/dev/cdc-wdm0", "wwan0", "network.module, proto qmi, /dev/cdc-wdm0"),
    ("mbim", "/dev/cdc-wdm0", "wwan0", "network.module, proto mbim, /dev/cdc-wdm0"),
    ("ncm", "/dev/ttyUSB2", "wwan0", "network.module, proto ncm, /dev/ttyUSB2"),
    ("ncm", "/dev/ttyACM0", "wwan0", "network.module, proto ncm, /dev/ttyACM0"),
    ("directip", "/dev/ttyUSB2", "wwan0", "network.module, proto directip, /dev/ttyUSB2"),
    ("modemmanager", OTHER_MODEM, "wwan1", "network.module, proto modemmanager, " + OTHER_MODEM),
    ("3g", "/dev/ttyUSB2", "3g-module", "network.module, proto 3g"),
    ("ppp", "/dev/ttyUSB2", "ppp-module", "network.module, proto ppp"),
    ("dhcp", "eth1", "eth1", "network.module.device"),
]


def first_report_is_exact(sb, service, device, before):
    """The first accepted report after a start with no state: every byte since the boot."""
    service.wait_for(lambda out, err: accepted_reports(out), timeout=30)
    tx, rx, up, dn = accepted_reports(service.out)[0]
    after = sb.counters(device)
    assert (up, dn) == (tx, rx) and before[0] <= tx <= after[0] and before[1] <= rx <= after[1]


def test_every_modem_row_reports_through_its_device(sandbox):
    sb = sandbox
    tree = sb.fake_sysfs()
    build_modems(tree)
    for device in ("wwan0", "wwan1", "3g-module", "ppp-module", "eth1"):
        sb.add_link(device)

    for k, (proto, control, device, found_by) in enumerate(ROWS):
        for path in (sb.state_file(), os.path.join(sb.flash_dir(), "pending")):
            if os.path.exists(path):
                os.unlink(path)
        sb.configure(module=None, device=control, proto=proto)
        sb.set_default_route(device)
        sb.push_traffic(device, 5 + k, 300 + 100 * k)
        before = sb.counters(device)
        service = start(sb)
        if k == 0:
            # The modem's node is not there yet (still enumerating): said, and found at the next
            # cycle once it appears; what its device carried meanwhile is reported.
            service.wait_for(lambda out, err: "The module interface is not configured: "
                             "network.module.device '/dev/cdc-wdm0' (proto qmi): no network "
                             "interface in /sys/class/usbmisc/cdc-wdm0/device/net" in out)
            sb.push_traffic(device, 7, 500)
            add_class_link(tree, "usbmisc", "cdc-wdm0", "1-1.2:1.4")
            add_class_link(tree, "tty", "ttyUSB2", "1-1.2:1.2/ttyUSB2")
            add_class_link(tree, "tty", "ttyACM0", "1-1.2:1.0")
        first_report_is_exact(sb, service, device, before)
        assert service.terminate() == 0
        assert "Module interface: %s (%s)" % (device, found_by) in service.out, (proto, control)
        status = start(sb, "--status")
        status.wait()
        assert status.out[1].startswith("Module interface: %s (%s), " % (device, found_by))

    # What UCI holds reaches --status --json as it is: UTF-8 passed through, valid JSON always.
    sb.configure(module=None, device="/dev/modém\t0", proto="qmi")
    status = start(sb, "--status", "--json")
    status.wait()
    assert json.loads("\n".join(status.out))["module"]["problem"].startswith(
        "network.module.device '/dev/modém\t0' (proto qmi): no network interface")


def test_ipv6_only_links(sandbox):
    sb = sandbox
    sb.enable_ipv6()
    sb.add_link("wwan0")
    sb.add_link("464-module_6_4")
    sb.configure(module=None, device="wwan0")
    sb.clear_default_routes()  # no IPv4 default route at all: an IPv6-only APN
    sb.set_default_route6("wwan0")
    service = start(sb)
    service.run_cycles(2)
    assert "Gateway: wwan0" in service.out
    # 464XLAT: IPv4's default route goes through the CLAT device, whose translated packets leave
    # through wwan0; the reports still count wwan0's counters, and never the CLAT device's.
    sb.set_default_route("464-module_6_4")
    service.run_cycles(2)
    assert "Gateway: 464-module_6_4" in service.out
    sb.push_traffic("wwan0", 9, 900)
    before = sb.far_end_counters("wwan0")
    service.run_cycles(1)
    after = sb.far_end_counters("wwan0")
    assert service.terminate() == 0
    reports = accepted_reports(service.out)
    assert len(reports) >= 4 and "skip reporting" not in service.out
    # Exact: the reports add up to wwan0's counters at the last one, which lie between what its
    # far end counted just before and just after that cycle.
    tx, rx = reports[-1][:2]
    assert (sum(r[2] for r in reports), sum(r[3] for r in reports)) == (tx, rx)
    assert before[0] <= tx <= after[0] and before[1] <= rx <= after[1]
    assert wait_until(lambda: all(r["client"].startswith("fd00:201:") for r in sb.requests()), 1)


def test_a_qmi_modem_beside_backups_and_back_under_another_name(sandbox):
    sb = sandbox
    tree = sb.fake_sysfs()
    build_modems(tree)
    add_class_link(tree, "usbmisc", "cdc-wdm0", "1-1.2:1.4")
    sb.add_link("wwan0", macvlan=True)  # the kernel tells both of a macvlan's final counters
    sb.add_link("eth0.2")
    sb.add_link("wwan2")
    sb.configure(module=None, device="/dev/cdc-wdm0", proto="qmi", interval=600)
    # The modem holds the default route, a wired backup beside it at a higher metric (as mwan3
    # keeps both); then a second modem's route too.
    sb.set_default_route("wwan0")
    sb.set_default_route("eth0.2", metric=20, replace_all=False)
    service = start(sb)
    sb.push_traffic("wwan0", 10, 800)
    service.cycle_now(sb.state_file())
    sb.set_default_route("wwan2", metric=10, replace_all=False)
    sb.push_traffic("wwan0", 5, 600)
    service.cycle_now(sb.state_file())
    # The start's cycle too; it may still have been running when the first was asked for.
    reports = service.wait_for(lambda out, err: accepted_reports(out)[2:] and accepted_reports(out))
    assert len(reports) == 3 and "skip reporting" not in service.out
    assert "Module Detected: 1" in service.out and "Gateway: wwan0" in service.out
    assert not any(line.startswith("Gateways: ") for line in service.out)  # the module's first
    tx, rx = reports[-1][:2]
    assert (sum(r[2] for r in reports), sum(r[3] for r in reports)) == (tx, rx)
    now = sb.counters("wwan0")  # moved on by the reports themselves, which went through it
    assert tx <= now[0] and rx <= now[1]

    # The modem resets with traffic after the last sample, and comes back as wwan1 under the same
    # control node, with counters from 0: the same modem, not one switched in UCI.
    sb.push_traffic("wwan0", 25, 1300)
    sb.delete_link("wwan0")
    gone = sb.far_end_counters("wwan0")  # the old device's whole life, as its far end saw it
    service.wait_for(lambda out, err: any(line.startswith("wwan0 is gone: ") for line in out))
    net = os.path.join(tree, "platform", USB[len("devices/platform/"):], "1-1.2/1-1.2:1.4/net")
    os.rename(os.path.join(net, "wwan0"), os.path.join(net, "wwan1"))
    sb.add_link("wwan1", macvlan=True)
    sb.set_default_route("wwan1", replace_all=False)
    sb.push_traffic("wwan1", 9, 400)
    # A restart before the next cycle: the books keep the modem's options, so wwan1 is still the
    # modem back.
    assert service.terminate() == 0
    earlier, out = accepted_reports(service.out), service.out
    service = start(sb)
    sb.push_traffic("wwan1", 4, 500)
    service.cycle_now(sb.state_file())
    service.wait_for(lambda out, err: len(accepted_reports(out)) == 2)  # the start's, and it
    assert service.terminate() == 0
    out += service.out
    assert "Module interface: wwan1 (network.module, proto qmi, /dev/cdc-wdm0)" in service.out
    assert not any(line.startswith("Counting wwan1 from its counters now") or
                   "the module interface before" in line for line in out)
    reports = earlier + accepted_reports(service.out)
    assert len(reports) == 5
    tx, rx = reports[-1][:2]
    now = sb.counters("wwan1")
    assert 0 < tx <= now[0] and 0 < rx <= now[1]
    assert (sum(r[2] for r in reports), sum(r[3] for r in reports)) == (gone[0] + tx, gone[1] + rx)
    print("a qmi modem back as wwan1: the old device's final counters tx %d rx %d, all billed"
          % gone)
