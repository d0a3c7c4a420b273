#!/usr/bin/python3
"""The reference side of bench/run: python3-zeroconf's own browser and resolver.

Usage: zc_browse.py TYPE COUNT TIMEOUT_S LISTEN_ADDRESS [--fetch]
Prints "start MS", then "resolved MS NAME" once an instance's SRV, TXT and an IPv4
address are known, and with --fetch also "listed MS NAME" once its NMOS self resource,
senders and receivers have been read over HTTP, the same reads as Ferrolink's intake.
Ends with "done" when COUNT instances got that far, or "timeout". MS is the monotonic
clock in milliseconds, the clock of Qt's "%{time boot}" log stamp.
"""

import asyncio
import sys
import time
import urllib.request

from zeroconf import IPVersion, ServiceStateChange
from zeroconf.asyncio import AsyncServiceBrowser, AsyncServiceInfo, AsyncZeroconf


def now_ms():
    return int(time.monotonic() * 1000)


def say(*words):
    print(*words, flush=True)


def read_node(address, port):
    base = "http://%s:%d/x-nmos/node/v1.3/" % (address, port)
    for path in ("self", "senders/", "receivers/"):
        with urllib.request.urlopen(base + path, timeout=10) as reply:
            reply.read()


async def main():
    service_type, count, timeout_s, listen = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
    fetch = "--fetch" in sys.argv
    finished = set()
    all_done = asyncio.Event()
    aiozc = AsyncZeroconf(interfaces=[listen], ip_version=IPVersion.V4Only)
    loop = asyncio.get_running_loop()

    async def take(name):
        info = AsyncServiceInfo(service_type, name)
        if not await info.async_request(aiozc.zeroconf, 3000) or not info.parsed_addresses():
            return
        say("resolved", now_ms(), name)
        if fetch:
            try:
                await loop.run_in_executor(None, read_node, info.parsed_addresses()[0], info.port)
            except OSError:
                return
            say("listed", now_ms(), name)
        finished.add(name)
        if len(finished) >= count:
            all_done.set()

    seen = set()

    def on_change(zeroconf, service_type, name, state_change):
        if state_change is ServiceStateChange.Added and name not in seen:
            seen.add(name)
            asyncio.ensure_future(take(name))

    say("start", now_ms())
    browser = AsyncServiceBrowser(aiozc.zeroconf, service_type, handlers=[on_change])
    try:
        await asyncio.wait_for(all_done.wait(), timeout_s)
        say("done")
    except asyncio.TimeoutError:
        say("timeout")
    await browser.async_cancel()
    await aiozc.async_close()


asyncio.run(main())
