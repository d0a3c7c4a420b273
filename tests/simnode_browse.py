#!/usr/bin/python3
"""Browses _nmos-node._tcp with python3-zeroconf and prints what it sees, one JSON line per event.

Usage: simnode_browse.py LISTEN_ADDRESS
Lines: {"event": "added"|"updated"|"removed", "name": ..., "port": ..., "txt": {...}, "addresses": [...]}
Runs until stdin closes, so the test that started it decides when it ends.
"""

import json
import sys
import threading

from zeroconf import IPVersion, ServiceBrowser, ServiceStateChange, Zeroconf

TYPE = "_nmos-node._tcp.local."
lock = threading.Lock()


def emit(line):
    with lock:
        print(json.dumps(line), flush=True)


def on_change(zeroconf, service_type, name, state_change):
    event = {ServiceStateChange.Added: "added", ServiceStateChange.Updated: "updated",
             ServiceStateChange.Removed: "removed"}[state_change]
    line = {"event": event, "name": name}
    if state_change is not ServiceStateChange.Removed:
        info = zeroconf.get_service_info(service_type, name, timeout=3000)
        if info is not None:
            line["port"] = info.port
            line["server"] = info.server
            line["txt"] = {k.decode(): (v.decode() if v is not None else None)
                           for k, v in info.properties.items()}
            line["addresses"] = info.parsed_addresses()
    emit(line)


zc = Zeroconf(interfaces=[sys.argv[1]], ip_version=IPVersion.V4Only)
browser = ServiceBrowser(zc, TYPE, handlers=[on_change])
emit({"event": "browsing"})
sys.stdin.read()
browser.cancel()
zc.close()
