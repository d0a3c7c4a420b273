#!/usr/bin/python3
"""Announces COUNT services of TYPE with python3-zeroconf, each on its own host name, for
the side-by-side mDNS figure and the start figures of bench/run.

Usage: zc_announce.py TYPE COUNT ADDRESS [--ipv6 ADDRESS] [--ports PORT,...]
With --ipv6 the services are dual-stack: announced over both protocols, with both
addresses. --ports gives the services' ports in turn (default 8000, 8001, ...), such as
those of nodes an nmos-simnode serves without announcing them. Prints "ready" once every
service is registered, and withdraws them when stdin closes.
"""

import argparse
import asyncio
import socket
import sys

from zeroconf import IPVersion
from zeroconf.asyncio import AsyncServiceInfo, AsyncZeroconf


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("type")
    parser.add_argument("count", type=int)
    parser.add_argument("address")
    parser.add_argument("--ipv6")
    parser.add_argument("--ports", default="")
    args = parser.parse_args()
    ports = [int(p) for p in args.ports.split(",") if p]
    addresses = [socket.inet_aton(args.address)]
    if args.ipv6:
        aiozc = AsyncZeroconf(interfaces=[args.address, args.ipv6], ip_version=IPVersion.All)
        addresses.append(socket.inet_pton(socket.AF_INET6, args.ipv6))
    else:
        aiozc = AsyncZeroconf(interfaces=[args.address], ip_version=IPVersion.V4Only)
    infos = [AsyncServiceInfo(args.type, "bench-%d.%s" % (i, args.type),
                              addresses=addresses, port=ports[i] if i < len(ports) else 8000 + i,
                              properties={"api_ver": "v1.3", "api_proto": "http", "ver_slf": "0"},
                              server="bench-%d.local." % i)
             for i in range(args.count)]
    tasks = await asyncio.gather(*(aiozc.async_register_service(info) for info in infos))
    await asyncio.gather(*tasks)
    print("ready", flush=True)
    await asyncio.get_running_loop().run_in_executor(None, sys.stdin.read)
    await aiozc.async_unregister_all_services()
    await aiozc.async_close()


asyncio.run(main())
