#!/usr/bin/env python3
"""A DICOM peer of our own for the robustness tests: speaks just enough of the upper layer to
send well-formed and deliberately broken traffic to a receiver on loopback.

    peer.py PORT ATTACK [ARGS...]

Prints one line with the outcome; exits 0 when the attack ran as planned (the receiver's
reaction is judged by the caller)."""
import os
import random
import struct
import sys
import time

from wire import *  # noqa: F403  (the upper layer, spoken by every attack)
from floods import FLOODS  # the attacks that hold the receiver for a while


def sent(attack):
    """An attack that only sends: prints "sent" once done."""
    def run(port, args):
        attack(port, args)
        print("sent")
        return 0
    return run


@sent
def garbage(port, args):
    sent_to(port, os.urandom(65536)).close()


@sent
def huge_pdu(port, args):
    sent_to(port, struct.pack(">BBI", 1, 0, 0xFFFFFFFF) + os.urandom(1024)).close()


@sent
def truncated_rq(port, args):
    sent_to(port, associate_rq([(1, CT, [IMPLICIT])])[:40]).close()


@sent
def truncated_data(port, args):
    s, ctx = associate(port)
    whole = pdata(ctx[0], False, dataset(CT, "1.2.3.9.1"))
    s.sendall(pdata(ctx[0], True, command_store(1, CT, "1.2.3.9.1")) + whole[: len(whole) // 2])
    s.close()


@sent
def abort_mid_image(port, args):
    """The front of an image (up to (0008,0080)) and a little more, then an A-ABORT."""
    s, ctx = associate(port)
    s.sendall(pdata(ctx[0], True, command_store(1, CT, "1.2.3.9.2"))
              + pdata(ctx[0], False, dataset(CT, "1.2.3.9.2")[:100], last=False))
    s.sendall(struct.pack(">BBIBBBB", 7, 0, 4, 0, 0, 0, 0))
    s.close()


def many_contexts(port, args):
    s = sent_to(port, associate_rq([((2 * i + 1) % 256, CT, [IMPLICIT]) for i in range(300)]))
    try:
        kind, _ = recv_pdu(s)
        print("answered with PDU type %d" % kind)
    except (ConnectionError, OSError):
        print("connection closed")
    s.close()
    return 0


def unknown_classes(port, args):
    s, kind, _ = request(port, [(1, "1.2.3.4.5.6.7", [IMPLICIT])])
    print("answered with PDU type %d" % kind)
    s.close()
    return 0


def deep_nesting(port, args):
    return outcome(lambda: store_one(port, "1.2.3.9.3", nested(int(args[0]) if args else 5000)))


def deep_command(port, args):
    """A command set nested deep: commands are parsed by the same recursive reader."""
    s, ctx = associate(port)
    cmd = command_store(1, CT, "1.2.3.9.6") + nested(int(args[0]) if args else 20000)
    return send_and_report(s, pdata(ctx[0], True, cmd))


def hidden_nesting(port, args):
    """hidden-nesting vr|un-pixel-data: deep nesting behind a header read differently from how
    DCMTK reads it, on an explicit VR context."""
    if args[0] == "vr":
        # DCMTK reads an unknown VR in capitals with a 4-byte length after 2 reserved bytes;
        # read as a 2-byte length those bytes say 0xFFFE. Every 64 KiB another such
        # element, each followed by 3276 more levels opened.
        level = (struct.pack("<HH2sHI", 0x0040, 0xA730, b"SQ", 0, 0xFFFFFFFF)
                 + struct.pack("<HHI", 0xFFFE, 0xE000, 0xFFFFFFFF))
        chunk = struct.pack("<HH2sHI", 0x0009, 0x1002, b"ZZ", 0xFFFE, 10) + b"abcdefghij" + level * 3276
        payload = chunk * 31
    else:
        payload = (struct.pack("<HH2sHI", 0x7FE0, 0x0010, b"UN", 0, 0xFFFFFFFF)
                   + struct.pack("<HHI", 0xFFFE, 0xE000, 0xFFFFFFFF) + nested(100000))
    return outcome(lambda: store_one(port, "1.2.3.9.8", contexts=((1, CT, [EXPLICIT]),),
                                     data=explicit_dataset(CT, "1.2.3.9.8", payload)))


def data_set_for_command(port, args):
    """One data-set PDV where a command is due. Read as explicit VR (its context's syntax), a
    2-byte element and then an OB element claiming all the rest; read as implicit VR, as
    DCMTK's command reader does, the first element is 2 bytes longer, and what follows is a
    sequence nested 8,100 levels deep."""
    payload = (struct.pack("<HH2sH", 0x0009, 0x0010, b"\x02\x00", 0) + struct.pack("<HH2s", 0x0009, 0x0009, b"OB")
               + b"\xff\xff" + b"\xff\xff\xfe\xff" + b"\x00\xe0" + b"\xff\xff\xff\xff" + nested(8100))
    s, ctx = associate(port, ((1, CT, [EXPLICIT]),))
    return send_and_report(s, pdata(ctx[0], False, payload, fragment=len(payload)))


def pdv(pc_id, command, last, payload):
    return struct.pack(">IBB", len(payload) + 2, pc_id, (1 if command else 0) | (2 if last else 0)) + payload


def cut_then_whole(port, args):
    """One PDU: the end of a data set whose last value claims 0xFFFFFFF0 bytes and brings 64,
    then a whole second message. Judged by the second, the first would be parsed."""
    s, ctx = associate(port)
    cut = image_head("1.2.3.9.78.1", 0xFFFFFFF0) + bytes(64)
    body = b""
    for command, payload in ((False, cut), (True, command_store(2, CT, "1.2.3.9.78.2")),
                             (False, dataset(CT, "1.2.3.9.78.2"))):
        body += pdv(ctx[0], command, True, payload)
    first = pdata(ctx[0], True, command_store(1, CT, "1.2.3.9.78.1"))
    return send_and_report(s, first + struct.pack(">BBI", 4, 0, len(body)) + body)


def pdvs_in_one_pdu(port, args):
    """pdvs-in-one-pdu KIND UID: several PDVs in one P-DATA PDU, as the standard allows: a
    C-STORE whose command and data set come in four PDVs of differing lengths, two whole
    C-STOREs, or two C-ECHOs. Prints the status of every response."""
    kind, uid = args[0], args[1]
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
    body = b"".join(pdv(*p) for p in pdvs)
    s.sendall(struct.pack(">BBI", 4, 0, len(body)) + body)
    answers = sum(1 for _, cmd, last, _ in pdvs if last and (cmd is False or kind == "two-echoes"))
    try:
        print(" ".join("status 0x%04x" % response_status(s) for _ in range(answers)))
    except (RuntimeError, ConnectionError, OSError) as e:
        print("association ended: %s" % e)
    release(s)
    return 0


def large_request(port, args):
    """large-request SIZE: an association request of about SIZE bytes: CT contexts offering 40
    long made-up syntaxes each, then implicit VR little endian. Prints how it was answered."""
    size = int(args[0])
    contexts, length, pc_id = [], 200, 1
    while length < size and pc_id < 256:
        syntaxes = [("1.2.3.4.5.6.7.8.9.%d.%d." % (pc_id, i)).ljust(60, "1") for i in range(40)] + [IMPLICIT]
        contexts.append((pc_id, CT, syntaxes))
        length += 12 + len(CT) + sum(4 + len(ts) for ts in syntaxes)
        pc_id += 2
    return send_and_report(connect(port), associate_rq(contexts))


def many_elements_attack(port, args):
    """many-elements ORDER COUNT [SYNTAX]: an image with COUNT empty private elements."""
    return outcome(lambda: many_elements(port, args[0], int(args[1]), *args[2:]))


def small_values(port, args):
    """small-values N MB: N images at once, each MB megabytes of 64 KiB values."""
    return in_parallel(int(args[0]), lambda i: send_small_values(port, int(args[1]), "1.2.3.9.51.%d" % i))


def costly_deflated(port, args):
    """costly-deflated N COUNT: N deflated images of COUNT repeated elements and, once they are
    sent, a plain deflated image; the plain one's outcome is printed last."""
    def run(i):
        if i < int(args[0]):
            return many_elements(port, "repeated", int(args[1]), "deflated", "1.2.3.9.52.%d" % i)
        time.sleep(1)  # only to come after the others; the verdict does not hang on it
        return many_elements(port, "ascending", 10, "deflated", "1.2.3.9.53")
    return in_parallel(int(args[0]) + 1, run)


def overrun(port, args):
    return outcome(lambda: store_one(port, "1.2.3.9.54", overrun_in_sequence()))


def offer(port, args):
    """offer NAME,NAME,...: one CT context offering these transfer syntaxes; prints the one
    accepted, or the context's result."""
    s, kind, body = request(port, [(1, CT, [SYNTAXES[n] for n in args[0].split(",")])])
    if kind != 2:
        print("rejected")
        return 0
    names = {v: k for k, v in SYNTAXES.items()}
    print(" ".join(names.get(ts, ts) if result == 0 else "refused-%d" % result
                   for _, result, ts in context_results(body)))
    release(s)
    return 0


def contexts(port, args):
    """contexts KIND: requests the receiver must answer context by context, or refuse whole."""
    kind_of, options = args[0], {}
    requested = {"too-many-syntaxes": [(1, CT, [IMPLICIT] + ["1.2.3.4.%d" % i for i in range(59)]),
                                       (3, CT, [IMPLICIT]), (5, MR, [IMPLICIT])],
                 "repeated-id": [(1, "1.2.3.4", [IMPLICIT]), (1, CT, [IMPLICIT])],
                 "even-id": [(2, CT, [IMPLICIT])], "zero-id": [(0, CT, [IMPLICIT])]}
    if kind_of.startswith("pdu-"):
        options["max_pdu"] = int(kind_of[4:])
    s, kind, body = request(port, requested.get(kind_of, [(1, CT, [IMPLICIT])]), **options)
    if kind != 2:
        print("rejected (PDU type %d)" % kind)
        return 0
    print(" ".join("%d:%s" % (pc_id, "accepted" if result == 0 else "refused") for pc_id, result, _ in
                   context_results(body)))
    if kind_of.startswith("pdu-") or kind_of == "too-many-syntaxes":
        pc_id = accepted_contexts(body)[0]
        outcome(lambda: store_status(s, pc_id, command_store(1, CT, "1.2.3.9.9"), dataset(CT, "1.2.3.9.9")))
    s.close()
    return 0


def data_on_other_context(port):
    s, ctx = associate(port, ((1, CT, [EXPLICIT]), (3, MR, [IMPLICIT])))
    s.sendall(pdata(1, True, command_store(1, CT, "1.2.3.9.13")) + pdata(3, False, dataset(CT, "1.2.3.9.13")))
    kind, _ = recv_pdu(s)
    if kind != 4:
        raise RuntimeError("no response (PDU type %d)" % kind)
    return 0


def mismatch(port, args):
    """mismatch KIND: a C-STORE that does not fit its presentation context."""
    runs = {"made-up-class": lambda: store_one(port, "1.2.3.9.10", sop_class="1.2.3.4.5"),
            "verification-context": lambda: store_one(port, "1.2.3.9.11", context=1, contexts=(
                (1, VERIFICATION, [IMPLICIT]), (3, CT, [IMPLICIT]))),
            "no-class": lambda: store_one(port, "1.2.3.9.12", sop_class=""),
            "data-on-other-context": lambda: data_on_other_context(port)}
    if args[0] not in runs:
        print("sent")
        return 0
    return outcome(runs[args[0]])


def store_from(port, args):
    """store-from CALLING UID: one image from a calling AE title of any bytes."""
    calling = args[0].encode("latin-1").decode("unicode_escape").encode("latin-1")
    return outcome(lambda: store_one(port, args[1], calling=calling))


def meta_in_data_set(port, args):
    """File meta elements inside the data set, ahead of its own elements."""
    meta = element(0x0002, 0x0010, pad("1.2.840.10008.1.2.2")) + element(0x0002, 0x0013, b"EVIL")
    return outcome(lambda: store_one(port, args[0], meta=meta))


def uid_mismatch(port, args):
    print("status 0x%04x" % store_one(port, "1.2.3.9.4", command_instance="1.2.3.9.5"))
    return 0


def store(port, args):
    """store UID: one image, as a well-behaved sender would; the UID may be anything."""
    uid = args[0].encode().decode("unicode_escape")
    return outcome(lambda: store_one(port, uid))


def store_with(port, args):
    """store-with UID [as-given] GGGG,EEEE=VALUE...: one image whose data set also holds these
    elements, the values' bytes as given; those before (0008,0016) go ahead of the image's own,
    the others after (0008,0080), in tag order; as-given, all of them after (0008,0080), in the
    order given."""
    ahead, extra = [], []
    as_given = args[1:2] == ["as-given"]
    for assignment in (os.fsencode(a) for a in args[1 + as_given:]):
        tag, _, value = assignment.partition(b"=")
        group, elem = (int(t, 16) for t in tag.split(b","))
        ((ahead if not as_given and (group, elem) < (0x0008, 0x0016) else extra)).append((group, elem, value))
    join = lambda elements: b"".join(element(g, e, v) for g, e, v in elements)
    return outcome(lambda: store_one(port, args[0], join(extra if as_given else sorted(extra)), meta=join(sorted(ahead))))


def broken_rest(port, args):
    """broken-rest KIND UID: an image whose rest, after (0008,0080), DCMTK cannot parse: a
    sequence item never closed (unclosed), or a sequence delimiter at the top level (stray-end)."""
    unclosed = (struct.pack("<HHI", 0x0008, 0x1115, 0xFFFFFFFF) + struct.pack("<HHI", 0xFFFE, 0xE000, 0xFFFFFFFF)
                + element(0x0008, 0x1150, pad(CT)))
    extra = {"unclosed": unclosed, "stray-end": struct.pack("<HHI", 0xFFFE, 0xE0DD, 0)}[args[0]]
    return outcome(lambda: store_one(port, args[1], extra))


def implementation(port, args):
    """The implementation class UID and version name the receiver answers an association with."""
    s, kind, body = request(port, [(1, CT, [IMPLICIT])])
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


@sent
def silent(port, args):
    """silent N SECONDS: N connections that say nothing for SECONDS."""
    socks = [connect(port) for _ in range(int(args[0]))]
    time.sleep(float(args[1]))
    for s in socks:
        s.close()


ATTACKS = {"garbage": garbage, "huge-pdu": huge_pdu, "truncated-rq": truncated_rq, "truncated-data": truncated_data,
           "abort-mid-image": abort_mid_image, "many-contexts": many_contexts,
           "unknown-classes": unknown_classes, "deep-nesting": deep_nesting, "deep-command": deep_command,
           "hidden-nesting": hidden_nesting, "data-set-for-command": data_set_for_command,
           "cut-then-whole": cut_then_whole, "pdvs-in-one-pdu": pdvs_in_one_pdu, "large-request": large_request,
           "many-elements": many_elements_attack, "small-values": small_values, "costly-deflated": costly_deflated,
           "overrun": overrun, "offer": offer, "contexts": contexts, "mismatch": mismatch, "store-from": store_from,
           "meta-in-data-set": meta_in_data_set, "uid-mismatch": uid_mismatch, "store": store,
           "store-with": store_with, "broken-rest": broken_rest, "implementation": implementation, "silent": silent, **FLOODS}


def main():
    port, attack, args = int(sys.argv[1]), sys.argv[2], sys.argv[3:]
    random.seed(attack)
    if attack not in ATTACKS:
        print("unknown attack " + attack)
        return 2
    return ATTACKS[attack](port, args)


if __name__ == "__main__":
    sys.exit(main())
