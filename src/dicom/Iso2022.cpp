#include "Iso2022.h"

#include "Iconv.h"

#include <QList>

#include <map>
#include <memory>

namespace dicom::detail {

namespace {

// DCMTK and pydicom split these VRs' values at 05/12 before they decode them.
bool splitsAtBackslash(DcmEVR vr)
{
    return vr == EVR_SH || vr == EVR_LO || vr == EVR_PN || vr == EVR_UC;
}

enum class Slot { G0, G1 };
enum class Kind { Ascii, Romaji, Katakana, Upper96, JisX0208, JisX0212, TwoByteGR };

// A graphic set a defined term brings, the escape sequence that designates it and the
// iconv encoding its characters are found with.
struct CodeElement
{
    const char *term;
    Slot slot;
    const char *escape;
    Kind kind;
    const char *iconvName;
};

// In the order sets are added to (0008,0005) when the listed ones cannot hold a character:
// the single-byte sets first, so Western European text gets ISO 2022 IR 100.
const CodeElement kElements[] = {
    {"ISO 2022 IR 6", Slot::G0, "\x1b(B", Kind::Ascii, nullptr},
    {"ISO 2022 IR 13", Slot::G0, "\x1b(J", Kind::Romaji, nullptr},
    {"ISO 2022 IR 13", Slot::G1, "\x1b)I", Kind::Katakana, nullptr},
    {"ISO 2022 IR 100", Slot::G1, "\x1b-A", Kind::Upper96, "ISO-8859-1"},
    {"ISO 2022 IR 101", Slot::G1, "\x1b-B", Kind::Upper96, "ISO-8859-2"},
    {"ISO 2022 IR 109", Slot::G1, "\x1b-C", Kind::Upper96, "ISO-8859-3"},
    {"ISO 2022 IR 110", Slot::G1, "\x1b-D", Kind::Upper96, "ISO-8859-4"},
    {"ISO 2022 IR 144", Slot::G1, "\x1b-L", Kind::Upper96, "ISO-8859-5"},
    {"ISO 2022 IR 127", Slot::G1, "\x1b-G", Kind::Upper96, "ISO-8859-6"},
    {"ISO 2022 IR 126", Slot::G1, "\x1b-F", Kind::Upper96, "ISO-8859-7"},
    {"ISO 2022 IR 138", Slot::G1, "\x1b-H", Kind::Upper96, "ISO-8859-8"},
    {"ISO 2022 IR 148", Slot::G1, "\x1b-M", Kind::Upper96, "ISO-8859-9"},
    {"ISO 2022 IR 166", Slot::G1, "\x1b-T", Kind::Upper96, "TIS-620"},
    {"ISO 2022 IR 87", Slot::G0, "\x1b$B", Kind::JisX0208, "EUC-JP"},
    {"ISO 2022 IR 159", Slot::G0, "\x1b$(D", Kind::JisX0212, "EUC-JP"},
    {"ISO 2022 IR 149", Slot::G1, "\x1b$)C", Kind::TwoByteGR, "EUC-KR"},
    {"ISO 2022 IR 58", Slot::G1, "\x1b$)A", Kind::TwoByteGR, "GB2312"},
};
const CodeElement &kAscii = kElements[0];
const CodeElement &kRomaji = kElements[1];
const CodeElement &kKatakana = kElements[2];

// Whether the defined term `term` brings `e`: its own sets, and ASCII as G0 with the
// ISO 8859 and Thai sets.
bool brings(const std::string &term, const CodeElement &e)
{
    if (term == e.term)
        return true;
    if (e.kind != Kind::Ascii)
        return false;
    for (const CodeElement &other : kElements) {
        if (other.kind == Kind::Upper96 && term == other.term)
            return true;
    }
    return false;
}

bool inRange(unsigned char b, unsigned char low, unsigned char high)
{
    return b >= low && b <= high;
}

class Iso2022Encoder
{
public:
    Iso2022Encoder(std::vector<std::string> terms, DcmEVR vr) : terms_(std::move(terms)), vr_(vr)
    {
        // Value 1 is the initial designation; empty means ASCII as G0 and no G1.
        if (terms_.empty())
            terms_.emplace_back();
        const std::string &first = terms_.front();
        if (first.empty() || first == kAscii.term) {
            initialG0_ = &kAscii;
        } else if (first == kKatakana.term) {
            initialG0_ = &kRomaji;
            initialG1_ = &kKatakana;
        } else {
            for (const CodeElement &e : kElements) {
                if (e.kind == Kind::Upper96 && first == e.term) {
                    initialG0_ = &kAscii;
                    initialG1_ = &e;
                }
            }
        }
        listed_ = terms_.size();
    }

    // The bytes of `text`, or false when a character fits no set. Sets added to the list
    // are in terms() afterwards.
    bool encode(const QString &text, std::string &out)
    {
        if (!initialG0_)
            return false;
        g0_ = initialG0_;
        g1_ = initialG1_;
        last_ = nullptr;
        out.clear();
        for (const char32_t c : text.toUcs4()) {
            const bool delimiter = (vr_ == EVR_PN && (c == U'^' || c == U'='));
            if (c < 0x20 || delimiter) {
                // Line ends, tabs and name delimiters are read in the initial sets.
                returnToInitial(out);
                out.push_back(char(c));
                continue;
            }
            if (!encodeCharacter(c, out))
                return false;
        }
        returnToInitial(out);
        return true;
    }

    const std::vector<std::string> &terms() const { return terms_; }
    bool addedTerms() const { return terms_.size() > listed_; }

private:
    bool encodeCharacter(char32_t c, std::string &out)
    {
        std::string bytes;
        // The sets in use first, then the listed ones in their order, then the others.
        for (const CodeElement *e : {g0_, g1_}) {
            if (e && bytesIn(*e, c, bytes)) {
                designate(*e, out);
                out += bytes;
                return true;
            }
        }
        for (size_t i = 0; i < terms_.size(); ++i) {
            const std::string term = i == 0 && terms_[0].empty() ? std::string(kAscii.term) : terms_[i];
            for (const CodeElement &e : kElements) {
                if (brings(term, e) && bytesIn(e, c, bytes)) {
                    designate(e, out);
                    out += bytes;
                    return true;
                }
            }
        }
        for (const CodeElement &e : kElements) {
            if (bytesIn(e, c, bytes)) {
                terms_.emplace_back(e.term);
                designate(e, out);
                out += bytes;
                return true;
            }
        }
        return false;
    }

    // Makes `e` the set its next bytes are read in. DCMTK and pydicom read every stretch after
    // an escape sequence in that sequence's set alone (with ASCII beside an ISO 8859 set), so
    // the bytes stay in the stretch of their own set: a G1 set is designated again after
    // another escape, and G0 returns from a two-byte set before a G1 set comes in.
    void designate(const CodeElement &e, std::string &out)
    {
        if (e.slot == Slot::G0) {
            if (g0_ != &e)
                designateNow(e, out);
            return;
        }
        if (twoByte(*g0_))
            designateNow(*initialG0_, out);
        if (g1_ != &e || (last_ && last_ != &e))
            designateNow(e, out);
    }

    void designateNow(const CodeElement &e, std::string &out)
    {
        out += e.escape;
        (e.slot == Slot::G0 ? g0_ : g1_) = &e;
        last_ = &e;
    }

    static bool twoByte(const CodeElement &e) { return e.kind == Kind::JisX0208 || e.kind == Kind::JisX0212; }

    // Back to value 1's sets. Without an initial G1 there is nothing to return to: readers
    // start over in the initial sets after a delimiter and at the value's end.
    void returnToInitial(std::string &out)
    {
        if (g0_ != initialG0_)
            out += initialG0_->escape;
        if (g1_ != initialG1_ && initialG1_)
            out += initialG1_->escape;
        g0_ = initialG0_;
        g1_ = initialG1_;
        last_ = nullptr;
    }

    // The bytes of `c` in `e`, or false when `e` has no such character.
    bool bytesIn(const CodeElement &e, char32_t c, std::string &bytes)
    {
        bytes.clear();
        switch (e.kind) {
        case Kind::Ascii:
            if (c >= 0x20 && c < 0x7F)
                bytes.push_back(char(c));
            return !bytes.empty();
        case Kind::Romaji:
            // As ASCII but for the yen sign at 05/12 and the overline at 07/14.
            if (c >= 0x20 && c < 0x7F && c != U'\\' && c != U'~')
                bytes.push_back(char(c));
            return !bytes.empty();
        case Kind::Katakana:
            if (c >= 0xFF61 && c <= 0xFF9F)
                bytes.push_back(char(0xA1 + (c - 0xFF61)));
            return !bytes.empty();
        default:
            break;
        }
        if (c < 0x80)
            return false;
        std::string native;
        if (!toNative(e.iconvName, c, native))
            return false;
        const auto b = [&](size_t i) { return static_cast<unsigned char>(native[i]); };
        switch (e.kind) {
        case Kind::Upper96:
            if (native.size() == 1 && b(0) >= 0xA0)
                bytes = native;
            break;
        case Kind::JisX0208:
            // EUC-JP holds JIS X 0208 as two bytes with the high bit set; G0 takes them without.
            if (native.size() == 2 && inRange(b(0), 0xA1, 0xFE) && inRange(b(1), 0xA1, 0xFE))
                bytes = {char(b(0) & 0x7F), char(b(1) & 0x7F)};
            break;
        case Kind::JisX0212:
            if (native.size() == 3 && b(0) == 0x8F && inRange(b(1), 0xA1, 0xFE) && inRange(b(2), 0xA1, 0xFE))
                bytes = {char(b(1) & 0x7F), char(b(2) & 0x7F)};
            break;
        case Kind::TwoByteGR:
            if (native.size() == 2 && inRange(b(0), 0xA1, 0xFE) && inRange(b(1), 0xA1, 0xFE))
                bytes = native;
            break;
        default:
            break;
        }
        // DCMTK and pydicom split SH, LO, PN and UC values at 05/12 before they decode them:
        // a two-byte character with that byte would come apart.
        if (splitsAtBackslash(vr_) && bytes.find('\\') != std::string::npos)
            bytes.clear();
        return !bytes.empty();
    }

    // `c` in the iconv encoding `name`, only where it reads back as the same character.
    bool toNative(const char *name, char32_t c, std::string &native)
    {
        Converters &conv = converters_[name];
        if (!conv.to) {
            conv.to = std::make_unique<Iconv>(name, "UTF-8");
            conv.from = std::make_unique<Iconv>("UTF-8", name);
        }
        const QByteArray utf8 = QString::fromUcs4(&c, 1).toUtf8();
        const std::string in(utf8.constData(), size_t(utf8.size()));
        std::string back;
        return conv.to->convert(in, native) && conv.from->convert(native, back) && back == in;
    }

    struct Converters
    {
        std::unique_ptr<Iconv> to;
        std::unique_ptr<Iconv> from;
    };

    std::vector<std::string> terms_;
    size_t listed_ = 0;
    const DcmEVR vr_;
    const CodeElement *initialG0_ = nullptr;
    const CodeElement *initialG1_ = nullptr;
    const CodeElement *g0_ = nullptr;
    const CodeElement *g1_ = nullptr;
    const CodeElement *last_ = nullptr;  // the last escape sequence since the initial sets
    std::map<std::string, Converters> converters_;
};

} // namespace

bool encodeIso2022(const std::vector<std::string> &terms, DcmEVR vr, const QString &text, std::string &out,
                   std::vector<std::string> &declared)
{
    Iso2022Encoder encoder(terms, vr);
    declared.clear();
    if (!encoder.encode(text, out))
        return false;
    if (encoder.addedTerms())
        declared = encoder.terms();
    return true;
}

} // namespace dicom::detail
