#!/usr/bin/python3
"""Announces COUNT services of TYPE with python3-zeroconf, each on its own host name, for
the side-by-side mDNS figure of bench/run.

Usage: zc_announce.py TYPE COUNT ADDRESS
Prints "ready" once every service is registered, and withdraws them when stdin closes.
"""

import asyncio
import socket
import sys

from zeroconf import IPVersion
from zeroconf.asyncio import AsyncServiceInfo, AsyncZeroconf


async def main():
    service_type, count, address = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    aiozc = AsyncZeroconf(interfaces=[address], ip_version=IPVersion.V4Only)
    infos = [AsyncServiceInfo(service_type, "bench-%d.%s" % (i, service_type),
                              addresses=[socket.inet_aton(address)], port=8000 + i,
                              properties={"api_ver": "v1.3", "api_proto": "http", "ver_slf": "0"},
                              server="bench-%d.local." % i)
             for i in range(count)]
    tasks = await asyncio.gather(*(aiozc.async_register_service(info) for info in infos))
    await asyncio.gather(*tasks)
    print("ready", flush=True)
    await asyncio.get_running_loop().run_in_executor(None, sys.stdin.read)
    await aiozc.async_unregister_all_services()
    await aiozc.async_close()


asyncio.run(main())
