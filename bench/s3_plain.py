#!/usr/bin/env python3
"""A plain S3 client for the benchmarks, beside the contenders: it asks the
store directly (never through the delaying proxy), so what it sees is what is
in the bucket. Python's standard library only; SigV4 with an unsigned payload.

    s3_plain.py STORE_DIR count BUCKET PREFIX
        the keys under PREFIX and their bytes: "KEYS BYTES"
    s3_plain.py STORE_DIR wait BUCKET PREFIX KEYS [BYTES] [--timeout S] [--files]
        waits until PREFIX holds exactly KEYS keys (and BYTES bytes when
        given); prints the seconds it waited. Exit 1 at the timeout.
        --files: only keys that do not end in "/" count.
    s3_plain.py STORE_DIR mkbucket BUCKET
    s3_plain.py STORE_DIR put BUCKET KEY [FILE]   (FILE absent: a few bytes)
    s3_plain.py STORE_DIR fill BUCKET LAYOUT [--connections N]
        puts tiny objects in parallel; LAYOUT is COUNTxPREFIX[,...], e.g.
        100000xbig/,900000xsmall/%04d/ : a %d in the prefix spreads that many
        keys over folders of 100 (big/ gets 100,000 keys in one folder).
        Prints the keys per second.

STORE_DIR is a folder made by scripts/s3-store (its env file gives the
endpoint and the keys).
"""

import argparse
import datetime
import hashlib
import hmac
import http.client
import os
import sys
import threading
import time
import urllib.parse
import xml.etree.ElementTree as ET


# The request log tells this client's requests from the contenders' by it.
USER_AGENT = "corvane-bench-s3-plain"


def read_env(store_dir):
    env = {}
    with open(os.path.join(store_dir, "env")) as f:
        for line in f:
            key, _, value = line.strip().partition("=")
            env[key] = value
    return env


def quote(text, safe="-_.~"):
    return urllib.parse.quote(text, safe=safe)


class Client:
    """One keep-alive connection to the store; not shared between threads."""

    def __init__(self, env):
        url = urllib.parse.urlsplit(env["AWS_ENDPOINT_URL"])
        self.host = url.netloc
        self.hostname, self.port = url.hostname, url.port
        self.access = env["AWS_ACCESS_KEY_ID"]
        self.secret = env["AWS_SECRET_ACCESS_KEY"]
        self.region = env.get("AWS_REGION", "us-east-1")
        self.connection = None

    def _headers(self, method, path, query):
        now = datetime.datetime.now(datetime.timezone.utc)
        stamp, day = now.strftime("%Y%m%dT%H%M%SZ"), now.strftime("%Y%m%d")
        canonical_query = "&".join(
            f"{quote(k)}={quote(v)}" for k, v in sorted(query.items()))
        signed = "host;x-amz-content-sha256;x-amz-date"
        canonical = "\n".join([
            method, path, canonical_query, f"host:{self.host}",
            "x-amz-content-sha256:UNSIGNED-PAYLOAD", f"x-amz-date:{stamp}", "",
            signed, "UNSIGNED-PAYLOAD"])
        scope = f"{day}/{self.region}/s3/aws4_request"
        to_sign = "\n".join([
            "AWS4-HMAC-SHA256", stamp, scope,
            hashlib.sha256(canonical.encode()).hexdigest()])
        key = ("AWS4" + self.secret).encode()
        for part in (day, self.region, "s3", "aws4_request"):
            key = hmac.new(key, part.encode(), hashlib.sha256).digest()
        signature = hmac.new(key, to_sign.encode(), hashlib.sha256).hexdigest()
        return {
            "Host": self.host,
            "User-Agent": USER_AGENT,
            "x-amz-date": stamp,
            "x-amz-content-sha256": "UNSIGNED-PAYLOAD",
            "Authorization": f"AWS4-HMAC-SHA256 Credential={self.access}/{scope}, "
                             f"SignedHeaders={signed}, Signature={signature}",
        }

    def request(self, method, bucket, key="", query=None, body=b""):
        """Status and body of one request; one retry on a closed connection."""
        query = query or {}
        path = "/" + quote(bucket) + ("/" + quote(key, safe="-_.~/") if key else "")
        target = path + ("?" + "&".join(
            f"{quote(k)}={quote(v)}" for k, v in sorted(query.items())) if query else "")
        for attempt in (0, 1):
            if self.connection is None:
                self.connection = http.client.HTTPConnection(self.hostname, self.port,
                                                             timeout=120)
            headers = self._headers(method, path, query)
            headers["Content-Length"] = str(len(body))
            try:
                self.connection.request(method, target, body=body, headers=headers)
                answer = self.connection.getresponse()
                data = answer.read()
                return answer.status, data
            except (http.client.HTTPException, ConnectionError):
                self.connection.close()
                self.connection = None
                if attempt:
                    raise
        raise AssertionError("unreachable")

    def count(self, bucket, prefix, files_only=False):
        """Keys and bytes under the prefix; files_only leaves out the keys
        that end in "/" (the folder markers some clients make)."""
        keys = size = 0
        token = None
        while True:
            query = {"list-type": "2", "prefix": prefix, "max-keys": "1000"}
            if token:
                query["continuation-token"] = token
            status, data = self.request("GET", bucket, query=query)
            if status != 200:
                raise RuntimeError(f"LIST {prefix}: HTTP {status}: {data[:200]!r}")
            root = ET.fromstring(data)
            ns = root.tag[:root.tag.index("}") + 1] if root.tag.startswith("{") else ""
            for item in root.iter(ns + "Contents"):
                if files_only and item.findtext(ns + "Key").endswith("/"):
                    continue
                keys += 1
                size += int(item.find(ns + "Size").text)
            token_element = root.find(ns + "NextContinuationToken")
            if root.findtext(ns + "IsTruncated") != "true" or token_element is None:
                return keys, size
            token = token_element.text


def layout_keys(layout):
    for part in layout.split(","):
        count, _, prefix = part.partition("x")
        count = int(count)
        for i in range(count):
            folder = prefix % (i // 100) if "%" in prefix else prefix
            yield f"{folder}obj-{i:07d}"


def fill(env, bucket, layout, connections):
    keys = layout_keys(layout)
    lock = threading.Lock()
    failures = []
    done = [0]

    def work():
        client = Client(env)
        while True:
            with lock:
                key = next(keys, None)
            if key is None or failures:
                return
            status, data = client.request("PUT", bucket, key, body=key.encode())
            if status != 200:
                failures.append(f"PUT {key}: HTTP {status}: {data[:200]!r}")
                return
            with lock:
                done[0] += 1

    start = time.monotonic()
    threads = [threading.Thread(target=work) for _ in range(connections)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if failures:
        raise RuntimeError(failures[0])
    seconds = time.monotonic() - start
    print(f"{done[0]} keys in {seconds:.1f} s, {done[0] / seconds:.0f} keys/s")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("store_dir")
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("count")
    p.add_argument("bucket")
    p.add_argument("prefix")
    p = sub.add_parser("wait")
    p.add_argument("bucket")
    p.add_argument("prefix")
    p.add_argument("keys", type=int)
    p.add_argument("bytes", type=int, nargs="?")
    p.add_argument("--timeout", type=float, default=900)
    p.add_argument("--files", action="store_true")
    p = sub.add_parser("mkbucket")
    p.add_argument("bucket")
    p = sub.add_parser("put")
    p.add_argument("bucket")
    p.add_argument("key")
    p.add_argument("file", nargs="?")
    p = sub.add_parser("fill")
    p.add_argument("bucket")
    p.add_argument("layout")
    p.add_argument("--connections", type=int, default=32)
    args = parser.parse_args()

    env = read_env(args.store_dir)
    client = Client(env)
    if args.command == "count":
        print(*client.count(args.bucket, args.prefix))
    elif args.command == "wait":
        start = time.monotonic()
        while True:
            keys, size = client.count(args.bucket, args.prefix, args.files)
            if keys == args.keys and (args.bytes is None or size == args.bytes):
                print(f"{time.monotonic() - start:.3f}")
                return 0
            if time.monotonic() - start > args.timeout:
                print(f"s3_plain: {args.prefix}: {keys} keys, {size} bytes after "
                      f"{args.timeout:.0f} s", file=sys.stderr)
                return 1
            time.sleep(0.1)
    elif args.command == "mkbucket":
        status, data = client.request("PUT", args.bucket)
        if status != 200:
            print(f"s3_plain: PUT {args.bucket}: HTTP {status}: {data[:200]!r}", file=sys.stderr)
            return 1
    elif args.command == "put":
        body = open(args.file, "rb").read() if args.file else b"changed elsewhere\n"
        status, data = client.request("PUT", args.bucket, args.key, body=body)
        if status != 200:
            print(f"s3_plain: PUT {args.key}: HTTP {status}: {data[:200]!r}", file=sys.stderr)
            return 1
    elif args.command == "fill":
        fill(env, args.bucket, args.layout, args.connections)
    return 0


if __name__ == "__main__":
    sys.exit(main())
