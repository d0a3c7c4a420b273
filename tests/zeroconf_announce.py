#!/usr/bin/python3
# An independent mDNS peer for the interoperation tests, built on python3-zeroconf.
# register: announce one service, print "registered"; then read stdin: "txt key=value ..."
#   replaces the TXT entries; "quit" or end of input withdraws it (goodbye), prints
#   "unregistered" and exits.
# browse: wait for an instance of that name, resolve it and print
#   "found <name> <port> <server> <addresses,...> <key=value;...>", then wait for its
#   removal and print "removed <name>". Exit status 1 on time-out.
import argparse
import queue
import sys

from zeroconf import IPVersion, ServiceBrowser, ServiceInfo, ServiceStateChange, Zeroconf


def register(zc, args):
    def info(entries):
        return ServiceInfo(args.type, "%s.%s" % (args.name, args.type), port=args.port, server=args.host,
                           properties=dict(e.partition("=")[::2] for e in entries), parsed_addresses=args.address)
    current = info(args.txt)
    # The names are unique on the test's private link: no probing needed.
    zc.register_service(current, cooperating_responders=True)
    print("registered", flush=True)
    for line in sys.stdin:
        words = line.split()
        if words[:1] == ["quit"]:
            break
        if words[:1] == ["txt"]:
            current = info(words[1:])
            zc.update_service(current)
    zc.unregister_service(current)
    print("unregistered", flush=True)
    return 0


def browse(zc, args):
    events = queue.Queue()
    ServiceBrowser(zc, args.type, handlers=[lambda zeroconf, service_type, name, state_change:
                                            events.put((state_change, name))])
    wanted, found = "%s.%s" % (args.name, args.type), False
    while True:
        try:
            state, name = events.get(timeout=args.timeout)
        except queue.Empty:
            return 1
        if name.lower() != wanted.lower():
            continue
        if state == ServiceStateChange.Removed and found:
            print("removed %s" % name, flush=True)
            return 0
        info = None if found else zc.get_service_info(args.type, name, timeout=3000)
        if info is not None:
            txt = ";".join("%s=%s" % (k.decode(), (v or b"").decode()) for k, v in sorted(info.properties.items()))
            print("found %s %d %s %s %s" % (name, info.port, info.server, ",".join(sorted(info.parsed_addresses())),
                                            txt), flush=True)
            found = True


parser = argparse.ArgumentParser()
parser.add_argument("command", choices=["register", "browse"])
parser.add_argument("--type", required=True)
parser.add_argument("--name", required=True)
parser.add_argument("--port", type=int, default=0)
parser.add_argument("--host")
parser.add_argument("--address", action="append", default=[])
parser.add_argument("--txt", action="append", default=[])
parser.add_argument("--timeout", type=float, default=20)
arguments = parser.parse_args()
zeroconf = Zeroconf(ip_version=IPVersion.All)
try:
    status = (register if arguments.command == "register" else browse)(zeroconf, arguments)
finally:
    zeroconf.close()
sys.exit(status)
