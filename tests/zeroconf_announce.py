#!/usr/bin/python3
"""An independent mDNS peer for the interoperation test, built on python3-zeroconf.

register: announce one service, print "registered"; then read commands from stdin:
  "txt key=value ..." replaces the TXT entries and prints "updated";
  "quit" (or end of input) withdraws the service (goodbye), prints "unregistered", exits.
browse: wait for an instance of the type (optionally of one name), resolve it and print
  "found <name> <port> <server> <addresses,...> <key=value;...>"; with --until-removed
  also wait for its removal and print "removed <name>". Exit status 1 on time-out.
"""
import argparse
import queue
import sys
import time

from zeroconf import IPVersion, ServiceBrowser, ServiceInfo, ServiceStateChange, Zeroconf


def txt_dict(entries):
    result = {}
    for entry in entries:
        key, _, value = entry.partition("=")
        result[key] = value
    return result


def register(args):
    zc = Zeroconf(ip_version=IPVersion.All)
    info = ServiceInfo(args.type, "%s.%s" % (args.name, args.type), port=args.port,
                       properties=txt_dict(args.txt), server=args.host,
                       parsed_addresses=args.address)
    zc.register_service(info)
    print("registered", flush=True)
    for line in sys.stdin:
        words = line.split()
        if not words:
            continue
        if words[0] == "txt":
            info = ServiceInfo(args.type, "%s.%s" % (args.name, args.type), port=args.port,
                               properties=txt_dict(words[1:]), server=args.host,
                               parsed_addresses=args.address)
            zc.update_service(info)
            print("updated", flush=True)
        elif words[0] == "quit":
            break
    zc.unregister_service(info)
    zc.close()
    print("unregistered", flush=True)


def browse(args):
    zc = Zeroconf(ip_version=IPVersion.All)
    events = queue.Queue()

    def changed(zeroconf, service_type, name, state_change):
        events.put((state_change, service_type, name))

    ServiceBrowser(zc, args.type, handlers=[changed])
    deadline = time.monotonic() + args.timeout
    wanted = "%s.%s" % (args.name, args.type) if args.name else None
    found = None
    status = 1
    while time.monotonic() < deadline:
        try:
            state, service_type, name = events.get(timeout=0.2)
        except queue.Empty:
            continue
        if wanted and name.lower() != wanted.lower():
            continue
        if state in (ServiceStateChange.Added, ServiceStateChange.Updated) and found is None:
            if service_type.startswith("_services._dns-sd."):
                print("found %s" % name, flush=True)
                status = 0
                break
            info = zc.get_service_info(service_type, name, timeout=3000)
            if info is None:
                continue
            txt = ";".join("%s=%s" % (k.decode(), (v or b"").decode())
                           for k, v in sorted(info.properties.items()))
            print("found %s %d %s %s %s" % (name, info.port, info.server,
                                            ",".join(sorted(info.parsed_addresses())), txt), flush=True)
            found = name
            if not args.until_removed:
                status = 0
                break
        elif state == ServiceStateChange.Removed and found and name == found:
            print("removed %s" % name, flush=True)
            status = 0
            break
    zc.close()
    return status


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="command", required=True)
    reg = sub.add_parser("register")
    reg.add_argument("--type", required=True)
    reg.add_argument("--name", required=True)
    reg.add_argument("--port", type=int, required=True)
    reg.add_argument("--host", required=True)
    reg.add_argument("--address", action="append", default=[])
    reg.add_argument("--txt", action="append", default=[])
    bro = sub.add_parser("browse")
    bro.add_argument("--type", required=True)
    bro.add_argument("--name")
    bro.add_argument("--timeout", type=float, default=20)
    bro.add_argument("--until-removed", action="store_true")
    args = parser.parse_args()
    if args.command == "register":
        register(args)
        return 0
    return browse(args)


if __name__ == "__main__":
    sys.exit(main())
