#!/usr/bin/python3
"""Ferrolink's benchmarks, run by bench/run inside the private network namespace.

Each figure is measured beside a reference in the same run, and is the median of --runs
runs: the machine may be shared, so only ratios taken in one run are compared.

  1  discovery latency: process start to every entry of an announced node in both lists,
     and a node's first announcement to its entries, against python3-zeroconf's browser
     reading the same node (self, senders, receivers) over HTTP
  2  facility scale: 100, 300, 1000 nodes with four video senders and receivers each, main
     stack limited to 1 MiB: time to list every entry, peak memory, CPU, deepest nesting
     of intakes; python3-zeroconf resolving the same services is the reference
  3  churn: GETs that one connect run sets off, and GETs per minute with 300 nodes each
     bumping a counter every 10 s
  4  mDNS: our Browser and Resolver against python3-zeroconf on 200 services
  5  connect and disconnect runs against their requests at the single-request median, and
     the connect run again with a facility of 3,000 nodes listed around the pair
  6  start-up to the window shown, and idle memory, against an empty Qt main window
  7  idle traffic after start with one quiet node (60 s; 600 s with --long)
  9  found at start: two nodes announced by python3-zeroconf, IPv4 only and dual-stack
     (their HTTP served by an unannounced nmos-simnode on 10.77.0.2 and fd77::2): process
     start to the slower node's "mDNS found NMOS Node:" line
  8  type-to-find: a word typed a key at a time into a list of 24,000 entries, and two keys
     taken back; the slowest key to the popup of matches painted (no entry is current, so
     the row's check asks no node)
  11 registry restart: 3,000 nodes through the simulated registry, listed in the window; the
     registry restarts empty (nmos-simnode's SIGUSR1), and 2 s after every entry is greyed the
     nodes register again (SIGUSR2), as they do once their heartbeats fail: time from the
     registry's restart to every entry greyed, from the last registration to every entry
     normal again, and the longest event-loop stall from the restart until then; with the
     load average
  10 ferrolink-cli connect with two announced simulated nodes (camera and monitor, one group
     each), process start to exit: by label, which waits until no node has come for 500 ms,
     and by the entries' whole texts, which need no such wait; and list --json of 1,000
     nodes (8,000 entries, each receiver's active sender read), start to exit; with the
     load average
  12 synchronized salvo: 20 video receivers on 8 simulated devices (one node each, found
     through the simulated registry), recalled by ferrolink-cli with --in 2, against the
     same salvo recalled at once; the spread of the receivers' activation times as the
     simulator records them (first to last), the salvo taken down at once between runs

Writes build/bench/results.json, build/bench/results.md and build/bench/scale.png; --save
also copies the last two to bench/RESULTS.md and bench/scale.png.
"""

import argparse
import json
import os
import platform
import shutil
import signal
import statistics
import subprocess
import sys
import threading
import time
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchlib import Proc, Sniffer, now_ms, start_simnode  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
NODE_TYPE = "_nmos-node._tcp.local."
FERROLINK_RULES = "*.debug=false;default.debug=true;ferrolink.app.debug=true"
NODE_ARGS = ["--bind", "10.77.0.2", "--mdns-interface", "fl1"]
# The facility listed around the pair of a connect run.
FACILITY = 3000


class Bench:
    def __init__(self, options):
        self.o = options
        self.build = options.build
        self.out = os.path.join(self.build, "bench")
        os.makedirs(self.out, exist_ok=True)
        self.rows = []
        self.data = {"figures": {}, "curves": {}}

    def tool(self, path):
        return os.path.join(self.build, path)

    def row(self, figure, ours, reference, target, met, unit=""):
        ratio = ours / reference if isinstance(ours, (int, float)) and isinstance(reference, (int, float)) \
            and reference else None
        self.rows.append({"figure": figure, "ferrolink": ours, "reference": reference, "ratio": ratio,
                          "target": target, "met": met, "unit": unit})
        self.say("  %s: %s%s (reference %s)" % (figure, fmt(ours), unit, fmt(reference)))

    def say(self, text):
        print(text, flush=True)

    def ferrolink(self, stack_kib=None):
        return Proc([self.tool("app/ferrolink")], env={"QT_LOGGING_RULES": FERROLINK_RULES}, stack_kib=stack_kib)

    def reference(self, service_type, count, timeout_s, fetch=False):
        args = ["/usr/bin/python3", os.path.join(HERE, "zc_browse.py"), service_type, str(count), str(timeout_s),
                "10.77.0.1"]
        return Proc(args + (["--fetch"] if fetch else []))

    # Figure 1 ---------------------------------------------------------------------------

    def discovery_latency(self):
        self.say("1 discovery latency")
        node, _ = start_simnode(self.tool("tools/nmos-simnode"), NODE_ARGS + [
            "--label", "studio", "--video-senders", "4", "--video-receivers", "4"])
        time.sleep(2)
        ours, ref, late_ours, late_ref = [], [], [], []
        try:
            for run in range(self.o.runs):
                ours.append(self.start_to_listed(run))
                ref.append(self.reference_start_to_listed())
                pair = self.announcement_to_listed(run)
                late_ours.append(pair[0])
                late_ref.append(pair[1])
        finally:
            node.stop()
        self.row("1a start to entries of an announced node", median(ours), median(ref), "<= 350 ms",
                 le(median(ours), 350), " ms")
        self.row("1b announcement to entries", median(late_ours), median(late_ref), "<= 200 ms",
                 le(median(late_ours), 200), " ms")

    def start_to_listed(self, run):
        app = self.ferrolink()
        line = app.wait_line(lambda text: listed_counts(text, "studio") == (4, 4), 10, "err")
        app.stop()
        return line[0] - app.started if line else None

    def reference_start_to_listed(self):
        ref = self.reference(NODE_TYPE, 1, 10, fetch=True)
        line = ref.wait_line(lambda text: text.startswith("listed "), 12)
        ref.stop()
        return int(line[1].split()[1]) - ref.started if line else None

    def announcement_to_listed(self, run):
        label = "late-%d" % run
        app = self.ferrolink()
        ref = self.reference(NODE_TYPE, 2, 15, fetch=True)
        sniffer = Sniffer("10.77.0.1")
        time.sleep(2)
        node, _ = start_simnode(self.tool("tools/nmos-simnode"), NODE_ARGS + [
            "--label", label, "--video-senders", "4", "--video-receivers", "4"])
        ours = app.wait_line(lambda text: listed_counts(text, label) is not None
                             and listed_counts(text, label)[0] >= 8, 10, "err")
        theirs = ref.wait_line(lambda text: text.startswith("listed ") and label in text, 10)
        announced = sniffer.first_response_with(label)
        for proc in (app, ref, node):
            proc.stop()
        sniffer.stop()
        if announced is None:
            return None, None
        return (ours[0] - announced if ours else None,
                int(theirs[1].split()[1]) - announced if theirs else None)

    # Figures 2 and 3b -------------------------------------------------------------------

    def scale(self):
        self.say("2 facility scale (main stack 1 MiB)")
        targets = {1000: 3000, 3000: 8000}
        for count in self.o.scale:
            results = [self.scale_run(count, churn=(count == 300 and run == 0)) for run in range(self.o.runs)]
            self.scale_rows("2 %d nodes" % count, "scale_%d" % count, results, targets.get(count))
        self.say("2r facility scale through a registry (main stack 1 MiB)")
        for count in self.o.registry_scale:
            results = [self.scale_run(count, registry=True) for run in range(self.o.runs)]
            self.scale_rows("2r %d nodes through a registry" % count, "registry_%d" % count, results,
                            3000 if count == 3000 else None)

    def scale_rows(self, name, key, results, target_ms):
        """Rows for one facility size; target_ms also marks the sizes whose memory, crash and
        stall figures have targets."""
        listed = median([r["listed_ms"] for r in results])
        ref = median([r["reference_ms"] for r in results])
        peak = max(r["peak_mb"] for r in results)
        stall = max((r["stall_ms"] for r in results if r["stall_ms"] is not None), default=None)
        self.data["figures"][key] = results
        self.row("%s: all %d entries listed" % (name, 8 * results[0]["nodes"]), ms_to_s(listed), ms_to_s(ref),
                 "<= %g s" % (target_ms / 1000) if target_ms else "-", le(listed, target_ms) if target_ms else None,
                 " s")
        self.row("%s: peak memory" % name, peak, None, "<= 250 MB" if target_ms else "-",
                 (peak <= 250) if target_ms else None, " MB")
        self.row("%s: CPU seconds" % name, median([r["cpu_s"] for r in results]), None, "-", None, " s")
        self.row("%s: longest event-loop stall while listing" % name, stall, None,
                 "<= 100 ms" if target_ms else "-", le(stall, 100) if target_ms else None, " ms")
        self.row("%s: most intakes under way at once" % name, max(r["nesting"] for r in results), None, "-",
                 None)
        crashes = sum(1 for r in results if r["crashed"])
        self.row("%s: crashes with 1 MiB stack" % name, crashes, None, "0", crashes == 0 if target_ms else None)

    def scale_run(self, count, churn=False, registry=False):
        # A page of 100, as a common registry allows at most.
        extra = ["--registry", "0", "--registry-only", "--registry-page-limit", "100"] if registry else []
        node, nodes = start_simnode(self.tool("tools/nmos-simnode"), NODE_ARGS + extra + [
            "--nodes", str(count), "--video-senders", "4", "--video-receivers", "4"], timeout_s=120)
        time.sleep(2 + count / 500)
        # The window in the desk probe, which also times its event loop.
        app = Proc([self.tool("bench/desk-probe"), "watch", str(self.o.scale_timeout + 90)],
                   env={"QT_LOGGING_RULES": FERROLINK_RULES}, stack_kib=1024)
        want = 8 * count
        deadline = time.monotonic() + self.o.scale_timeout
        listed = None
        while time.monotonic() < deadline and app.popen.poll() is None:
            app.sample()
            line = app.wait_line(lambda text: total_listed(text) >= want, 0.5, "err")
            if line:
                listed = line[0] - app.started
                break
        app.sample()
        until = app.started + (listed if listed is not None else self.o.scale_timeout * 1000)
        # The peak counts what follows the listing too: a registry's subscriptions then each
        # send their whole collection.
        time.sleep(3)
        app.sample()
        stalls = [int(text.split()[2]) for at, text in list(app.out) if text.startswith("stall ") and at <= until]
        result = {"nodes": count, "listed_ms": listed, "peak_mb": round(app.peak_kib / 1024, 1),
                  "crashed": app.popen.poll() is not None, "curve": curve(app), "nesting": nesting(app.err),
                  # The probe reports calls that waited over 20 ms: none means less.
                  "stall_ms": max(stalls) if stalls else (20 if listed is not None else None),
                  "load": os.getloadavg()[0]}
        if churn and listed is not None:
            result["churn"] = self.churn(app, node, nodes)
        app.sample()
        result["cpu_s"] = app.cpu_s
        app.stop()
        result["crashed"] = result["crashed"] or app.crashed()
        result["reference_ms"] = None
        if not registry:
            ref = self.reference(NODE_TYPE, count, self.o.scale_timeout)
            done = ref.wait_line(lambda text: text in ("done", "timeout"), self.o.scale_timeout + 10)
            resolved = [int(line.split()[1]) for _, line in ref.out if line.startswith("resolved ")]
            result["reference_ms"] = (max(resolved) - ref.started) if done and done[1] == "done" else None
            ref.stop()
        node.stop()
        self.data["curves"].setdefault(("registry " if registry else "") + str(count), result["curve"])
        self.say("  %d nodes%s: listed %s ms, reference %s ms, peak %s MB, stall %s ms, at once %d, load %.1f%s" % (
            count, " (registry)" if registry else "", fmt(listed), fmt(result["reference_ms"]), result["peak_mb"],
            fmt(result["stall_ms"]), result["nesting"], result["load"], ", CRASHED" if result["crashed"] else ""))
        return result

    def churn(self, app, node, nodes):
        """PATCHes one receiver of every node once every 10 s for a minute, which bumps the
        node's ver_rcv counter and so its TXT record, and counts the GETs this sets off."""
        receivers = {}
        for entry in nodes:
            with urllib.request.urlopen("http://10.77.0.2:%d/x-nmos/node/v1.3/receivers/" % entry["port"],
                                        timeout=10) as reply:
                receivers[entry["port"]] = json.loads(reply.read())[0]["id"]
        time.sleep(3)
        start = now_ms()
        intakes_before = count_lines(app.err, "mDNS found NMOS Node:")
        bumps = 0
        period = 10.0
        begin = time.monotonic()
        while time.monotonic() - begin < 60:
            for i, (port, receiver) in enumerate(receivers.items()):
                due = begin + (bumps // len(receivers)) * period + i * period / len(receivers)
                if due - time.monotonic() > 0:
                    time.sleep(due - time.monotonic())
                if time.monotonic() - begin >= 60:
                    break
                body = json.dumps({"master_enable": False, "activation": {"mode": "activate_immediate"}}).encode()
                request = urllib.request.Request(
                    "http://10.77.0.2:%d/x-nmos/connection/v1.1/single/receivers/%s/staged" % (port, receiver),
                    data=body, method="PATCH", headers={"Content-Type": "application/json"})
                with urllib.request.urlopen(request, timeout=10) as reply:
                    reply.read()
                bumps += 1
        end = now_ms()
        time.sleep(2)
        gets = len(node.requests(start, end, "GET"))
        intakes = count_lines(app.err, "mDNS found NMOS Node:") - intakes_before
        return {"bumps": bumps, "gets": gets, "intakes": intakes, "minutes": (end - start) / 60000}

    def churn_row(self):
        runs = [r["churn"] for r in self.data["figures"].get("scale_300", []) if "churn" in r]
        if not runs:
            return
        c = runs[0]
        self.row("3b GETs per minute, 300 nodes bumping every 10 s", round(c["gets"] / c["minutes"]),
                 round(c["bumps"] / c["minutes"]), "-", None, " (reference: bumps per minute)")
        self.row("3b intakes per bump", round(c["intakes"] / max(c["bumps"], 1), 2), 1.0, "<= 1", c["intakes"]
                 <= c["bumps"])

    # Figures 3a and 5 -------------------------------------------------------------------

    def workflow(self):
        self.say("3a/5 connect and disconnect runs")
        runs = [self.workflow_run() for _ in range(self.o.runs)]
        self.data["figures"]["workflow"] = runs
        ok = [r for r in runs if r]
        for name in ("connect", "disconnect"):
            self.workflow_row("5 %s run" % name, [r[name] for r in ok])
        intakes = max([r["connect"]["intakes"] for r in ok], default=None)
        during = max([r["connect"]["intakes_during"] for r in ok], default=None)
        gets = median([r["connect"]["gets_set_off"] for r in ok])
        self.row("3a intakes set off by one connect run (during it: %s)" % fmt(during), intakes, 2,
                 "<= 1 per node, after the run", intakes is not None and intakes <= 2 and during == 0)
        self.row("3a GETs set off by one connect run", gets, None, "-", None)
        # The same pair with a facility listed around it: the lists must not slow a run.
        facility = [self.workflow_run(FACILITY) for _ in range(self.o.runs)]
        self.data["figures"]["workflow_facility"] = facility
        self.workflow_row("5 connect run, %d nodes listed" % FACILITY, [r["connect"] for r in facility if r])

    def workflow_row(self, name, runs):
        wall = median([r["wall_ms"] for r in runs])
        limit = median([r["limit_ms"] for r in runs])
        requests = median([r["requests"] for r in runs])
        self.row("%s (%s requests)" % (name, fmt(requests)), wall, limit, "<= 1.5 x limit",
                 le(wall, 1.5 * limit) if wall and limit else False, " ms")

    def workflow_run(self, facility=0):
        simnode = self.tool("tools/nmos-simnode")
        crowd = None
        if facility:
            crowd, _ = start_simnode(simnode, NODE_ARGS + [
                "--nodes", str(facility), "--video-senders", "4", "--video-receivers", "4"], timeout_s=120)
            time.sleep(2 + facility / 500)
        camera, _ = start_simnode(simnode, NODE_ARGS + [
            "--label", "camera", "--group-name", "Cam %n", "--video-senders", "1", "--audio-senders", "2",
            "--data-senders", "1"])
        monitor, _ = start_simnode(simnode, NODE_ARGS + [
            "--label", "monitor", "--group-name", "Mon %n", "--video-receivers", "1", "--audio-receivers", "2",
            "--data-receivers", "1"])
        # Every entry of the facility as well as the pair's.
        entries = 4 * facility + 1
        probe = Proc([self.tool("bench/desk-probe"), "workflow", str(entries)],
                     env={"QT_LOGGING_RULES": FERROLINK_RULES})
        end = probe.wait_line(lambda text: text.startswith(("disconnect-settled", "error")), 60 + facility / 50)
        for proc in (probe, camera, monitor) + ((crowd,) if crowd else ()):
            proc.stop()
        events = {line.split()[0]: int(line.split()[1]) for _, line in probe.out if len(line.split()) >= 2}
        messages = [line for _, line in probe.out if line.startswith("message")]
        if not end or "error" in events:
            self.say("  workflow run failed: %s" % (probe.out[-3:],))
            return None
        nodes = {"camera": camera, "monitor": monitor}
        # GETs per intake, per node, from the first listing, when nothing but intakes ran.
        per_intake = {}
        for name, proc in nodes.items():
            intakes = len(intake_lines(probe.err, name, 0, events["listed"] + 1500))
            per_intake[name] = len(proc.requests(0, events["listed"] + 1500, "GET")) / max(intakes, 1)
        result = {"single_ms": float(next(line.split()[2] for _, line in probe.out if line.startswith("single"))),
                  "messages": messages}
        for name in ("connect", "disconnect"):
            start, stop, settled = events[name + "-start"], events[name + "-end"], events[name + "-settled"]
            # Before the end mark, not at it: the run releases the intake as its last step, so an
            # intake that follows at once shares the end's millisecond.
            during = {n: len(intake_lines(probe.err, n, start, stop - 1)) for n in nodes}
            total = {n: len(intake_lines(probe.err, n, start, settled)) for n in nodes}
            requests = sum(len(p.requests(start, stop)) for p in nodes.values())
            nested = sum(during[n] * per_intake[n] for n in nodes)
            own = round(requests - nested)
            result[name] = {"wall_ms": stop - start, "requests": own, "limit_ms": own * result["single_ms"],
                            "intakes": sum(total.values()), "intakes_during": sum(during.values()),
                            "gets_set_off": round(sum(total[n] * per_intake[n] for n in nodes))}
        self.say("  single %.2f ms; connect %s; disconnect %s%s" % (
            result["single_ms"], result["connect"], result["disconnect"], "; " + str(messages) if messages else ""))
        return result

    # Figure 4 ---------------------------------------------------------------------------

    def mdns(self):
        self.say("4 mDNS side by side, 200 services")
        service_type = "_fl-bench._tcp.local."
        announcer = Proc(["/usr/bin/python3", os.path.join(HERE, "zc_announce.py"), service_type, "200",
                          "10.77.0.2"], stdin=True)
        ours, theirs = [], []
        try:
            if not announcer.wait_line(lambda text: text == "ready", 120):
                raise RuntimeError("the announcer did not start: %s" % announcer.err[-3:])
            time.sleep(1)
            for run in range(self.o.runs):
                pair = [self.mdns_ours(service_type), self.mdns_theirs(service_type)]
                if run % 2:
                    pair.reverse()
                ours.append(pair[0] if run % 2 == 0 else pair[1])
                theirs.append(pair[1] if run % 2 == 0 else pair[0])
        finally:
            announcer.stop()
        self.row("4 find and resolve 200 services", median(ours), median(theirs), "ratio <= 1.0",
                 le(median(ours), median(theirs)), " ms")

    def mdns_ours(self, service_type):
        probe = Proc([self.tool("bench/mdns-probe"), service_type, "200", "20000"])
        return self.resolve_time(probe)

    def mdns_theirs(self, service_type):
        return self.resolve_time(self.reference(service_type, 200, 20))

    @staticmethod
    def resolve_time(proc):
        end = proc.wait_line(lambda text: text in ("done", "timeout"), 30)
        proc.stop()
        if not end or end[1] != "done":
            return None
        start = int(next(line.split()[1] for _, line in proc.out if line.startswith("start ")))
        return max(int(line.split()[1]) for _, line in proc.out if line.startswith("resolved ")) - start

    # Figure 6 ---------------------------------------------------------------------------

    def startup(self):
        self.say("6 start-up and idle memory")
        node, _ = start_simnode(self.tool("tools/nmos-simnode"), NODE_ARGS + [
            "--label", "camera", "--video-senders", "1", "--video-receivers", "1"])
        shown, memory = {"ours": [], "bare": []}, {"ours": [], "bare": []}
        try:
            for _ in range(self.o.runs):
                for kind in ("ours", "bare"):
                    probe = Proc([self.tool("bench/desk-probe"), "shown", "3000"] + (["--bare"] if kind == "bare"
                                                                                   else []))
                    line = probe.wait_line(lambda text: text.startswith("shown"), 10)
                    idle = probe.wait_line(lambda text: text.startswith("idle"), 10)
                    rss = probe.rss_kib() if idle else None
                    probe.stop()
                    shown[kind].append(int(line[1].split()[1]) - probe.started if line else None)
                    memory[kind].append(round(rss / 1024, 1) if rss else None)
        finally:
            node.stop()
        self.row("6 start to window shown", median(shown["ours"]), median(shown["bare"]), "<= 300 ms",
                 le(median(shown["ours"]), 300), " ms")
        self.row("6 idle resident memory", median(memory["ours"]), median(memory["bare"]), "<= 60 MB",
                 le(median(memory["ours"]), 60), " MB")

    # Figure 7 ---------------------------------------------------------------------------

    def idle_traffic(self):
        seconds = 600 if self.o.long else 60
        self.say("7 idle traffic for %d s" % seconds)
        node, _ = start_simnode(self.tool("tools/nmos-simnode"), NODE_ARGS + [
            "--label", "quiet", "--video-senders", "1", "--video-receivers", "1"])
        time.sleep(2)
        sniffer = Sniffer("10.77.0.1")
        app = self.ferrolink()
        time.sleep(seconds)
        app.stop()
        sniffer.stop()
        node.stop()
        browse = bursts([at for at, response, authority, questions, _ in sniffer.packets
                         if not response and not authority and any(q[0] == NODE_TYPE.rstrip(".")
                                                                    for q in questions)])
        other = bursts([at for at, response, authority, questions, _ in sniffer.packets
                        if not response and not authority and questions
                        and not any(q[0] == NODE_TYPE.rstrip(".") for q in questions)])
        gaps = [round((b - a) / 1000, 1) for a, b in zip(browse, browse[1:])]
        expected = rfc_backoff_count(seconds)
        http = len([r for r in node.requests(app.started + 10000, app.started + seconds * 1000)])
        self.data["figures"]["idle"] = {"seconds": seconds, "browse_gaps_s": gaps, "other_queries": len(other),
                                        "http_after_10s": http}
        self.say("  browse query gaps (s): %s" % gaps)
        self.row("7 browse queries in %d s" % seconds, len(browse), expected, "RFC 6762 back-off",
                 backoff_ok(gaps))
        self.row("7 other queries in %d s (host addresses)" % seconds, len(other), None, "-", None)
        self.row("7 HTTP requests after the first 10 s", http, 0, "0", http == 0)

    # Figure 8 ---------------------------------------------------------------------------

    def finder(self):
        self.say("8 type-to-find among 24,000 entries")
        slowest = []
        for _ in range(self.o.runs):
            probe = Proc([self.tool("bench/desk-probe"), "find", "24000", "SIMNODE 29"])
            try:
                probe.popen.wait(60)
            except subprocess.TimeoutExpired:
                pass
            probe.stop()
            delays = [line.rsplit(" ", 1)[1] for _, line in probe.out if line.startswith("key ")]
            slowest.append(None if not delays or "none" in delays else max(float(d) for d in delays))
        self.data["figures"]["finder"] = slowest
        self.row("8 type-to-find, 24,000 entries: slowest key to matches shown", median(slowest), None,
                 "<= 100 ms", le(median(slowest), 100), " ms")

    # Figure 9 ---------------------------------------------------------------------------

    def dual_stack(self):
        self.say("9 found at start, IPv4 only and dual-stack")
        simnode, nodes = start_simnode(self.tool("tools/nmos-simnode"), [
            "--bind", "10.77.0.2", "--bind", "fd77::2", "--nodes", "2", "--video-senders", "1",
            "--video-receivers", "1"])
        ports = ",".join(str(n["port"]) for n in nodes)
        found = {}
        try:
            for mode, extra in (("ipv4", []), ("dual", ["--ipv6", "fd77::2"])):
                announcer = Proc(["/usr/bin/python3", os.path.join(HERE, "zc_announce.py"), NODE_TYPE, "2",
                                  "10.77.0.2", "--ports", ports] + extra, stdin=True)
                if not announcer.wait_line(lambda text: text == "ready", 30):
                    raise RuntimeError("the announcer did not start: %s" % announcer.err[-3:])
                time.sleep(1)
                found[mode] = [self.slower_found() for _ in range(max(self.o.runs, 7))]
                announcer.stop()
        finally:
            simnode.stop()
        self.data["figures"]["dual_stack"] = found
        ipv4, dual = median(found["ipv4"]), median(found["dual"])
        self.row("9 start to the slower of two nodes found, IPv4 only", ipv4, None, "<= 300 ms", le(ipv4, 300),
                 " ms")
        self.row("9 start to the slower of two nodes found, dual-stack", dual, ipv4, "<= 300 ms", le(dual, 300),
                 " ms")

    def slower_found(self):
        app = self.ferrolink()
        app.wait_line(lambda text: count_lines(app.err, "mDNS found NMOS Node: \"bench-") >= 2
                      and len({t.split('"')[1] for _, t in list(app.err)
                               if t.startswith("mDNS found NMOS Node:")}) >= 2, 10, "err")
        app.stop()
        first = {}
        for at, text in app.err:
            if text.startswith("mDNS found NMOS Node:"):
                first.setdefault(text.split('"')[1], at)
        return max(first.values()) - app.started if len(first) >= 2 else None

    # Figure 10 --------------------------------------------------------------------------

    def cli_connect(self):
        self.say("10 ferrolink-cli connect")
        simnode = self.tool("tools/nmos-simnode")
        group = ["--audio-%s", "2", "--data-%s", "1", "--video-%s", "1"]
        camera, cameras = start_simnode(simnode, NODE_ARGS + ["--label", "cli-camera", "--group-name", "Cam"]
                                        + [arg % "senders" if "%" in arg else arg for arg in group])
        monitor, monitors = start_simnode(simnode, NODE_ARGS + ["--label", "cli-monitor", "--group-name", "Mon"]
                                          + [arg % "receivers" if "%" in arg else arg for arg in group])
        time.sleep(2)
        texts = ["cli-camera (10.77.0.2:%d-Cam Video)" % cameras[0]["port"],
                 "cli-monitor (10.77.0.2:%d-Mon Video)" % monitors[0]["port"]]
        by_label, by_text, failures = [], [], 0
        try:
            for _ in range(self.o.runs):
                for names, times in ((["Cam Video", "Mon Video"], by_label), (texts, by_text)):
                    started = time.monotonic()
                    code = subprocess.run([self.tool("cli/ferrolink-cli"), "connect"] + names, timeout=30,
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
                    times.append(round((time.monotonic() - started) * 1000))
                    failures += code != 0
        finally:
            camera.stop()
            monitor.stop()
        load = " ".join("%.1f" % value for value in os.getloadavg())
        self.data["figures"]["cli_connect"] = {"by_label": by_label, "by_text": by_text, "failures": failures,
                                               "load": load}
        self.row("10 ferrolink-cli connect by label, start to exit (load %s)" % load, median(by_label), None,
                 "<= 600 ms", le(median(by_label), 600) and failures == 0, " ms")
        self.row("10 ferrolink-cli connect by entry text, start to exit (load %s)" % load, median(by_text), None,
                 "<= 600 ms", le(median(by_text), 600) and failures == 0, " ms")
        self.cli_list(1000)

    def cli_list(self, count):
        simnode, _ = start_simnode(self.tool("tools/nmos-simnode"), NODE_ARGS + [
            "--nodes", str(count), "--video-senders", "4", "--video-receivers", "4"], timeout_s=120)
        time.sleep(2 + count / 500)
        times = []
        try:
            for _ in range(self.o.runs):
                started = time.monotonic()
                done = subprocess.run([self.tool("cli/ferrolink-cli"), "list", "--json", "--wait", "60000"], timeout=90,
                                      stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
                listed = done.stdout.count("\n") == 8 * count and done.returncode == 0
                times.append(round(time.monotonic() - started, 2) if listed else None)
        finally:
            simnode.stop()
        load = " ".join("%.1f" % value for value in os.getloadavg())
        self.data["figures"]["cli_list_%d" % count] = {"seconds": times, "load": load}
        self.row("10 ferrolink-cli list --json, %d nodes, every entry with its active sender (load %s)" % (count, load),
                 median(times), None, "<= 3 s", le(median(times), 3), " s")

    # Figure 11 --------------------------------------------------------------------------

    def registry_restart(self):
        count = FACILITY
        self.say("11 registry restart, %d nodes" % count)
        runs = [self.registry_restart_run(count) for _ in range(self.o.runs)]
        self.data["figures"]["registry_restart"] = runs
        load = " ".join("%.1f" % value for value in os.getloadavg())
        name = "11 %d nodes, registry restarted" % count
        stall = max((r["stall_ms"] for r in runs if r["stall_ms"] is not None), default=None)
        greyed = median([r["greyed_ms"] for r in runs])
        normal = median([r["normal_ms"] for r in runs])
        self.row("%s: longest event-loop stall (load %s)" % (name, load), stall, None, "<= 100 ms", le(stall, 100),
                 " ms")
        self.row("%s: every entry greyed after it restarted" % name, ms_to_s(greyed), None, "<= 2 s",
                 le(greyed, 2000), " s")
        self.row("%s: every entry normal after the nodes registered again" % name, ms_to_s(normal), None, "<= 3 s",
                 le(normal, 3000), " s")

    def registry_restart_run(self, count):
        result = {"nodes": count, "greyed_ms": None, "normal_ms": None, "stall_ms": None}
        node, _ = start_simnode(self.tool("tools/nmos-simnode"), NODE_ARGS + [
            "--registry", "0", "--registry-only", "--registry-page-limit", "100",
            "--nodes", str(count), "--video-senders", "4", "--video-receivers", "4"], timeout_s=120)
        time.sleep(2 + count / 500)
        app = Proc([self.tool("bench/desk-probe"), "presence", str(self.o.scale_timeout + 60)],
                   env={"QT_LOGGING_RULES": FERROLINK_RULES}, stack_kib=1024)
        want = 8 * count
        try:
            if not app.wait_line(lambda text: entry_counts(text) == (want, 0), self.o.scale_timeout):
                self.say("  not every entry was listed: %s" % app.out[-2:])
                return result
            # The subscriptions' first grains, each a whole collection, come after the reads.
            time.sleep(5)
            # Timed from the simulator's own line, once the registry is empty.
            asked = now_ms()
            node.popen.send_signal(signal.SIGUSR1)
            line = wait_after(node, asked, lambda text: text.startswith("registry restarted"), 10, "err")
            gone = line[0] if line else asked
            greyed = wait_after(app, gone, lambda text: entry_counts(text) == (want, want), 20)
            if not greyed:
                self.say("  not every entry was greyed: %s" % app.out[-2:])
                return result
            result["greyed_ms"] = greyed[0] - gone
            time.sleep(2)
            asked = now_ms()
            node.popen.send_signal(signal.SIGUSR2)
            line = wait_after(node, asked, lambda text: text.startswith("registry: every node registered"), 10, "err")
            back = line[0] if line else asked
            normal = wait_after(app, back, lambda text: entry_counts(text) == (want, 0), 20)
            if normal:
                result["normal_ms"] = normal[0] - back
            time.sleep(1)
            stalls = [int(text.split()[2]) for at, text in list(app.out) if text.startswith("stall ") and at >= gone]
            # The probe reports calls that waited over 20 ms: none means less.
            result["stall_ms"] = max(stalls) if stalls else 20
        finally:
            app.stop()
            node.stop()
            result["load"] = os.getloadavg()[0]
            self.say("  greyed in %s ms, normal in %s ms, stall %s ms, load %.1f" % (
                fmt(result["greyed_ms"]), fmt(result["normal_ms"]), fmt(result["stall_ms"]), result["load"]))
        return result

    # Figure 12 --------------------------------------------------------------------------

    def salvo(self):
        self.say("12 synchronized salvo, 20 receivers on 8 devices")
        sizes = [3, 3, 3, 3, 2, 2, 2, 2]
        nodes = [{"label": "salvo-camera", "bind": ["10.77.0.2"],
                  "devices": [{"groups": [{"name": "Cam %d" % n, "video_senders": 1} for n in range(1, 21)]}]}]
        for device, size in enumerate(sizes, 1):
            groups = [{"name": "Mon %d.%d" % (device, n), "video_receivers": 1} for n in range(1, size + 1)]
            nodes.append({"label": "salvo-monitor-%d" % device, "bind": ["10.77.0.2"], "devices": [{"groups": groups}]})
        config = os.path.join(self.out, "salvo-nodes.json")
        with open(config, "w") as out:
            json.dump({"nodes": nodes}, out)
        simnode, started = start_simnode(self.tool("tools/nmos-simnode"), ["--config", config, "--registry", "0"])
        ports = {node["label"]: node["port"] for node in started if "label" in node}
        registry = "http://10.77.0.2:%d/x-nmos/query/v1.3" % next(node["registry"] for node in started if "registry" in node)
        states = lambda: [read_json("http://10.77.0.2:%d/x-simnode/state" % ports[n["label"]]) for n in nodes]
        senders = [s["id"] for s in states()[0]["senders"]]
        receivers = [r["id"] for state in states()[1:] for r in state["receivers"]]
        files = {}
        for name, on in (("on", True), ("off", False)):
            files[name] = os.path.join(self.out, "salvo-%s.json" % name)
            with open(files[name], "w") as out:
                json.dump({"receivers": [{"receiver": {"id": r}, "sender": {"id": s} if on else None, "enabled": False}
                                         for r, s in zip(receivers, senders)]}, out)
        together, immediate, failures = [], [], 0

        def recall(name, extra):
            started = time.monotonic()
            code = subprocess.run([self.tool("cli/ferrolink-cli"), "recall", files[name], "--registry", registry,
                                   "--wait", "20000"] + extra, timeout=60, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL).returncode
            taken = [r for state in states()[1:] for r in state["receivers"]]
            times = [tai_ms(r["activation_time"]) for r in taken if r["master_enable"] == (name == "on")]
            if code != 0 or len(times) != len(receivers):
                return None
            self.say("  %s %s: %d ms spread, %.1f s to exit" % (name, " ".join(extra) or "at once", max(times) - min(times),
                                                              time.monotonic() - started))
            return max(times) - min(times)
        try:
            for _ in range(self.o.runs):
                for extra, spreads in ((["--in", "2"], together), ([], immediate)):
                    failures += recall("off", []) is None
                    spread = recall("on", extra)
                    failures += spread is None
                    spreads.append(spread)
        finally:
            simnode.stop()
        load = " ".join("%.1f" % value for value in os.getloadavg())
        self.data["figures"]["salvo"] = {"together_ms": together, "immediate_ms": immediate, "failures": failures,
                                         "load": load}
        self.row("12 salvo of 20 receivers on 8 devices taken at one time: spread of activation times (load %s)" % load,
                 median(together), median(immediate), "<= 20 ms", le(median(together), 20) and failures == 0, " ms")

    # Output -----------------------------------------------------------------------------

    def finish(self):
        self.data["rows"] = self.rows
        self.data["machine"] = machine()
        with open(os.path.join(self.out, "results.json"), "w") as out:
            json.dump(self.data, out, indent=1)
        table = render_table(self.rows)
        print("\n" + table)
        plot = self.plot()
        with open(os.path.join(self.out, "results.md"), "w") as out:
            out.write(results_markdown(table, self.data["machine"], plot, self.o))
        if self.o.save:
            shutil.copy(os.path.join(self.out, "results.md"), os.path.join(HERE, "RESULTS.md"))
            if plot:
                shutil.copy(plot, os.path.join(HERE, "scale.png"))

    def plot(self):
        curves = self.data["curves"]
        if not curves or not shutil.which("gnuplot"):
            return None
        commands = ["set terminal pngcairo size 900,540", "set output '%s'" % os.path.join(self.out, "scale.png"),
                    "set title 'Entries listed after Ferrolink starts (four video senders and receivers per node)'",
                    "set xlabel 'seconds since start'", "set ylabel 'entries listed'", "set key left top",
                    "set grid"]
        plots = []
        for count, points in sorted(curves.items(), key=lambda item: (item[0].startswith("registry"),
                                                                        int(item[0].split()[-1]))):
            path = os.path.join(self.out, "curve-%s.dat" % count)
            with open(path, "w") as out:
                out.write("".join("%.3f %d\n" % point for point in points))
            plots.append("'%s' using 1:2 with steps lw 2 title '%s nodes'" % (path, count))
        commands.append("plot " + ", ".join(plots))
        subprocess.run(["gnuplot"], input="\n".join(commands), text=True, check=False)
        return os.path.join(self.out, "scale.png")


def listed_counts(text, service):
    """(transmitters, receivers) of a "Listed" line about service, else None."""
    if not text.startswith("Listed \"%s\"" % service):
        return None
    words = text.rsplit(" ", 2)
    return int(words[1]), int(words[2])


def total_listed(text):
    if not text.startswith("Listed "):
        return -1
    words = text.rsplit(" ", 2)
    return int(words[1]) + int(words[2])


def entry_counts(text):
    """(entries, greyed entries) of a desk probe's "entries" line, else None."""
    words = text.split()
    if len(words) != 4 or words[0] != "entries":
        return None
    return int(words[2]), int(words[3])


def wait_after(proc, since, predicate, timeout_s, stream="out"):
    """The first (ms, line) of proc's output that came at or after since and satisfies
    predicate, or None when the time is up."""
    deadline = time.monotonic() + timeout_s
    while True:
        for at, text in list(proc.out if stream == "out" else proc.err):
            if at >= since and predicate(text):
                return at, text
        if time.monotonic() > deadline or proc.popen.poll() is not None:
            return None
        time.sleep(0.05)


def curve(app):
    points = [(0.0, 0)]
    for at, text in list(app.err):
        total = total_listed(text)
        if total >= 0:
            points.append(((at - app.started) / 1000, total))
    return points


def nesting(lines):
    depth = deepest = 0
    for _, text in lines:
        if text.startswith("mDNS found NMOS Node:"):
            depth += 1
            deepest = max(deepest, depth)
        elif text.startswith("Listed "):
            depth -= 1
    return deepest


def intake_lines(lines, service, since, until):
    return [at for at, text in lines if since <= at <= until and text.startswith(
        "mDNS found NMOS Node: \"%s\"" % service)]


def count_lines(lines, prefix):
    return sum(1 for _, text in list(lines) if text.startswith(prefix))


def bursts(times, gap_ms=300):
    """One query sent on several interfaces arrives several times: count it once."""
    found = []
    for at in sorted(times):
        if not found or at - found[-1] > gap_ms:
            found.append(at)
    return found


def rfc_backoff_count(seconds):
    count, at, interval = 1, 0, 1
    while at + interval <= seconds:
        at += interval
        interval = min(interval * 2, 3600)
        count += 1
    return count


def backoff_ok(gaps):
    """Each gap at least as long as the one before and close to double it, capped at one hour."""
    if not gaps:
        return False
    for before, after in zip(gaps, gaps[1:]):
        if after < before * 0.9 or (after > before * 2.5 and after < 3600):
            return False
    return gaps[0] <= 2.0


def read_json(url):
    with urllib.request.urlopen(url, timeout=10) as reply:
        return json.loads(reply.read())


def tai_ms(timestamp):
    """An IS-05 "<seconds>:<nanoseconds>" time in milliseconds."""
    seconds, nanoseconds = (timestamp or "0:0").split(":")
    return int(seconds) * 1000 + int(nanoseconds) / 1e6


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def le(value, limit):
    return value is not None and limit is not None and value <= limit


def ms_to_s(value):
    return round(value / 1000, 2) if value is not None else None


def fmt(value):
    if value is None:
        return "n/a"
    if isinstance(value, float):
        return "%.2f" % value if abs(value) < 100 else "%.0f" % value
    return str(value)


def render_table(rows):
    lines = ["| figure | Ferrolink | reference | ratio | target | met |", "|---|---|---|---|---|---|"]
    for r in rows:
        met = "-" if r["met"] is None else ("yes" if r["met"] else "NO")
        lines.append("| %s | %s%s | %s | %s | %s | %s |" % (
            r["figure"], fmt(r["ferrolink"]), r["unit"] if r["ferrolink"] is not None else "", fmt(r["reference"]),
            fmt(r["ratio"]), r["target"], met))
    return "\n".join(lines)


def machine():
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as info:
            cpu = next(line.split(":", 1)[1].strip() for line in info if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    with open("/proc/meminfo") as info:
        memory = int(info.readline().split()[1]) // 1024
    return {"cpu": cpu, "cores": os.cpu_count(), "memory_mb": memory, "kernel": platform.release(),
            "load_average": os.getloadavg(), "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())}


def results_markdown(table, info, plot, options):
    lines = ["# Benchmark results", "",
             "Written by `bench/run%s` (see the top of `bench/bench.py` for what each figure measures). "
             "Figures are medians of %d runs; ratios are Ferrolink over the reference measured in the same run."
             % (" --long" if options.long else "", options.runs), "",
             table, ""]
    if plot:
        lines += ["![Entries listed over time for each facility size](scale.png)", ""]
    lines += ["Machine: %s, %d cores, %d MB, Linux %s, load average at the end %s; %s." % (
        info["cpu"], info["cores"], info["memory_mb"], info["kernel"],
        " ".join("%.1f" % v for v in info["load_average"]), info["date"]), ""]
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--long", action="store_true", help="idle traffic over ten minutes")
    parser.add_argument("--save", action="store_true", help="copy the results to bench/RESULTS.md")
    parser.add_argument("--only", default="1,2,3,4,5,6,7,8,9,10,11,12", help="figures to run, such as 2,4")
    parser.add_argument("--scale", default="100,300,1000,3000", help="node counts for figure 2")
    parser.add_argument("--registry-scale", default="3000", help="node counts for figure 2 through a registry")
    parser.add_argument("--scale-timeout", type=int, default=40, help="seconds to wait for every entry")
    options = parser.parse_args()
    options.scale = [int(n) for n in options.scale.split(",") if n]
    options.registry_scale = [int(n) for n in options.registry_scale.split(",") if n]
    only = set(options.only.split(","))
    if os.environ.get("FERROLINK_NETNS") != "1":
        sys.exit("bench.py sends multicast DNS: run it through bench/run, inside tools/netns-run")
    bench = Bench(options)
    steps = [("1", bench.discovery_latency), ("2", bench.scale), ("3", bench.churn_row), ("4", bench.mdns),
             ("5", bench.workflow), ("6", bench.startup), ("7", bench.idle_traffic), ("8", bench.finder),
             ("9", bench.dual_stack), ("10", bench.cli_connect), ("11", bench.registry_restart), ("12", bench.salvo)]
    for key, step in steps:
        if key in only or (key == "3" and "2" in only):
            step()
    bench.finish()


if __name__ == "__main__":
    main()
