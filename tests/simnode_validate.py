#!/usr/bin/python3
"""Checks a running nmos-simnode against the official NMOS JSON schemas.

Usage: simnode_validate.py BASE_URL SCHEMA_ROOT
BASE_URL is http://host:port of one node; SCHEMA_ROOT holds is-04-v1.3/schemas and
is-05-v1.1/schemas. The schemas are read where they lie; nothing is copied.
Prints one line per check that fails and exits 1 when any did, 0 otherwise.
"""

import json
import os
import sys
import urllib.error
import urllib.request

import jsonschema

base, root = sys.argv[1].rstrip("/"), sys.argv[2]
failures = []
checked = 0


def validator(api, name):
    folder = os.path.join(root, api, "schemas")
    path = os.path.join(folder, name)
    with open(path) as f:
        schema = json.load(f)
    resolver = jsonschema.RefResolver("file://" + folder + "/", schema)
    return jsonschema.Draft4Validator(schema, resolver=resolver, format_checker=jsonschema.FormatChecker())


def request(path, method="GET", body=None):
    data = None if body is None else json.dumps(body).encode()
    req = urllib.request.Request(base + path, data=data, method=method,
                                 headers={"Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(req, timeout=10) as reply:
            return reply.status, reply.read()
    except urllib.error.HTTPError as error:
        return error.code, error.read()


def check(api, schema, path, method="GET", body=None, status=200):
    global checked
    code, raw = request(path, method, body)
    checked += 1
    if code != status:
        failures.append("%s %s: status %d, expected %d" % (method, path, code, status))
        return None
    document = json.loads(raw)
    for error in validator(api, schema).iter_errors(document):
        failures.append("%s %s against %s: %s at %s" % (method, path, schema, error.message,
                                                         "/".join(str(p) for p in error.absolute_path)))
    return document


IS04, IS05 = "is-04-v1.3", "is-05-v1.1"
node = "/x-nmos/node/v1.3/"
check(IS04, "nodeapi-base.json", node)
check(IS04, "node.json", node + "self")
for collection, plural, single in (("devices", "devices.json", "device.json"),
                                   ("sources", "sources.json", "source.json"),
                                   ("flows", "flows.json", "flow.json"),
                                   ("senders", "senders.json", "sender.json"),
                                   ("receivers", "receivers.json", "receiver.json")):
    items = check(IS04, plural, node + collection + "/") or []
    for item in items:
        check(IS04, single, node + collection + "/" + item["id"])

conn = "/x-nmos/connection/v1.1/"
check(IS05, "connectionapi-base.json", conn)
check(IS05, "connectionapi-single.json", conn + "single/")
sender_ids = [s["id"] for s in json.loads(request(node + "senders/")[1])]
receiver_ids = [r["id"] for r in json.loads(request(node + "receivers/")[1])]
for sid in sender_ids:
    path = conn + "single/senders/" + sid + "/"
    check(IS05, "connectionapi-sender.json", path)
    check(IS05, "sender-response-schema.json", path + "staged")
    check(IS05, "sender-response-schema.json", path + "active")
    check(IS05, "constraints-schema.json", path + "constraints")
    check(IS05, "transporttype-response-schema.json", path + "transporttype")
    check(IS05, "sender-response-schema.json", path + "staged", "PATCH",
          {"activation": {"mode": "activate_immediate"}})
    check(IS05, "sender-response-schema.json", path + "active")
    check(IS05, "error.json", path + "staged", "PATCH", {"master_enable": "yes"}, 400)
for index, rid in enumerate(receiver_ids):
    path = conn + "single/receivers/" + rid + "/"
    check(IS05, "connectionapi-receiver.json", path)
    check(IS05, "receiver-response-schema.json", path + "staged")
    check(IS05, "receiver-response-schema.json", path + "active")
    check(IS05, "constraints-schema.json", path + "constraints")
    check(IS05, "transporttype-response-schema.json", path + "transporttype")
    check(IS05, "receiver-response-schema.json", path + "staged", "PATCH",
          {"master_enable": False, "transport_file": {"data": None, "type": None},
           "activation": {"mode": "activate_immediate", "requested_time": None}})
    check(IS05, "receiver-response-schema.json", path + "active")
    check(IS05, "error.json", path + "staged", "PATCH", {"activation": {"mode": "sometime"}}, 400)
# Patch every receiver to a sender of its own format, with that sender's transport file.
flows = {f["id"]: f["format"] for f in json.loads(request(node + "flows/")[1])}
by_format = {}
for sender in json.loads(request(node + "senders/")[1]):
    by_format.setdefault(flows.get(sender["flow_id"]), sender)
for receiver in json.loads(request(node + "receivers/")[1]):
    sender = by_format.get(receiver["format"])
    if sender is None:
        continue
    with urllib.request.urlopen(sender["manifest_href"], timeout=10) as reply:
        sdp = reply.read().decode()
    path = conn + "single/receivers/" + receiver["id"] + "/staged"
    check(IS05, "receiver-response-schema.json", path, "PATCH",
          {"sender_id": sender["id"], "master_enable": True,
           "transport_file": {"data": sdp, "type": "application/sdp"},
           "activation": {"mode": "activate_immediate", "requested_time": None}})
    check(IS04, "receiver.json", node + "receivers/" + receiver["id"])
check(IS04, "node.json", node + "self")
check(IS04, "senders.json", node + "senders/")
check(IS04, "receivers.json", node + "receivers/")

for line in failures:
    print(line)
print("%d checks, %d failures" % (checked, len(failures)))
sys.exit(1 if failures else 0)
