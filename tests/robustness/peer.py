#!/usr/bin/env python3
"""A DICOM peer of our own for the robustness tests: speaks just enough of the upper layer to
send well-formed and deliberately broken traffic to a receiver on loopback.

    peer.py PORT ATTACK [ARGS...]

Prints one line with the outcome; exits 0 when the attack ran as planned (the receiver's
reaction is judged by the caller)."""
import os
import random
import select
import signal
import socket
import struct
import sys
import time
import zlib

CT = "1.2.840.10008.5.1.4.1.1.2"
MR = "1.2.840.10008.5.1.4.1.1.4"
IMPLICIT = "1.2.840.10008.1.2"
EXPLICIT = "1.2.840.10008.1.2.1"
VERIFICATION = "1.2.840.10008.1.1"
SYNTAXES = {"implicit": IMPLICIT, "explicit": EXPLICIT, "big": "1.2.840.10008.1.2.2",
            "deflated": "1.2.840.10008.1.2.1.99", "jpeg-baseline": "1.2.840.10008.1.2.4.50",
            "jpeg-lossless": "1.2.840.10008.1.2.4.70", "jpeg-ls-lossy": "1.2.840.10008.1.2.4.81",
            "j2k": "1.2.840.10008.1.2.4.91", "rle": "1.2.840.10008.1.2.5", "made-up": "1.2.3.4.5.6"}


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


def associate_rq(contexts, called=b"ANY-SCP", calling=b"PEER", max_pdu=16384):
    body = struct.pack(">HH", 1, 0) + called.ljust(16) + calling.ljust(16) + bytes(32)
    body += item(0x10, b"1.2.840.10008.3.1.1.1")
    for pc_id, abstract, syntaxes in contexts:
        body += presentation_context(pc_id, abstract, syntaxes)
    body += item(0x50, item(0x51, struct.pack(">I", max_pdu)) + item(0x52, b"1.2.3.4"))
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


def dataset(sop_class, sop_instance, extra=b"", meta=b""):
    pixels = bytes(random.getrandbits(8) for _ in range(128))
    return (meta + (element(0x0008, 0x0016, pad(sop_class)) if sop_class else b"")
            + element(0x0008, 0x0018, pad(sop_instance))
            + element(0x0008, 0x0080, b"Old Hospital") + extra
            + element(0x0028, 0x0010, struct.pack("<H", 8)) + element(0x0028, 0x0011, struct.pack("<H", 8))
            + element(0x0028, 0x0100, struct.pack("<H", 16)) + element(0x7FE0, 0x0010, pixels))


def explicit_dataset(sop_class, sop_instance, extra=b""):
    """The same image in explicit VR little endian."""
    def el(group, elem, vr, value):
        if len(value) % 2:
            value += b"\0" if vr == b"UI" else b" "
        if vr in (b"OB", b"OW", b"SQ", b"UN"):
            return struct.pack("<HH2sHI", group, elem, vr, 0, len(value)) + value
        return struct.pack("<HH2sH", group, elem, vr, len(value)) + value
    return (el(0x0008, 0x0016, b"UI", sop_class.encode()) + el(0x0008, 0x0018, b"UI", sop_instance.encode())
            + el(0x0008, 0x0080, b"LO", b"Old Hospital") + extra
            + el(0x0028, 0x0010, b"US", struct.pack("<H", 8)) + el(0x0028, 0x0011, b"US", struct.pack("<H", 8))
            + el(0x0028, 0x0100, b"US", struct.pack("<H", 16)) + el(0x7FE0, 0x0010, b"OW", bytes(128)))


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


def context_results(ac_body):
    """(ID, result, accepted transfer syntax) of every context in an A-ASSOCIATE-AC."""
    results = []
    pos = 68
    while pos + 4 <= len(ac_body):
        kind, _, length = struct.unpack(">BBH", ac_body[pos:pos + 4])
        if kind == 0x21:
            ts = b""
            sub = pos + 8
            while sub + 4 <= pos + 4 + length:
                skind, _, slen = struct.unpack(">BBH", ac_body[sub:sub + 4])
                if skind == 0x40:
                    ts = ac_body[sub + 4:sub + 4 + slen]
                sub += 4 + slen
            results.append((ac_body[pos + 4], ac_body[pos + 6], ts.rstrip(b"\0").decode()))
        pos += 4 + length
    return results


def accepted_contexts(ac_body):
    return [pc_id for pc_id, result, _ in context_results(ac_body) if result == 0]


def connect(port):
    # PEER_SOURCE: the loopback address to speak from, as another host would.
    source = os.environ.get("PEER_SOURCE")
    # PEER_TIMEOUT: how long to wait for the receiver (30 s).
    s = socket.create_connection(("127.0.0.1", port), timeout=float(os.environ.get("PEER_TIMEOUT", 30)),
                                 source_address=(source, 0) if source else None)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def associate(port, contexts=((1, CT, [IMPLICIT]),), **options):
    s = connect(port)
    s.sendall(associate_rq(contexts, **options))
    kind, body = recv_pdu(s)
    if kind != 2:
        raise RuntimeError("association not accepted (PDU type %d%s)"
                           % (kind, ", result %d source %d reason %d" % tuple(body[1:4]) if kind == 3 else ""))
    return s, accepted_contexts(body)


def store_status(sock, pc_id, cmd, data):
    sock.sendall(pdata(pc_id, True, cmd) + pdata(pc_id, False, data))
    return response_status(sock)


def response_status(sock):
    payload = b""
    last = False
    while not last:  # the response's command, in as many PDVs as the PDU limit takes
        kind, body = recv_pdu(sock)
        if kind != 4:
            raise RuntimeError("no response (PDU type %d)" % kind)
        pos = 0
        while pos + 6 <= len(body):
            length, _, header = struct.unpack(">IBB", body[pos:pos + 6])
            payload += body[pos + 6:pos + 4 + length]
            last = last or header & 3 == 3
            pos += 4 + length
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


def store_one(port, sop_instance, extra=b"", command_instance=None, sop_class=CT, contexts=((1, CT, [IMPLICIT]),),
              context=None, data_class=None, meta=b"", data=None, **options):
    s, ctx = associate(port, contexts, **options)
    status = store_status(s, context or ctx[0], command_store(1, sop_class, command_instance or sop_instance),
                          data or dataset(sop_class if data_class is None else data_class, sop_instance, extra, meta))
    release(s)
    return status


def outcome(run):
    """Prints what the receiver answered, or that it ended the association."""
    try:
        print("status 0x%04x" % run())
    except (RuntimeError, ConnectionError, OSError) as e:
        print("association ended: %s" % e)
    return 0


def send_and_report(sock, data):
    """Sends `data`, prints the kind of PDU that answers it, or that the association ended."""
    try:
        sock.sendall(data)
        kind, _ = recv_pdu(sock)
        print("answered with PDU type %d" % kind)
    except (ConnectionError, OSError) as e:
        print("association ended: %s" % e)
    sock.close()
    return 0


def command_echo(msg_id):
    body = (element(0, 0x0002, pad(VERIFICATION)) + element(0, 0x0100, struct.pack("<H", 0x30))
            + element(0, 0x0110, struct.pack("<H", msg_id)) + element(0, 0x0800, struct.pack("<H", 0x0101)))
    return element(0, 0x0000, struct.pack("<I", len(body))) + body


def pdvs_in_one_pdu(port, kind, uid):
    """Several PDVs in one P-DATA PDU, as the standard allows: a C-STORE whose command and data
    set come in four PDVs of differing lengths, two whole C-STOREs, or two C-ECHOs. Prints the
    status of every response."""
    s, ctx = associate(port, ((1, CT, [IMPLICIT]), (3, VERIFICATION, [IMPLICIT])))
    pc = ctx[0]
    if kind == "store-in-fragments":
        data = dataset(CT, uid)
        pdvs = [(pc, True, True, command_store(1, CT, uid)), (pc, False, False, data[:10]),
                (pc, False, False, data[10:90]), (pc, False, True, data[90:])]
    elif kind == "two-stores":
        pdvs = [(pc, True, True, command_store(1, CT, uid + ".1")), (pc, False, True, dataset(CT, uid + ".1")),
                (pc, True, True, command_store(2, CT, uid + ".2")), (pc, False, True, dataset(CT, uid + ".2"))]
    else:
        pdvs = [(3, True, True, command_echo(1)), (3, True, True, command_echo(2))]
    body = b"".join(struct.pack(">IBB", len(p) + 2, c, (1 if cmd else 0) | (2 if last else 0)) + p
                    for c, cmd, last, p in pdvs)
    s.sendall(struct.pack(">BBI", 4, 0, len(body)) + body)
    answers = sum(1 for _, cmd, last, _ in pdvs if last and (cmd is False or kind == "two-echoes"))
    try:
        print(" ".join("status 0x%04x" % response_status(s) for _ in range(answers)))
    except (RuntimeError, ConnectionError, OSError) as e:
        print("association ended: %s" % e)
    release(s)
    return 0


def large_request(port, size):
    """An association request of about `size` bytes: CT contexts offering 40 long made-up
    syntaxes each, then implicit VR little endian. Prints how it was answered."""
    contexts, length, pc_id = [], 200, 1
    while length < size and pc_id < 256:
        syntaxes = [("1.2.3.4.5.6.7.8.9.%d.%d." % (pc_id, i)).ljust(60, "1") for i in range(40)] + [IMPLICIT]
        contexts.append((pc_id, CT, syntaxes))
        length += 12 + len(CT) + sum(4 + len(ts) for ts in syntaxes)
        pc_id += 2
    s = connect(port)
    return send_and_report(s, associate_rq(contexts))


def explicit_element(group, elem, vr, value):
    return struct.pack("<HH2sH", group, elem, vr, len(value)) + value


def nested(depth):
    # (0040,A730) sequences inside items, undefined lengths all the way down.
    seq_start = struct.pack("<HHI", 0x0040, 0xA730, 0xFFFFFFFF) + struct.pack("<HHI", 0xFFFE, 0xE000, 0xFFFFFFFF)
    seq_end = struct.pack("<HHI", 0xFFFE, 0xE00D, 0) + struct.pack("<HHI", 0xFFFE, 0xE0DD, 0)
    return seq_start * depth + seq_end * depth


def image_head(uid, size):
    """An image's elements up to its pixel data, which is declared `size` bytes long."""
    head = dataset(CT, uid)
    return head[:head.rindex(struct.pack("<HH", 0x7FE0, 0x0010))] + struct.pack("<HHI", 0x7FE0, 0x0010, size)


def spool_fill(port, count, megabytes, go_file):
    """`count` associations each send `megabytes` MB of an image 1 MB larger, then hold until
    `go_file` exists (at most 60 s) and send the rest. Prints "holding N", then the statuses."""
    socks = []
    for i in range(count):
        s, ctx = associate(port)
        uid = "1.2.3.9.50.%d" % i
        s.sendall(pdata(ctx[0], True, command_store(1, CT, uid))
                  + pdata(ctx[0], False, image_head(uid, (megabytes + 1) * 1000000), last=False))
        chunk = pdata(ctx[0], False, bytes(16000), last=False)
        for _ in range(megabytes * 1000000 // 16000):
            s.sendall(chunk)
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


def store_with(port, uid, assignments):
    """One image whose data set also holds the elements GGGG,EEEE=VALUE of `assignments`, the
    values' bytes as given; those before (0008,0016) go ahead of the image's own."""
    ahead, extra = [], []
    for assignment in assignments:
        tag, _, value = assignment.partition(b"=")
        group, elem = (int(t, 16) for t in tag.split(b","))
        ((ahead if (group, elem) < (0x0008, 0x0016) else extra)).append((group, elem, value))
    join = lambda elements: b"".join(element(g, e, v) for g, e, v in sorted(elements))
    return outcome(lambda: store_one(port, uid, join(extra), meta=join(ahead)))


def implementation(port):
    """The implementation class UID and version name the receiver answers an association with."""
    s = connect(port)
    s.sendall(associate_rq([(1, CT, [IMPLICIT])]))
    kind, body = recv_pdu(s)
    found = {}
    pos = 68
    while kind == 2 and pos + 4 <= len(body):
        item_kind, _, length = struct.unpack(">BBH", body[pos:pos + 4])
        if item_kind == 0x50:
            sub = pos + 4
            while sub + 4 <= pos + 4 + length:
                sub_kind, _, sub_len = struct.unpack(">BBH", body[sub:sub + 4])
                found[sub_kind] = body[sub + 4:sub + 4 + sub_len].rstrip(b"\0").decode("latin-1")
                sub += 4 + sub_len
        pos += 4 + length
    release(s)
    print("class %s version %s" % (found.get(0x52, "-"), found.get(0x55, "-")))
    return 0




def private_tags(count, first_group):
    """`count` distinct private tags in ascending order, none with a private creator."""
    per_group = 0x10000 - 0x1000
    return [(first_group + 2 * (i // per_group), 0x1000 + i % per_group) for i in range(count)]


def before_pixels(data, middle):
    """`data` with `middle` put in front of its pixel data."""
    at = data.rindex(struct.pack("<HH", 0x7FE0, 0x0010))
    return data[:at] + middle + data[at:]


def many_elements(port, order, count, syntax="implicit", uid="1.2.3.9.50"):
    """One image with `count` empty private elements: in ascending or descending order, or
    (repeated) half of them distinct and the other half the first one again."""
    tags = private_tags(count // 2 if order == "repeated" else count, 0x0029)
    if order == "descending":
        tags.reverse()
    elif order == "repeated":
        tags += [tags[0]] * (count - len(tags))
    if syntax == "implicit":
        data = before_pixels(dataset(CT, uid), b"".join(struct.pack("<HHI", g, e, 0) for g, e in tags))
    else:
        data = before_pixels(explicit_dataset(CT, uid), b"".join(struct.pack("<HH2sH", g, e, b"US", 0) for g, e in tags))
    if syntax == "deflated":
        z = zlib.compressobj(9, zlib.DEFLATED, -15)
        data = z.compress(data) + z.flush()
        data += b"\0" * (len(data) % 2)
    return store_one(port, uid, contexts=((1, CT, [SYNTAXES[syntax]]),), data=data)


def send_small_values(port, megabytes, uid):
    """One image whose data set is `megabytes` of private 64 KiB values (explicit VR OB),
    streamed, so that the peer holds no more than one value."""
    s, ctx = associate(port, ((1, CT, [EXPLICIT]),))
    head = explicit_dataset(CT, uid)
    at = head.rindex(struct.pack("<HH", 0x7FE0, 0x0010))
    s.sendall(pdata(ctx[0], True, command_store(1, CT, uid)) + pdata(ctx[0], False, head[:at], last=False))
    value = bytes(64 * 1024)
    for g, e in private_tags(megabytes * 1000000 // len(value), 0x0029):
        s.sendall(pdata(ctx[0], False, struct.pack("<HH2sHI", g, e, b"OB", 0, len(value)) + value, last=False))
    s.sendall(pdata(ctx[0], False, head[at:]))
    status = response_status(s)
    release(s)
    return status


def in_parallel(count, run):
    """Runs run(i) on `count` threads; prints each outcome, in order."""
    import threading
    results = [None] * count

    def one(i):
        try:
            results[i] = "status 0x%04x" % run(i)
        except (RuntimeError, ConnectionError, OSError) as e:
            results[i] = "association ended: %s" % e
    threads = [threading.Thread(target=one, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for r in results:
        print(r)
    return 0


def overrun_in_sequence():
    """A sequence of defined length whose item (of undefined length) holds a value claiming
    0xFFFFFFF0 bytes: read as DCMTK reads it, the value runs on past the sequence's end."""
    inner = struct.pack("<HHI", 0xFFFE, 0xE000, 0xFFFFFFFF) + struct.pack("<HHI", 0x0008, 0x0104, 0xFFFFFFF0) + bytes(16)
    return struct.pack("<HHI", 0x0008, 0x1032, len(inner)) + inner


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
        return send_and_report(s, pdata(ctx[0], True, cmd))
    elif attack == "hidden-nesting":
        # hidden-nesting vr|un-pixel-data: deep nesting behind a header read differently
        # from how DCMTK reads it, on an explicit VR context.
        deep = nested(100000)
        if args[0] == "vr":
            # DCMTK reads an unknown VR in capitals with a 4-byte length after 2 reserved bytes;
            # read as a 2-byte length those bytes say 0xFFFE. Every 64 KiB another such
            # element, each followed by 3276 more levels opened.
            level = struct.pack("<HH2sHI", 0x0040, 0xA730, b"SQ", 0, 0xFFFFFFFF) + struct.pack("<HHI", 0xFFFE, 0xE000, 0xFFFFFFFF)
            chunk = struct.pack("<HH2sHI", 0x0009, 0x1002, b"ZZ", 0xFFFE, 10) + b"abcdefghij" + level * 3276
            payload = chunk * 31
        else:
            payload = (struct.pack("<HH2sHI", 0x7FE0, 0x0010, b"UN", 0, 0xFFFFFFFF)
                       + struct.pack("<HHI", 0xFFFE, 0xE000, 0xFFFFFFFF) + deep)
        return outcome(lambda: store_one(port, "1.2.3.9.8", contexts=((1, CT, [EXPLICIT]),),
                                         data=explicit_dataset(CT, "1.2.3.9.8", payload)))
    elif attack == "data-set-for-command":
        # One data-set PDV where a command is due. Read as explicit VR (its context's
        # syntax), a 2-byte element and then an OB element claiming all the rest; read as
        # implicit VR, as DCMTK's command reader does, the first element is 2 bytes longer,
        # and what follows is a sequence nested 8,100 levels deep.
        deep = nested(8100)
        payload = (struct.pack("<HH2sH", 0x0009, 0x0010, b"\x02\x00", 0) + struct.pack("<HH2s", 0x0009, 0x0009, b"OB")
                   + b"\xff\xff" + b"\xff\xff\xfe\xff" + b"\x00\xe0" + b"\xff\xff\xff\xff" + deep)
        s, ctx = associate(port, ((1, CT, [EXPLICIT]),))
        return send_and_report(s, pdata(ctx[0], False, payload, fragment=len(payload)))
    elif attack == "cut-then-whole":
        # One PDU: the end of a data set whose last value claims 0xFFFFFFF0 bytes and brings
        # 64, then a whole second message. Judged by the second, the first would be parsed.
        s, ctx = associate(port)
        head = dataset(CT, "1.2.3.9.78.1")
        head = head[:head.rindex(struct.pack("<HH", 0x7FE0, 0x0010))]
        cut = head + struct.pack("<HHI", 0x7FE0, 0x0010, 0xFFFFFFF0) + bytes(64)
        body = b""
        for command, payload in ((False, cut), (True, command_store(2, CT, "1.2.3.9.78.2")),
                                 (False, dataset(CT, "1.2.3.9.78.2"))):
            body += struct.pack(">IBB", len(payload) + 2, ctx[0], (1 if command else 0) | 2) + payload
        first = pdata(ctx[0], True, command_store(1, CT, "1.2.3.9.78.1"))
        return send_and_report(s, first + struct.pack(">BBI", 4, 0, len(body)) + body)
    elif attack == "pdvs-in-one-pdu":
        return pdvs_in_one_pdu(port, args[0], args[1])
    elif attack == "large-request":
        return large_request(port, int(args[0]))


    elif attack == "many-elements":
        # many-elements ORDER COUNT [SYNTAX]: an image with COUNT empty private elements.
        return outcome(lambda: many_elements(port, args[0], int(args[1]), *args[2:]))
    elif attack == "small-values":
        # small-values N MB: N images at once, each MB megabytes of 64 KiB values.
        return in_parallel(int(args[0]), lambda i: send_small_values(port, int(args[1]), "1.2.3.9.51.%d" % i))
    elif attack == "costly-deflated":
        # costly-deflated N COUNT: N deflated images of COUNT repeated elements and, once they
        # are sent, a plain deflated image; the plain one's outcome is printed last.
        def run(i):
            if i < int(args[0]):
                return many_elements(port, "repeated", int(args[1]), "deflated", "1.2.3.9.52.%d" % i)
            time.sleep(1)  # only to come after the others; the verdict does not hang on it
            return many_elements(port, "ascending", 10, "deflated", "1.2.3.9.53")
        return in_parallel(int(args[0]) + 1, run)
    elif attack == "overrun":
        return outcome(lambda: store_one(port, "1.2.3.9.54", overrun_in_sequence()))
    elif attack == "offer":
        # offer NAME,NAME,...: one CT context offering these transfer syntaxes; prints the one
        # accepted, or the context's result.
        syntaxes = [SYNTAXES[n] for n in args[0].split(",")]
        s = connect(port)
        s.sendall(associate_rq([(1, CT, syntaxes)]))
        kind, body = recv_pdu(s)
        if kind != 2:
            print("rejected")
        else:
            results = context_results(body)
            names = {v: k for k, v in SYNTAXES.items()}
            print(" ".join(names.get(ts, ts) if result == 0 else "refused-%d" % result for _, result, ts in results))
            release(s)
        return 0
    elif attack == "contexts":
        # contexts KIND: requests the receiver must answer context by context, or refuse whole.
        kind_of = args[0]
        options = {}
        if kind_of == "too-many-syntaxes":
            contexts = [(1, CT, [IMPLICIT] + ["1.2.3.4.%d" % i for i in range(59)]), (3, CT, [IMPLICIT]),
                        (5, MR, [IMPLICIT])]
        elif kind_of == "repeated-id":
            contexts = [(1, "1.2.3.4", [IMPLICIT]), (1, CT, [IMPLICIT])]
        elif kind_of == "even-id":
            contexts = [(2, CT, [IMPLICIT])]
        elif kind_of == "zero-id":
            contexts = [(0, CT, [IMPLICIT])]
        elif kind_of.startswith("pdu-"):
            contexts = [(1, CT, [IMPLICIT])]
            options["max_pdu"] = int(kind_of[4:])
        s = connect(port)
        s.sendall(associate_rq(contexts, **options))
        kind, body = recv_pdu(s)
        if kind != 2:
            print("rejected (PDU type %d)" % kind)
            return 0
        print(" ".join("%d:%s" % (pc_id, "accepted" if result == 0 else "refused") for pc_id, result, _ in
                       context_results(body)))
        if kind_of.startswith("pdu-") or kind_of == "too-many-syntaxes":
            pc_id = accepted_contexts(body)[0]
            try:
                print("status 0x%04x" % store_status(s, pc_id, command_store(1, CT, "1.2.3.9.9"),
                                                       dataset(CT, "1.2.3.9.9")))
            except (RuntimeError, ConnectionError, OSError) as e:
                print("association ended: %s" % e)
        s.close()
        return 0
    elif attack == "mismatch":
        # mismatch KIND: a C-STORE that does not fit its presentation context.
        if args[0] == "made-up-class":
            return outcome(lambda: store_one(port, "1.2.3.9.10", sop_class="1.2.3.4.5"))
        if args[0] == "verification-context":
            return outcome(lambda: store_one(port, "1.2.3.9.11", contexts=((1, VERIFICATION, [IMPLICIT]),
                                                                           (3, CT, [IMPLICIT])), context=1))
        if args[0] == "no-class":
            return outcome(lambda: store_one(port, "1.2.3.9.12", sop_class=""))
        if args[0] == "data-on-other-context":
            def run():
                s, ctx = associate(port, ((1, CT, [EXPLICIT]), (3, MR, [IMPLICIT])))
                s.sendall(pdata(1, True, command_store(1, CT, "1.2.3.9.13")) + pdata(3, False, dataset(CT, "1.2.3.9.13")))
                kind, _ = recv_pdu(s)
                if kind != 4:
                    raise RuntimeError("no response (PDU type %d)" % kind)
                return 0
            return outcome(run)
    elif attack == "store-from":
        # store-from CALLING UID: one image from a calling AE title of any bytes.
        calling = args[0].encode("latin-1").decode("unicode_escape").encode("latin-1")
        return outcome(lambda: store_one(port, args[1], calling=calling))
    elif attack == "meta-in-data-set":
        # File meta elements inside the data set, ahead of its own elements.
        meta = element(0x0002, 0x0010, pad("1.2.840.10008.1.2.2")) + element(0x0002, 0x0013, b"EVIL")
        return outcome(lambda: store_one(port, args[0], meta=meta))
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
    elif attack == "store-with":
        # store-with UID GGGG,EEEE=VALUE...: one image with these elements besides its own.
        return store_with(port, args[0], [os.fsencode(a) for a in args[1:]])
    elif attack == "implementation":
        return implementation(port)
    elif attack == "silent":
        # silent N SECONDS: N connections that say nothing for SECONDS.
        socks = [connect(port) for _ in range(int(args[0]))]
        time.sleep(float(args[1]))
        for s in socks:
            s.close()
    elif attack == "silent-flood":
        # silent-flood N SECONDS SOURCE: N connections from SOURCE (a loopback address) that
        # never say a word; each one the receiver drops is opened again at once.
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
    elif attack == "drip":
        # drip N SECONDS: N associations, each announcing an image and sending it two bytes
        # every few seconds; prints how many the receiver dropped within SECONDS.
        count, seconds = int(args[0]), float(args[1])
        socks = []
        for i in range(count):
            s, ctx = associate(port)
            uid = "1.2.3.9.30.%d" % i
            head = dataset(CT, uid)
            head = head[:head.rindex(struct.pack("<HH", 0x7FE0, 0x0010))] + struct.pack("<HHI", 0x7FE0, 0x0010, 4000)
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
    elif attack in ("half-image", "deflate-stall", "huge-length"):
        # half-image N MB SECONDS: N associations each half-way through an image of MB
        # megabytes; deflate-stall N KB SECONDS: each sends KB kilobytes of a deflated data
        # set that inflates to far more; huge-length N SECONDS: each declares a value of
        # 0xFFFFFFF0 bytes and sends 64. All then hold still for SECONDS.
        count = int(args[0])
        seconds = float(args[-1])
        deflated = "1.2.840.10008.1.2.1.99"
        socks = []
        for i in range(count):
            uid = "1.2.3.9.40.%d" % i
            if attack == "deflate-stall":
                s, ctx = associate(port, ((1, CT, [deflated]),))
                z = zlib.compressobj(9, zlib.DEFLATED, -15)
                head = struct.pack("<HH2sHI", 0x7FE0, 0x0010, b"OB", 0, 0xFFFFFFF0)
                body = z.compress(explicit_dataset(CT, uid)[:-140] + head)
                chunk = bytes(1 << 20)
                while len(body) < int(args[1]) * 1024:
                    body += z.compress(chunk) + z.flush(zlib.Z_SYNC_FLUSH)
                body += b"\0" * (len(body) % 2)
                first = pdata(ctx[0], True, command_store(1, CT, uid))
                s.sendall(first + pdata(ctx[0], False, body, last=False))
            else:
                s, ctx = associate(port)
                head = dataset(CT, uid)
                head = head[:head.rindex(struct.pack("<HH", 0x7FE0, 0x0010))]
                if attack == "huge-length":
                    s.sendall(pdata(ctx[0], True, command_store(1, CT, uid))
                              + pdata(ctx[0], False, head + struct.pack("<HHI", 0x7FE0, 0x0010, 0xFFFFFFF0) + bytes(64),
                                      last=False))
                else:
                    size = int(args[1]) * 1000000
                    s.sendall(pdata(ctx[0], True, command_store(1, CT, uid))
                              + pdata(ctx[0], False, head + struct.pack("<HHI", 0x7FE0, 0x0010, size), last=False))
                    chunk = pdata(ctx[0], False, bytes(16000), last=False)
                    for _ in range(size // 2 // 16000):
                        s.sendall(chunk)
            socks.append(s)
        print("holding %d" % count, flush=True)
        time.sleep(seconds)
        for s in socks:
            s.close()
        return 0
    elif attack == "deflate-bomb":
        # One deflated data set of a few hundred kilobytes that inflates to MB megabytes.
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
        return outcome(lambda: store_one(port, "1.2.3.9.41", contexts=((1, CT, ["1.2.840.10008.1.2.1.99"]),),
                                         data=body))
    elif attack == "spool-fill":
        # spool-fill N MB GO_FILE: N images held part-way in the spool, finished on a signal.
        return spool_fill(port, int(args[0]), int(args[1]), args[2])
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
