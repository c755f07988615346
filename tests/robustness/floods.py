"""peer.py's attacks that hold a receiver for a while: many connections, slow senders, images
left half-way (or the peer killed there), data that inflates to far more than was sent."""
import os
import select
import signal
import socket
import struct
import time
import zlib

from wire import *  # noqa: F403  (the upper layer, spoken by every attack)


def silent_flood(port, args):
    """silent-flood N SECONDS SOURCE: N connections from SOURCE (a loopback address) that never
    say a word; each one the receiver drops is opened again at once."""
    count, seconds, source = int(args[0]), float(args[1]), args[2]

    def open_one():
        c = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        c.bind((source, 0))
        c.settimeout(5)
        c.connect(("127.0.0.1", port))
        return c
    socks = [open_one() for _ in range(count)]
    print("flooding %d" % count, flush=True)
    reopened = 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        readable, _, _ = select.select(socks, [], [], 0.5)
        for c in readable:
            try:
                data = c.recv(4096)
            except OSError:
                data = b""
            if not data:
                c.close()
                socks[socks.index(c)] = open_one()
                reopened += 1
    for c in socks:
        c.close()
    print("reopened %d" % reopened)
    return 0


def drip(port, args):
    """drip N SECONDS: N associations, each announcing an image and sending it two bytes every
    few seconds; prints how many the receiver dropped within SECONDS."""
    count, seconds = int(args[0]), float(args[1])
    socks = []
    for i in range(count):
        s, ctx = associate(port)
        uid = "1.2.3.9.30.%d" % i
        head = image_head(uid, 4000)
        s.sendall(pdata(ctx[0], True, command_store(1, CT, uid)))
        whole = len(head) + 4000
        s.sendall(struct.pack(">BBI", 4, 0, whole + 6) + struct.pack(">IBB", whole + 2, ctx[0], 2) + head)
        socks.append(s)
    print("dripping %d" % count, flush=True)
    alive = list(socks)
    start = time.monotonic()
    while alive and time.monotonic() - start < seconds:
        for s in list(alive):
            try:
                s.sendall(b"\0\0")
            except OSError:
                alive.remove(s)
        readable, _, _ = select.select(alive, [], [], 5)
        for s in readable:
            try:
                s.recv(4096)  # an abort, or the end
            except OSError:
                pass
            alive.remove(s)
    print("dropped %d of %d" % (count - len(alive), count), flush=True)
    for s in socks:
        s.close()
    return 0


def start_deflate_stall(port, uid, kilobytes):
    """KILOBYTES of a deflated data set that inflates to far more."""
    s, ctx = associate(port, ((1, CT, [DEFLATED]),))
    z = zlib.compressobj(9, zlib.DEFLATED, -15)
    head = struct.pack("<HH2sHI", 0x7FE0, 0x0010, b"OB", 0, 0xFFFFFFF0)
    body = z.compress(explicit_dataset(CT, uid)[:-140] + head)
    chunk = bytes(1 << 20)
    while len(body) < kilobytes * 1024:
        body += z.compress(chunk) + z.flush(zlib.Z_SYNC_FLUSH)
    body += b"\0" * (len(body) % 2)
    s.sendall(pdata(ctx[0], True, command_store(1, CT, uid)) + pdata(ctx[0], False, body, last=False))
    return s


def start_huge_length(port, uid, _):
    """A value declared 0xFFFFFFF0 bytes long, 64 of them sent."""
    s, ctx = associate(port)
    s.sendall(pdata(ctx[0], True, command_store(1, CT, uid))
              + pdata(ctx[0], False, image_head(uid, 0xFFFFFFF0) + bytes(64), last=False))
    return s


def start_half_image(port, uid, megabytes):
    """Half of an image of MEGABYTES."""
    s, ctx = associate(port)
    size = megabytes * 1000000
    s.sendall(pdata(ctx[0], True, command_store(1, CT, uid)) + pdata(ctx[0], False, image_head(uid, size), last=False))
    send_zeros(s, ctx[0], size // 2)
    return s


def die_mid_image(port, args):
    """die-mid-image MB: half of an image of MB megabytes, then the peer is killed."""
    start_half_image(port, "1.2.3.9.7", int(args[0]) if args else 50)
    print("killed mid-image", flush=True)
    os.kill(os.getpid(), signal.SIGKILL)


def holding(start):
    """half-image N MB SECONDS, deflate-stall N KB SECONDS, huge-length N SECONDS: N
    associations each left part-way through an image by `start`, then held still for SECONDS."""
    def run(port, args):
        socks = [start(port, "1.2.3.9.40.%d" % i, int(args[1]) if len(args) > 2 else 0) for i in range(int(args[0]))]
        print("holding %d" % len(socks), flush=True)
        time.sleep(float(args[-1]))
        for s in socks:
            s.close()
        return 0
    return run


def deflate_bomb(port, args):
    """deflate-bomb MB: one deflated data set of a few hundred kilobytes that inflates to MB
    megabytes."""
    size = int(args[0]) * 1000000
    z = zlib.compressobj(9, zlib.DEFLATED, -15)
    data = explicit_dataset(CT, "1.2.3.9.41")[:-140]
    body = z.compress(data + struct.pack("<HH2sHI", 0x7FE0, 0x0010, b"OB", 0, size))
    chunk = bytes(1 << 20)
    for _ in range(size // len(chunk)):
        body += z.compress(chunk)
    body += z.flush()
    body += b"\0" * (len(body) % 2)  # a data set's length is even, deflated too
    print("sending %d bytes" % len(body), flush=True)
    return outcome(lambda: store_one(port, "1.2.3.9.41", contexts=((1, CT, [DEFLATED]),), data=body))


def spool_fill(port, args):
    """spool-fill N MB GO_FILE [streamed]: N associations each send MB megabytes of an image
    1 MB larger, then hold until GO_FILE exists (at most 60 s) and send the rest. Prints
    "holding N", then the statuses. Its front holds group 0008's length, which the stamp
    changes, so the data set is parsed whole: it goes to the spool as it arrives; streamed,
    it goes into its file."""
    count, megabytes, go_file = int(args[0]), int(args[1]), args[2]
    group_length = b"" if args[3:] == ["streamed"] else element(0x0008, 0x0000, struct.pack("<I", 0))
    socks = []
    for i in range(count):
        s, ctx = associate(port)
        uid = "1.2.3.9.50.%d" % i
        s.sendall(pdata(ctx[0], True, command_store(1, CT, uid))
                  + pdata(ctx[0], False, group_length + image_head(uid, (megabytes + 1) * 1000000), last=False))
        send_zeros(s, ctx[0], megabytes * 1000000)
        socks.append((s, ctx[0]))
    print("holding %d" % count, flush=True)
    end = time.monotonic() + 60
    while not os.path.exists(go_file) and time.monotonic() < end:
        time.sleep(0.1)
    statuses = []
    for s, pc_id in socks:
        try:
            s.sendall(pdata(pc_id, False, bytes(1000000)))
            statuses.append("0x%04x" % response_status(s))
            release(s)
        except (RuntimeError, ConnectionError, OSError):
            statuses.append("ended")
    print("statuses " + " ".join(sorted(statuses)))
    return 0


def stall_after_rq(port, args):
    """stall-after-rq N SECONDS: N associations that are accepted, then say nothing."""
    results = {"accepted": 0, "rejected": 0, "closed": 0}
    socks = []
    for _ in range(int(args[0])):
        s = sent_to(port, associate_rq([(1, CT, [IMPLICIT])]))
        try:
            kind, body = recv_pdu(s)
            results["accepted" if kind == 2 else "rejected" if kind == 3 else "closed"] += 1
        except (ConnectionError, OSError):
            results["closed"] += 1
        socks.append(s)
    print(" ".join("%s %d" % kv for kv in sorted(results.items())), flush=True)
    time.sleep(float(args[1]))
    for s in socks:
        s.close()
    return 0


FLOODS = {"die-mid-image": die_mid_image, "silent-flood": silent_flood, "drip": drip,
          "half-image": holding(start_half_image), "deflate-stall": holding(start_deflate_stall),
          "huge-length": holding(start_huge_length), "deflate-bomb": deflate_bomb, "spool-fill": spool_fill,
          "stall-after-rq": stall_after_rq}
