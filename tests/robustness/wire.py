"""The upper layer spoken just well enough by peer.py: PDUs, commands and small images."""
import os
import random
import socket
import struct
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
DEFLATED = SYNTAXES["deflated"]


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


def sent_to(port, data):
    """A new connection to the receiver, `data` sent on it."""
    s = connect(port)
    s.sendall(data)
    return s


def request(port, contexts, **options):
    """An association request: the socket, and the kind and body of the PDU answering it."""
    s = sent_to(port, associate_rq(contexts, **options))
    return (s,) + recv_pdu(s)


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


def nested(depth):
    # (0040,A730) sequences inside items, undefined lengths all the way down.
    seq_start = struct.pack("<HHI", 0x0040, 0xA730, 0xFFFFFFFF) + struct.pack("<HHI", 0xFFFE, 0xE000, 0xFFFFFFFF)
    seq_end = struct.pack("<HHI", 0xFFFE, 0xE00D, 0) + struct.pack("<HHI", 0xFFFE, 0xE0DD, 0)
    return seq_start * depth + seq_end * depth


def image_head(uid, size):
    """An image's elements up to its pixel data, which is declared `size` bytes long."""
    head = dataset(CT, uid)
    return head[:head.rindex(struct.pack("<HH", 0x7FE0, 0x0010))] + struct.pack("<HHI", 0x7FE0, 0x0010, size)


def private_tags(count, first_group):
    """`count` distinct private tags in ascending order, none with a private creator."""
    per_group = 0x10000 - 0x1000
    return [(first_group + 2 * (i // per_group), 0x1000 + i % per_group) for i in range(count)]


def before_pixels(data, middle):
    """`data` with `middle` put in front of its pixel data."""
    at = data.rindex(struct.pack("<HH", 0x7FE0, 0x0010))
    return data[:at] + middle + data[at:]


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



def send_zeros(sock, pc_id, size):
    """`size` bytes of a value (whole PDUs of 16,000 bytes), none of them its last."""
    chunk = pdata(pc_id, False, bytes(16000), last=False)
    for _ in range(size // 16000):
        sock.sendall(chunk)


def deflate(data):
    z = zlib.compressobj(9, zlib.DEFLATED, -15)
    data = z.compress(data) + z.flush()
    return data + b"\0" * (len(data) % 2)  # a data set's length is even, deflated too


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
        data = deflate(data)
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
