#!/usr/bin/python3
# simnode_validate.py BASE_URL SCHEMA_ROOT: checks what a running nmos-simnode serves, and
# answers to PATCHes, against the official NMOS schemas, read where they lie under
# SCHEMA_ROOT (is-04-v1.3/schemas, is-05-v1.1/schemas). Prints each failure and a count;
# exits 1 when any check failed.
import json
import os
import sys
import urllib.error
import urllib.request

import jsonschema

base, root = sys.argv[1].rstrip("/"), sys.argv[2]
failures = []
checked = 0


def request(path, method="GET", body=None):
    data = None if body is None else json.dumps(body).encode()
    req = urllib.request.Request(path if "://" in path else base + path, data=data, method=method,
                                 headers={"Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(req, timeout=10) as reply:
            return reply.status, reply.read()
    except urllib.error.HTTPError as error:
        return error.code, error.read()


def check(api, schema, path, method="GET", body=None, status=200):
    global checked
    checked += 1
    code, raw = request(path, method, body)
    if code != status:
        failures.append("%s %s: status %d, expected %d" % (method, path, code, status))
        return []
    folder = os.path.join(root, api, "schemas")
    with open(os.path.join(folder, schema)) as f:
        resolver = jsonschema.RefResolver("file://" + folder + "/", json.load(f))
    document = json.loads(raw)
    for error in jsonschema.Draft4Validator(resolver.referrer, resolver=resolver,
                                            format_checker=jsonschema.FormatChecker()).iter_errors(document):
        failures.append("%s %s against %s: %s at %s" % (method, path, schema, error.message,
                                                         "/".join(str(p) for p in error.absolute_path)))
    return document


IS04, IS05 = "is-04-v1.3", "is-05-v1.1"
node, conn = "/x-nmos/node/v1.3/", "/x-nmos/connection/v1.1/"
check(IS04, "node.json", node + "self")
listed = {}
for collection in ("devices", "sources", "flows", "senders", "receivers"):
    listed[collection] = check(IS04, collection + ".json", node + collection + "/")
    for item in listed[collection]:
        check(IS04, collection[:-1] + ".json", node + collection + "/" + item["id"])
disconnect = {"master_enable": False, "transport_file": {"data": None, "type": None},
              "activation": {"mode": "activate_immediate", "requested_time": None}}
for kind, patch, bad in (("sender", {"activation": {"mode": "activate_immediate"}}, {"master_enable": "yes"}),
                         ("receiver", disconnect, {"activation": {"mode": "sometime"}})):
    for item in listed[kind + "s"]:
        path = conn + "single/" + kind + "s/" + item["id"] + "/"
        for leaf in ("staged", "active"):
            check(IS05, kind + "-response-schema.json", path + leaf)
        check(IS05, kind + "-response-schema.json", path + "staged", "PATCH", patch)
        check(IS05, kind + "-response-schema.json", path + "active")
        check(IS05, "error.json", path + "staged", "PATCH", bad, 400)
# Every receiver patched to a sender of its own format, with that sender's transport file.
formats = {f["id"]: f["format"] for f in listed["flows"]}
by_format = {formats.get(s["flow_id"]): s for s in listed["senders"]}
for receiver in listed["receivers"]:
    sender = by_format.get(receiver["format"])
    if sender is None:
        continue
    sdp = request(sender["manifest_href"])[1].decode()
    check(IS05, "receiver-response-schema.json", conn + "single/receivers/" + receiver["id"] + "/staged", "PATCH",
          dict(disconnect, sender_id=sender["id"], master_enable=True,
               transport_file={"data": sdp, "type": "application/sdp"}))
    check(IS04, "receiver.json", node + "receivers/" + receiver["id"])
check(IS04, "senders.json", node + "senders/")
print("\n".join(failures + ["%d checks, %d failures" % (checked, len(failures))]))
sys.exit(1 if failures else 0)
