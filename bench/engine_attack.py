#!/usr/bin/python3
"""Attacks corvane-engine the way any local user could, without its token,
and measures whether it keeps answering:

  burst   2,000 requests on 2,000 connections at once (1,500 listings and 500
          folder creations): every one must get an answer, or a 503 at once;
          every creation answered 200 must exist on disk.
  slow    1,100 connections that send one header line every few seconds and
          never finish their head (reconnecting whenever the engine cuts
          one), while an authorised client keeps asking: its p99 must stay
          under 100 ms and none of its requests may fail.
  bodies  24 requests without the token that announce and send 60 MiB
          bodies: the engine must stay under 100 MB resident, during and
          after.

Each case starts its own engine on a temporary folder (own XDG_DATA_HOME),
talks to 127.0.0.1 only, is bounded in count and time, and ends the engine
and removes the folder when done.

Usage: bench/engine_attack.py [--engine PATH] [--case burst|slow|bodies]...
                              [--engine-open-files N]
Exit status 1 when a target is missed.
"""

import argparse
import asyncio
import json
import os
import resource
import shutil
import selectors
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
HOST = "127.0.0.1"
# The engine starts with the limits this script was started with, as it would
# from the user's shell; the script raises only its own.
ENGINE_FILES_LIMIT = resource.getrlimit(resource.RLIMIT_NOFILE)


# --- the engine ---------------------------------------------------------------


class Engine:
    """One corvane-engine child on a private temporary folder."""

    def __init__(self, binary):
        self.root = Path(tempfile.mkdtemp(prefix="engine-attack-"))
        self.scope = self.root / "scope"
        self.scope.mkdir()
        (self.root / "data").mkdir()
        self.log = open(self.root / "engine.log", "wb")
        env = dict(os.environ, XDG_DATA_HOME=str(self.root / "data"), TMPDIR=str(self.root))
        self.process = subprocess.Popen(
            [binary, "--scope", f"attack={self.scope}"],
            env=env, stdout=self.log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
            preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, ENGINE_FILES_LIMIT))
        discovery = self.root / "data" / "CorvaneSync" / "engine.json"
        deadline = time.monotonic() + 30
        while True:
            if self.process.poll() is not None:
                raise RuntimeError("the engine exited at start:\n" + self.output())
            try:
                info = json.loads(discovery.read_text())
                break
            except (OSError, ValueError):
                if time.monotonic() > deadline:
                    raise RuntimeError("the engine did not publish engine.json:\n" + self.output())
                time.sleep(0.05)
        self.port = info["port"]
        self.token = info["token"]

    def output(self):
        self.log.flush()
        return (self.root / "engine.log").read_text(errors="replace")[-4000:]

    def resident_mb(self):
        try:
            for line in Path(f"/proc/{self.process.pid}/status").read_text().splitlines():
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024
        except OSError:
            pass
        return float("nan")

    def open_files_limit(self):
        for line in Path(f"/proc/{self.process.pid}/limits").read_text().splitlines():
            if line.startswith("Max open files"):
                return int(line.split()[3])
        return -1

    def alive(self):
        return self.process.poll() is None

    def close(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()
        shutil.rmtree(self.root, ignore_errors=True)


# --- a minimal HTTP/1.1 client ------------------------------------------------


class NoAnswer(Exception):
    """The connection ended before a whole answer came."""


def head_bytes(method, target, headers, body_length=None):
    lines = [f"{method} {target} HTTP/1.1", f"Host: {HOST}"]
    lines += [f"{k}: {v}" for k, v in headers.items()]
    if body_length is not None:
        lines.append(f"Content-Length: {body_length}")
    return ("\r\n".join(lines) + "\r\n\r\n").encode()


async def read_answer(reader):
    """Reads one answer; returns (status, body)."""
    try:
        head = await reader.readuntil(b"\r\n\r\n")
    except asyncio.IncompleteReadError as e:
        raise NoAnswer("end of stream" if not e.partial else "cut head") from e
    except ConnectionError as e:
        raise NoAnswer(type(e).__name__) from e
    lines = head.decode("latin-1").split("\r\n")
    status = int(lines[0].split()[1])
    length = 0
    for line in lines[1:]:
        name, _, value = line.partition(":")
        if name.strip().lower() == "content-length":
            length = int(value.strip())
    try:
        body = await reader.readexactly(length)
    except (asyncio.IncompleteReadError, ConnectionError) as e:
        raise NoAnswer("cut body") from e
    return status, body


async def one_request(port, method, target, headers, body=b"", timeout=30.0):
    """One request on a new connection; returns (status, body, seconds)."""
    started = time.monotonic()
    writer = None
    try:
        async with asyncio.timeout(timeout):
            reader, writer = await asyncio.open_connection(HOST, port)
            writer.write(head_bytes(method, target, headers, len(body) if body else None) + body)
            await writer.drain()
            status, answer = await read_answer(reader)
            return status, answer, time.monotonic() - started
    finally:
        if writer is not None:
            writer.close()


def percentile(values, p):
    if not values:
        return float("nan")
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100 * (len(ordered) - 1))))]


def ms(seconds):
    return f"{seconds * 1000:.1f}"


# --- the cases ----------------------------------------------------------------


def burst_case(engine, total=2000, creations=500, spread=3.0, limit=60.0):
    """All connections open at once; their requests follow over `spread`
    seconds, as from clients on a machine too busy to send the moment they
    connect. Blocking sockets keep the schedule exact: an event loop busy
    with 2,000 connects would measure itself rather than the engine."""
    auth = {"Authorization": "Bearer " + engine.token}
    outcomes = {}
    latencies = []
    created = 0
    pending = {}  # socket -> [index, sent at, received bytes]
    unsent = []   # (socket, index, request), in sending order
    selector = selectors.DefaultSelector()

    def count(key):
        outcomes[key] = outcomes.get(key, 0) + 1

    started = time.monotonic()
    for i in range(total):
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            sock.connect((HOST, engine.port))
        except OSError as e:
            count("connect failed: " + (e.strerror or type(e).__name__))
            sock.close()
            continue
        if i < creations:
            body = json.dumps({"path": f"burst/d-{i}"}).encode()
            request = head_bytes("POST", "/v1/scopes/local-1/mkdir",
                                 dict(auth, **{"Content-Type": "application/json"}),
                                 len(body)) + body
        else:
            request = head_bytes("GET", "/v1/scopes/local-1/list?dir=", auth)
        unsent.append((sock, i, request))
    connected = time.monotonic() - started

    def finish(sock, key):
        nonlocal created
        index, began, _ = pending.pop(sock)
        selector.unregister(sock)
        sock.close()
        count(key)
        if key.isdigit():
            latencies.append(time.monotonic() - began)
            if key == "200" and index < creations:
                created += 1

    # Interleaved (a creation, then three listings) so both kinds go early and late.
    unsent.sort(key=lambda entry: (entry[1] % creations, entry[1]))
    sending_from = time.monotonic()
    next_unsent = 0
    while (pending or next_unsent < len(unsent)) and time.monotonic() - started < limit:
        due = int((time.monotonic() - sending_from) / spread * len(unsent)) + 1
        while next_unsent < min(due, len(unsent)):
            sock, index, request = unsent[next_unsent]
            next_unsent += 1
            pending[sock] = [index, time.monotonic(), b""]
            selector.register(sock, selectors.EVENT_READ)
            try:
                sock.sendall(request)
            except OSError as e:
                finish(sock, f"closed, no answer ({type(e).__name__} on send)")
            sock.setblocking(False)
        for event, _ in selector.select(timeout=0.005):
            sock = event.fileobj
            try:
                data = sock.recv(65536)
            except ConnectionError as e:
                finish(sock, f"closed, no answer ({type(e).__name__})")
                continue
            state = pending[sock]
            state[2] += data
            status = whole_answer(state[2])
            if status is not None:
                finish(sock, str(status))
            elif not data:
                finish(sock, "closed, no answer (end of stream)" if not state[2]
                       else "closed, cut answer")
    for sock in list(pending):
        finish(sock, f"no answer in {limit:.0f} s")
    for sock, _, _ in unsent[next_unsent:]:
        sock.close()
    took = time.monotonic() - started

    on_disk = len(list((engine.scope / "burst").iterdir())) if (engine.scope / "burst").exists() else 0
    answered = outcomes.get("200", 0) + outcomes.get("503", 0)
    rows = [(f"answers {k}", v) for k, v in sorted(outcomes.items())]
    rows += [
        ("folder creations answered 200", created),
        ("folders on disk", on_disk),
        ("connections opened within s", f"{connected:.2f}"),
        ("requests sent over s", f"{spread:.1f}"),
        ("p50 / p99 / max answer ms",
         f"{ms(percentile(latencies, 50))} / {ms(percentile(latencies, 99))} / "
         f"{ms(max(latencies, default=float('nan')))}"),
        ("whole burst s", f"{took:.1f}"),
    ]
    met = answered == total and on_disk == created
    target = f"all {total} answered 200 or 503, every 200 creation on disk"
    return rows, [(target, met)]


def whole_answer(data):
    """The status of a complete answer in `data`, or None while it is short."""
    end = data.find(b"\r\n\r\n")
    if end < 0:
        return None
    lines = data[:end].decode("latin-1").split("\r\n")
    length = 0
    for line in lines[1:]:
        name, _, value = line.partition(":")
        if name.strip().lower() == "content-length":
            length = int(value.strip())
    return int(lines[0].split()[1]) if len(data) >= end + 4 + length else None


async def slow_case(engine, slow=1100, line_every=2.0, hold=30.0, asks=400):
    stop = asyncio.Event()
    counts = {"opened": 0, "cut by the engine": 0, "answered": 0}
    first_cut_after = []

    async def slow_client(i):
        # Staggered so the lines do not all arrive in the same instant.
        await asyncio.sleep(i * line_every / slow)
        while not stop.is_set():
            opened = time.monotonic()
            try:
                reader, writer = await asyncio.open_connection(HOST, engine.port)
            except OSError:
                await asyncio.sleep(0.2)
                continue
            counts["opened"] += 1
            try:
                writer.write(f"GET /v1/scopes HTTP/1.1\r\nHost: {HOST}\r\n".encode())
                n = 0
                while not stop.is_set():
                    await writer.drain()
                    try:
                        data = await asyncio.wait_for(reader.read(4096), line_every)
                    except TimeoutError:
                        writer.write(f"X-Slow-{n}: {'v' * 20}\r\n".encode())
                        n += 1
                        continue
                    # Either an answer (a refusal) or the end of the connection.
                    if data:
                        counts["answered"] += 1
                    counts["cut by the engine"] += 1
                    first_cut_after.append(time.monotonic() - opened)
                    break
            except ConnectionError:
                counts["cut by the engine"] += 1
                first_cut_after.append(time.monotonic() - opened)
            finally:
                writer.close()
            await asyncio.sleep(0.1)  # then come back, as an attacker would

    slow_tasks = [asyncio.create_task(slow_client(i)) for i in range(slow)]
    # Let every slow connection open and send a few lines first.
    await asyncio.sleep(line_every + 3)
    held = counts["opened"]

    auth = {"Authorization": "Bearer " + engine.token}
    latencies = []
    failures = {}
    reader = writer = None

    async def ask(reuse):
        nonlocal reader, writer
        started = time.monotonic()
        if not reuse or writer is None:
            if writer is not None:
                writer.close()
            reader, writer = await asyncio.open_connection(HOST, engine.port)
        writer.write(head_bytes("GET", "/v1/scopes/local-1/list?dir=", auth))
        await writer.drain()
        status, _ = await read_answer(reader)
        if status != 200:
            raise NoAnswer(f"status {status}")
        return time.monotonic() - started

    began = time.monotonic()
    for k in range(asks):
        if time.monotonic() - began > hold:
            break
        try:
            # Every fourth request on a new connection: a client with no
            # connection to reuse must get in as well.
            latencies.append(await asyncio.wait_for(ask(reuse=k % 4 != 0), 15))
        except (NoAnswer, OSError, TimeoutError) as e:
            key = str(e) or type(e).__name__
            failures[key] = failures.get(key, 0) + 1
            if writer is not None:
                writer.close()
            reader = writer = None
        await asyncio.sleep(max(0.0, hold / asks - (latencies[-1] if latencies else 0)))
    if writer is not None:
        writer.close()
    stop.set()
    await asyncio.gather(*slow_tasks, return_exceptions=True)

    p99 = percentile(latencies, 99)
    rows = [
        ("slow connections open before asking", held),
        ("slow connections opened in all", counts["opened"]),
        ("slow connections cut by the engine", counts["cut by the engine"]),
        ("  of them with an answer", counts["answered"]),
        ("slow connection life p50 s", f"{percentile(first_cut_after, 50):.1f}"
         if first_cut_after else "-"),
        ("authorised requests answered", len(latencies)),
        ("authorised requests failed", sum(failures.values())),
        *[(f"  failed: {k}", v) for k, v in failures.items()],
        ("authorised p50 / p99 / max ms",
         f"{ms(percentile(latencies, 50))} / {ms(p99)} / {ms(max(latencies, default=float('nan')))}"),
    ]
    met = not failures and latencies and p99 < 0.100 and held >= slow
    return rows, [(f"{slow} slow connections held, authorised p99 < 100 ms, none failed", met)]


async def bodies_case(engine, count=24, size=60 << 20, chunk=1 << 20):
    before = engine.resident_mb()
    peak = before
    sampling = True

    async def sample():
        nonlocal peak
        while sampling:
            peak = max(peak, engine.resident_mb())
            await asyncio.sleep(0.02)

    outcomes = {}
    sent_mb = []
    piece = b"x" * chunk

    async def sender():
        sent = 0
        writer = None
        try:
            async with asyncio.timeout(60):
                reader, writer = await asyncio.open_connection(HOST, engine.port)
                writer.write(head_bytes("POST", "/v1/scopes/local-1/mkdir",
                                        {"Content-Type": "application/json"}, size))
                answer = asyncio.create_task(read_answer(reader))
                try:
                    while sent < size and not answer.done():
                        writer.write(piece)
                        await writer.drain()
                        sent += chunk
                except ConnectionError:
                    pass
                status, _ = await answer
                key = str(status)
        except NoAnswer:
            key = "closed, no answer"
        except TimeoutError:
            key = "no answer in 60 s"
        except OSError as e:
            key = "failed: " + (e.strerror or type(e).__name__)
        finally:
            if writer is not None:
                writer.close()
        sent_mb.append(sent / (1 << 20))
        outcomes[key] = outcomes.get(key, 0) + 1

    sampler = asyncio.create_task(sample())
    started = time.monotonic()
    await asyncio.gather(*(sender() for _ in range(count)))
    took = time.monotonic() - started
    await asyncio.sleep(1.0)
    sampling = False
    await sampler
    after = engine.resident_mb()
    peak = max(peak, after)

    rows = [(f"answers {k}", v) for k, v in sorted(outcomes.items())]
    rows += [
        ("MiB sent per request p50 / max", f"{percentile(sent_mb, 50):.1f} / {max(sent_mb):.1f}"),
        ("engine resident MB before", f"{before:.1f}"),
        ("engine resident MB peak", f"{peak:.1f}"),
        ("engine resident MB 1 s after", f"{after:.1f}"),
        ("whole case s", f"{took:.1f}"),
    ]
    refused = sum(v for k, v in outcomes.items() if k in ("401", "413"))
    return rows, [(f"{count} unauthenticated 60 MiB bodies refused", refused == count),
                  ("engine under 100 MB resident throughout", peak < 100 and after < 100)]


CASES = {"burst": burst_case, "slow": slow_case, "bodies": bodies_case}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--engine", default=str(REPO / "build" / "bin" / "corvane-engine"))
    parser.add_argument("--case", action="append", choices=sorted(CASES))
    parser.add_argument("--engine-open-files", type=int, metavar="N",
                        help="start the engine with soft and hard open-files limits of N, "
                             "which it cannot raise (to see its connection limit act)")
    args = parser.parse_args()
    global ENGINE_FILES_LIMIT
    if args.engine_open_files:
        ENGINE_FILES_LIMIT = (args.engine_open_files, args.engine_open_files)
    if not os.access(args.engine, os.X_OK):
        sys.exit(f"engine_attack: {args.engine} is missing; build first")

    # 2,000 connections at once need more descriptors than the usual 1,024.
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))

    all_met = True
    for name in args.case or ["burst", "slow", "bodies"]:
        engine = Engine(args.engine)
        try:
            print(f"\n== {name}  (engine pid {engine.process.pid}, "
                  f"open files limit {engine.open_files_limit()})")
            case = CASES[name]
            rows, targets = (asyncio.run(case(engine)) if asyncio.iscoroutinefunction(case)
                             else case(engine))
            if not engine.alive():
                rows.append(("ENGINE DIED", engine.process.returncode))
                targets.append(("the engine is still running", False))
            width = max(len(label) for label, _ in rows + targets)
            for label, value in rows:
                print(f"  {label:<{width}}  {value}")
            for label, met in targets:
                print(f"  {label:<{width}}  {'met' if met else 'MISSED'}")
                all_met = all_met and bool(met)
        finally:
            engine.close()
    sys.exit(0 if all_met else 1)


if __name__ == "__main__":
    main()
