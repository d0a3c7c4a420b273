#!/usr/bin/python3
# An independent mDNS peer for the interoperation tests, built on python3-zeroconf: announces
# one service and prints "registered"; then reads stdin: "txt key=value ..." replaces the TXT
# entries; "quit" or end of input withdraws it (goodbye), prints "unregistered" and exits.
import argparse
import sys

from zeroconf import IPVersion, ServiceInfo, Zeroconf

parser = argparse.ArgumentParser()
parser.add_argument("--type", required=True)
parser.add_argument("--name", required=True)
parser.add_argument("--port", type=int, default=0)
parser.add_argument("--host")
parser.add_argument("--address", action="append", default=[])
parser.add_argument("--txt", action="append", default=[])
args = parser.parse_args()


def info(entries):
    return ServiceInfo(args.type, "%s.%s" % (args.name, args.type), port=args.port, server=args.host,
                       properties=dict(e.partition("=")[::2] for e in entries), parsed_addresses=args.address)


zeroconf = Zeroconf(ip_version=IPVersion.All)
try:
    current = info(args.txt)
    # The names are unique on the test's private link: no probing needed.
    zeroconf.register_service(current, cooperating_responders=True)
    print("registered", flush=True)
    for line in sys.stdin:
        words = line.split()
        if words[:1] == ["quit"]:
            break
        if words[:1] == ["txt"]:
            current = info(words[1:])
            zeroconf.update_service(current)
    zeroconf.unregister_service(current)
    print("unregistered", flush=True)
finally:
    zeroconf.close()
