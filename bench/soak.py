#!/usr/bin/python3
"""Soak: Ferrolink against one busy node for a long run; bench/soak starts it.

One nmos-simnode bumps its TXT counters every 100 ms (--bump-counters) while Ferrolink
runs headless. Once a minute this prints the live mDNS resolvers of discovery (from the
"ferrolink.discovery" debug line), Ferrolink's resident memory, and the HTTP requests the
node served and the nodes Ferrolink took in ("mDNS found NMOS Node:") during that minute.
All four should stay flat: a rising column is a leak or a pile-up.

  bench/soak              ten minutes
  bench/soak --minutes 2  a shorter run
"""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchlib import Proc, now_ms, start_simnode  # noqa: E402

RULES = "*.debug=false;default.debug=true;ferrolink.app.debug=true;ferrolink.discovery.debug=true"
RESOLVERS = "live resolvers: "


def last_resolver_count(app):
    for _, line in reversed(list(app.err)):
        if RESOLVERS in line:
            return int(line.rsplit(RESOLVERS, 1)[1])
    return None


def count(lines, prefix, since, until):
    return len([at for at, line in list(lines) if line.startswith(prefix) and since <= at < until])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--minutes", type=int, default=10)
    options = parser.parse_args()

    node, _ = start_simnode(os.path.join(options.build, "tools/nmos-simnode"), [
        "--bind", "10.77.0.2", "--mdns-interface", "fl1", "--label", "busy", "--video-senders", "1",
        "--video-receivers", "1", "--bump-counters", "100"])
    app = Proc([os.path.join(options.build, "app/ferrolink")], env={"QT_LOGGING_RULES": RULES})
    print("minute  resolvers  RSS MiB  requests/min  intakes/min", flush=True)
    start = now_ms()
    failed = False
    for minute in range(1, options.minutes + 1):
        time.sleep(max(0, (start + minute * 60000 - now_ms()) / 1000))
        since = start + (minute - 1) * 60000
        rss = app.rss_kib()
        if rss is None:
            print("Ferrolink ended: %s" % [line for _, line in app.err[-5:]])
            failed = True
            break
        requests = len(node.requests(since, start + minute * 60000))
        intakes = count(app.err, "mDNS found NMOS Node:", since, start + minute * 60000)
        print("%6d  %9s  %7.1f  %12d  %11d" % (minute, last_resolver_count(app), rss / 1024, requests, intakes),
              flush=True)
    app.stop()
    node.stop()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
