#pragma once

// Bytes as they come over the wire, built by hand: data set elements in each encoding, deep
// nesting, PDVs, P-DATA PDUs and the command sets that announce data sets.

#include <QByteArray>

namespace wire {

enum class Enc { Implicit, ExplicitLittle, ExplicitBig };

inline QByteArray u16(quint16 v, bool big)
{
    QByteArray out;
    out.append(char(big ? v >> 8 : v));
    out.append(char(big ? v : v >> 8));
    return out;
}
inline QByteArray u32(quint32 v, bool big) { return big ? u16(v >> 16, true) + u16(v, true) : u16(v, false) + u16(v >> 16, false); }

inline QByteArray u32be(quint32 v) { return u32(v, true); }

inline QByteArray tag(quint16 g, quint16 e, bool big) { return u16(g, big) + u16(e, big); }

inline QByteArray sequenceHeader(quint16 g, quint16 e, quint32 length, Enc enc, const char *vr = "SQ")
{
    const bool big = enc == Enc::ExplicitBig;
    if (enc == Enc::Implicit)
        return tag(g, e, false) + u32(length, false);
    return tag(g, e, big) + QByteArray(vr, 2) + u16(0, big) + u32(length, big);
}

inline QByteArray itemHeader(quint32 length, bool big) { return tag(0xFFFE, 0xE000, big) + u32(length, big); }

// `depth` levels of (0040,A730) sequence > item, with undefined or defined lengths.
inline QByteArray nested(int depth, Enc enc, bool defined, quint16 g = 0x0040, quint16 e = 0xA730, const char *vr = "SQ")
{
    const bool big = enc == Enc::ExplicitBig;
    QByteArray inner;
    for (int i = 0; i < depth; ++i) {
        if (defined) {
            const QByteArray item = itemHeader(quint32(inner.size()), big) + inner;
            inner = sequenceHeader(g, e, quint32(item.size()), enc, vr) + item;
        } else {
            inner = sequenceHeader(g, e, 0xFFFFFFFF, enc, vr) + itemHeader(0xFFFFFFFF, big) + inner
                    + tag(0xFFFE, 0xE00D, big) + u32(0, big) + tag(0xFFFE, 0xE0DD, big) + u32(0, big);
        }
    }
    return inner;
}

// A PDV item: `command` or data set, `last` fragment or not.
inline QByteArray item(quint8 context, bool command, const QByteArray &value, bool last = true)
{
    return u32be(quint32(value.size()) + 2) + char(context) + char((command ? 1 : 0) | (last ? 2 : 0)) + value;
}

// A P-DATA PDU holding `items`.
inline QByteArray pdu(const QByteArray &items) { return QByteArray("\x04\x00", 2) + u32be(quint32(items.size())) + items; }

// P-DATA as most peers send it: one PDV per PDU.
inline QByteArray pdv(quint8 context, bool command, const QByteArray &value) { return pdu(item(context, command, value)); }

// A command set announcing a data set (0000,0800) = `dataSetType`, implicit VR little endian.
inline QByteArray command(quint16 dataSetType)
{
    return tag(0x0000, 0x0100, false) + u32(2, false) + u16(0x0001, false) + tag(0x0000, 0x0800, false)
           + u32(2, false) + u16(dataSetType, false);
}

} // namespace wire
