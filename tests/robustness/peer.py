#!/usr/bin/env python3
"""A DICOM peer of our own for the robustness tests: speaks just enough of the upper layer to
send well-formed and deliberately broken traffic to a receiver on loopback.

    peer.py PORT ATTACK [ARGS...]

Prints one line with the outcome; exits 0 when the attack ran as planned (the receiver's
reaction is judged by the caller)."""
import os
import random
import signal
import socket
import struct
import sys
import time

CT = "1.2.840.10008.5.1.4.1.1.2"
IMPLICIT = "1.2.840.10008.1.2"
VERIFICATION = "1.2.840.10008.1.1"


def pad(uid):
    b = uid.encode("ascii", "surrogateescape")
    return b + (b"\0" if len(b) % 2 else b"")


def item(kind, payload):
    return struct.pack(">BBH", kind, 0, len(payload)) + payload


def presentation_context(pc_id, abstract, syntaxes):
    body = struct.pack(">BBBB", pc_id, 0, 0, 0) + item(0x30, abstract.encode())
    for ts in syntaxes:
        body += item(0x40, ts.encode())
    return item(0x20, body)


def associate_rq(contexts, called=b"ANY-SCP", calling=b"PEER"):
    body = struct.pack(">HH", 1, 0) + called.ljust(16) + calling.ljust(16) + bytes(32)
    body += item(0x10, b"1.2.840.10008.3.1.1.1")
    for pc_id, abstract, syntaxes in contexts:
        body += presentation_context(pc_id, abstract, syntaxes)
    body += item(0x50, item(0x51, struct.pack(">I", 16384)) + item(0x52, b"1.2.3.4"))
    return struct.pack(">BBI", 1, 0, len(body)) + body


def element(group, elem, value):
    if len(value) % 2:
        value += b"\0" if group in (0, 8, 0x20) and elem in (0x0002, 0x1000, 0x0016, 0x0018, 0x000D, 0x000E) else b" "
    return struct.pack("<HHI", group, elem, len(value)) + value


def command_store(msg_id, sop_class, sop_instance):
    body = (element(0, 0x0002, pad(sop_class)) + element(0, 0x0100, struct.pack("<H", 1))
            + element(0, 0x0110, struct.pack("<H", msg_id)) + element(0, 0x0700, struct.pack("<H", 0))
            + element(0, 0x0800, struct.pack("<H", 0)) + element(0, 0x1000, pad(sop_instance)))
    return element(0, 0x0000, struct.pack("<I", len(body))) + body


def dataset(sop_class, sop_instance, extra=b""):
    pixels = bytes(random.getrandbits(8) for _ in range(128))
    return (element(0x0008, 0x0016, pad(sop_class)) + element(0x0008, 0x0018, pad(sop_instance))
            + element(0x0008, 0x0080, b"Old Hospital") + extra
            + element(0x0028, 0x0010, struct.pack("<H", 8)) + element(0x0028, 0x0011, struct.pack("<H", 8))
            + element(0x0028, 0x0100, struct.pack("<H", 16)) + element(0x7FE0, 0x0010, pixels))


def pdata(pc_id, command, payload, last=True, fragment=16000):
    # One PDU per fragment, each well below the receiver's maximum PDU length.
    out = b""
    for start in range(0, max(len(payload), 1), fragment):
        piece = payload[start:start + fragment]
        final = last and start + fragment >= len(payload)
        header = (1 if command else 0) | (2 if final else 0)
        pdv = struct.pack(">IBB", len(piece) + 2, pc_id, header) + piece
        out += struct.pack(">BBI", 4, 0, len(pdv)) + pdv
    return out


def recv_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise ConnectionError("closed")
        data += chunk
    return data


def recv_pdu(sock):
    head = recv_exact(sock, 6)
    kind, _, length = struct.unpack(">BBI", head)
    return kind, recv_exact(sock, length)


def accepted_contexts(ac_body):
    accepted = []
    pos = 68
    while pos + 4 <= len(ac_body):
        kind, _, length = struct.unpack(">BBH", ac_body[pos:pos + 4])
        if kind == 0x21 and ac_body[pos + 6] == 0:
            accepted.append(ac_body[pos + 4])
        pos += 4 + length
    return accepted


def connect(port):
    s = socket.create_connection(("127.0.0.1", port), timeout=30)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def associate(port, contexts=((1, CT, [IMPLICIT]),)):
    s = connect(port)
    s.sendall(associate_rq(contexts))
    kind, body = recv_pdu(s)
    if kind != 2:
        raise RuntimeError("association not accepted (PDU type %d)" % kind)
    return s, accepted_contexts(body)


def store_status(sock, pc_id, cmd, data):
    sock.sendall(pdata(pc_id, True, cmd) + pdata(pc_id, False, data))
    kind, body = recv_pdu(sock)
    if kind != 4:
        raise RuntimeError("no response (PDU type %d)" % kind)
    payload = body[6:]
    pos = 0
    while pos + 8 <= len(payload):
        group, elem, length = struct.unpack("<HHI", payload[pos:pos + 8])
        if (group, elem) == (0, 0x0900):
            return struct.unpack("<H", payload[pos + 8:pos + 10])[0]
        pos += 8 + length
    raise RuntimeError("no status in the response")


def release(sock):
    sock.sendall(struct.pack(">BBII", 5, 0, 4, 0))
    try:
        recv_pdu(sock)
    except (ConnectionError, OSError):
        pass
    sock.close()


def store_one(port, sop_instance, extra=b"", command_instance=None, sop_class=CT):
    s, ctx = associate(port)
    status = store_status(s, ctx[0], command_store(1, sop_class, command_instance or sop_instance),
                          dataset(sop_class, sop_instance, extra))
    release(s)
    return status


def nested(depth):
    # (0040,A730) sequences inside items, undefined lengths all the way down.
    seq_start = struct.pack("<HHI", 0x0040, 0xA730, 0xFFFFFFFF) + struct.pack("<HHI", 0xFFFE, 0xE000, 0xFFFFFFFF)
    seq_end = struct.pack("<HHI", 0xFFFE, 0xE00D, 0) + struct.pack("<HHI", 0xFFFE, 0xE0DD, 0)
    return seq_start * depth + seq_end * depth


def main():
    port = int(sys.argv[1])
    attack = sys.argv[2]
    args = sys.argv[3:]
    random.seed(attack)

    if attack == "garbage":
        s = connect(port)
        s.sendall(os.urandom(65536))
        s.close()
    elif attack == "huge-pdu":
        s = connect(port)
        s.sendall(struct.pack(">BBI", 1, 0, 0xFFFFFFFF) + os.urandom(1024))
        s.close()
    elif attack == "truncated-rq":
        s = connect(port)
        s.sendall(associate_rq([(1, CT, [IMPLICIT])])[:40])
        s.close()
    elif attack == "truncated-data":
        s, ctx = associate(port)
        whole = pdata(ctx[0], False, dataset(CT, "1.2.3.9.1"))
        s.sendall(pdata(ctx[0], True, command_store(1, CT, "1.2.3.9.1")) + whole[: len(whole) // 2])
        s.close()
    elif attack == "abort-mid-image":
        s, ctx = associate(port)
        s.sendall(pdata(ctx[0], True, command_store(1, CT, "1.2.3.9.2"))
                  + pdata(ctx[0], False, dataset(CT, "1.2.3.9.2")[:100], last=False))
        s.sendall(struct.pack(">BBIBBBB", 7, 0, 4, 0, 0, 0, 0))
        s.close()
    elif attack == "die-mid-image":
        # die-mid-image MB: half of an image of MB megabytes, then the peer is killed.
        s, ctx = associate(port)
        size = int(args[0]) * 1000000 if args else 50000000
        head = dataset(CT, "1.2.3.9.7")
        head = head[:head.rindex(struct.pack("<HH", 0x7FE0, 0x0010))] + struct.pack("<HHI", 0x7FE0, 0x0010, size)
        s.sendall(pdata(ctx[0], True, command_store(1, CT, "1.2.3.9.7")) + pdata(ctx[0], False, head, last=False))
        chunk = pdata(ctx[0], False, bytes(16000), last=False)
        for _ in range(size // 2 // 16000):
            s.sendall(chunk)
        print("killed mid-image", flush=True)
        os.kill(os.getpid(), signal.SIGKILL)
    elif attack == "many-contexts":
        contexts = [((2 * i + 1) % 256, CT, [IMPLICIT]) for i in range(300)]
        s = connect(port)
        s.sendall(associate_rq(contexts))
        try:
            kind, _ = recv_pdu(s)
            print("answered with PDU type %d" % kind)
        except (ConnectionError, OSError):
            print("connection closed")
        s.close()
        return 0
    elif attack == "unknown-classes":
        s = connect(port)
        s.sendall(associate_rq([(1, "1.2.3.4.5.6.7", [IMPLICIT])]))
        kind, _ = recv_pdu(s)
        print("answered with PDU type %d" % kind)
        s.close()
        return 0
    elif attack == "deep-nesting":
        try:
            print("status 0x%04x" % store_one(port, "1.2.3.9.3", nested(int(args[0]) if args else 5000)))
        except (RuntimeError, ConnectionError, OSError) as e:
            print("association ended: %s" % e)
        return 0
    elif attack == "deep-command":
        # A command set nested deep: commands are parsed by the same recursive reader.
        s, ctx = associate(port)
        cmd = command_store(1, CT, "1.2.3.9.6") + nested(int(args[0]) if args else 20000)
        try:
            s.sendall(pdata(ctx[0], True, cmd))
            kind, _ = recv_pdu(s)
            print("answered with PDU type %d" % kind)
        except (ConnectionError, OSError) as e:
            print("association ended: %s" % e)
        s.close()
        return 0
    elif attack == "uid-mismatch":
        status = store_one(port, "1.2.3.9.4", command_instance="1.2.3.9.5")
        print("status 0x%04x" % status)
        return 0
    elif attack == "store":
        # store UID: one image, as a well-behaved sender would; the UID may be anything.
        uid = args[0].encode().decode("unicode_escape")
        try:
            print("status 0x%04x" % store_one(port, uid))
        except (RuntimeError, ConnectionError, OSError) as e:
            print("association ended: %s" % e)
        return 0
    elif attack == "silent":
        # silent N SECONDS: N connections that say nothing for SECONDS.
        socks = [connect(port) for _ in range(int(args[0]))]
        time.sleep(float(args[1]))
        for s in socks:
            s.close()
    elif attack == "stall-after-rq":
        # stall-after-rq N SECONDS: N associations that are accepted, then say nothing.
        results = {"accepted": 0, "rejected": 0, "closed": 0}
        socks = []
        for _ in range(int(args[0])):
            s = connect(port)
            s.sendall(associate_rq([(1, CT, [IMPLICIT])]))
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
    else:
        print("unknown attack " + attack)
        return 2
    print("sent")
    return 0


if __name__ == "__main__":
    sys.exit(main())
