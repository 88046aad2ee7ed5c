#!/usr/bin/env python3
"""Counts the requests a store served, from its own request log (a store
started with `scripts/s3-store start DIR --request-log` writes one JSON record
per request to DIR/requests.log).

    store_requests.py STORE_DIR mark BUCKET NAME
        sends a HEAD for a key that is never there (.corvane-mark/NAME) and
        waits until the log shows it: a point in the log that every request
        answered before it precedes.
    store_requests.py STORE_DIR count [--from NAME] [--to NAME] [--json]
                                      [--agent TEXT] [--detail]
        the requests between two marks (the log's start and end without
        them), by kind: LIST HEAD GET PUT COPY POST DELETE (and OTHER).
        The benchmarks' own plain client (s3_plain.py) and the marks are
        never counted; --agent counts only requests whose User-Agent holds
        TEXT. --detail adds a line per method, operation and status.

A request refused before the store knew its user or bucket (a bad signature,
a bucket that does not exist) is not in the log.
"""

import argparse
import collections
import json
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import s3_plain  # noqa: E402

KINDS = ["LIST", "HEAD", "GET", "PUT", "COPY", "POST", "DELETE", "OTHER"]
MARK_PREFIX = ".corvane-mark/"
LIST_OPERATIONS = {"list_bucket", "list_buckets", "list_bucket_multiparts",
                   "list_bucket_versions"}


def records(store_dir):
    path = os.path.join(store_dir, "requests.log")
    if not os.path.exists(path):
        return
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line:
                continue
            try:
                yield json.loads(line)
            except ValueError:
                continue  # a record still being written


def mark_name(record):
    method, _, rest = record.get("uri", "").partition(" ")
    path = rest.split(" ")[0].split("?")[0]
    at = path.find("/" + MARK_PREFIX)
    return path[at + 1 + len(MARK_PREFIX):] if method == "HEAD" and at >= 0 else None


def kind(record):
    method, _, rest = record.get("uri", "").partition(" ")
    operation = record.get("operation", "")
    if operation == "copy_obj" or "x-amz-copy-source" in json.dumps(
            record.get("http_x_headers", [])).lower():
        return "COPY"
    if operation in LIST_OPERATIONS:
        return "LIST"
    if method in ("PUT", "DELETE") and "/" not in rest.split(" ")[0].split("?")[0].strip("/"):
        return "OTHER"  # the bucket itself made, removed or configured
    if method in ("HEAD", "GET", "PUT", "POST", "DELETE"):
        return method
    return "OTHER"


def mark(store_dir, bucket, name, timeout=30):
    client = s3_plain.Client(s3_plain.read_env(store_dir))
    client.request("HEAD", bucket, MARK_PREFIX + name)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if any(mark_name(r) == name for r in records(store_dir)):
            return
        time.sleep(0.05)
    raise RuntimeError(f"the mark {name} did not reach the request log within {timeout} s")


def count(store_dir, start, end, agent):
    counting = start is None
    kinds = collections.Counter()
    detail = collections.Counter()
    for record in records(store_dir):
        name = mark_name(record)
        if name is not None:
            if name == start:
                counting = True
            elif name == end and counting:
                return kinds, detail
            continue
        if not counting:
            continue
        user_agent = record.get("user_agent", "")
        if user_agent == s3_plain.USER_AGENT or (agent and agent not in user_agent):
            continue
        k = kind(record)
        kinds[k] += 1
        method = record.get("uri", "").partition(" ")[0]
        detail[(k, method, record.get("operation", ""), record.get("http_status", ""))] += 1
    if not counting:
        raise RuntimeError(f"no mark {start} in the request log")
    if end is not None:
        raise RuntimeError(f"no mark {end} after {start or 'the start'} in the request log")
    return kinds, detail


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("store_dir")
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("mark")
    p.add_argument("bucket")
    p.add_argument("name")
    p = sub.add_parser("count")
    p.add_argument("--from", dest="start")
    p.add_argument("--to", dest="end")
    p.add_argument("--agent")
    p.add_argument("--json", action="store_true")
    p.add_argument("--detail", action="store_true")
    args = parser.parse_args()
    try:
        if args.command == "mark":
            mark(args.store_dir, args.bucket, args.name)
            return 0
        kinds, detail = count(args.store_dir, args.start, args.end, args.agent)
    except RuntimeError as e:
        print(f"store_requests: {e}", file=sys.stderr)
        return 1
    total = sum(kinds.values())
    if args.json:
        print(json.dumps({"total": total, **{k: kinds[k] for k in KINDS}}))
    else:
        print(f"total {total} " + " ".join(f"{k} {kinds[k]}" for k in KINDS if kinds[k]))
    if args.detail:
        for (k, method, operation, status), n in sorted(detail.items()):
            print(f"  {k:6} {method:6} {operation:24} {status:4} {n}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
