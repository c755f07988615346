#include "TextEncoding.h"

#include "Dcmtk.h"

#include <dcmtk/dcmdata/dcbytstr.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcstack.h>
#include <dcmtk/ofstd/ofchrenc.h>

#include <QList>

#include <iconv.h>
#include <map>
#include <memory>
#include <vector>

namespace dicom::detail {

namespace {

// Single-valued Specific Character Sets that iconv can encode to directly.
const std::map<std::string, const char *> kIconvNames = {
    {"ISO_IR 100", "ISO-8859-1"}, {"ISO_IR 101", "ISO-8859-2"}, {"ISO_IR 109", "ISO-8859-3"},
    {"ISO_IR 110", "ISO-8859-4"}, {"ISO_IR 144", "ISO-8859-5"}, {"ISO_IR 127", "ISO-8859-6"},
    {"ISO_IR 126", "ISO-8859-7"}, {"ISO_IR 138", "ISO-8859-8"}, {"ISO_IR 148", "ISO-8859-9"},
    {"ISO_IR 203", "ISO-8859-15"}, {"ISO_IR 166", "TIS-620"},   {"ISO_IR 192", "UTF-8"},
    {"GB18030", "GB18030"},       {"GBK", "GBK"},
};

bool affectedByCharacterSet(DcmEVR vr)
{
    switch (vr) {
    case EVR_SH: case EVR_LO: case EVR_PN: case EVR_UC: case EVR_ST: case EVR_LT: case EVR_UT:
        return true;
    default:
        return false;
    }
}

bool multiValued(DcmEVR vr)
{
    return vr == EVR_SH || vr == EVR_LO || vr == EVR_PN || vr == EVR_UC;
}

// One value of the attribute's VR: cut to the VR's length in characters, with the value
// separator and control characters (where the VR allows none) turned into blanks.
QString formValue(const QString &value, DcmEVR vr)
{
    const bool multi = multiValued(vr);
    qsizetype maxChars = -1;
    switch (vr) {
    case EVR_SH: maxChars = 16; break;
    case EVR_LO: case EVR_PN: maxChars = 64; break;
    case EVR_ST: maxChars = 1024; break;
    case EVR_LT: maxChars = 10240; break;
    default: break;
    }
    QString out;
    out.reserve(value.size());
    qsizetype chars = 0;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (maxChars >= 0 && chars == maxChars)
            break;
        QChar c = value.at(i);
        const bool textFormat = c == u'\r' || c == u'\n' || c == u'\f' || c == u'\t';
        if ((c.unicode() < 0x20 && !(textFormat && !multi)) || c.unicode() == 0x7F
            || (multi && c == u'\\'))
            c = u' ';
        out.append(c);
        // A surrogate pair is one character; never cut between its halves.
        if (c.isHighSurrogate() && i + 1 < value.size() && value.at(i + 1).isLowSurrogate())
            out.append(value.at(++i));
        ++chars;
    }
    return out;
}

std::vector<std::string> characterSets(DcmDataset &ds)
{
    OFString all;
    std::vector<std::string> values;
    if (ds.findAndGetOFStringArray(DCM_SpecificCharacterSet, all).bad())
        return values;
    std::string rest(all.c_str(), all.length());
    size_t start = 0;
    for (;;) {
        const size_t sep = rest.find('\\', start);
        std::string v = rest.substr(start, sep == std::string::npos ? std::string::npos : sep - start);
        const auto b = v.find_first_not_of(' ');
        const auto e = v.find_last_not_of(' ');
        values.push_back(b == std::string::npos ? std::string() : v.substr(b, e - b + 1));
        if (sep == std::string::npos)
            break;
        start = sep + 1;
    }
    // A lone empty value is the default repertoire, as is no value at all.
    if (values.size() == 1 && values.front().empty())
        values.clear();
    return values;
}

bool usesCodeExtensions(const std::vector<std::string> &sets)
{
    return sets.size() > 1 || (sets.size() == 1 && sets.front().rfind("ISO 2022 ", 0) == 0);
}

bool encodeAs(const char *iconvName, const QByteArray &utf8, std::string &out)
{
    OFCharacterEncoding encoder;
    if (encoder.selectEncoding("UTF-8", iconvName).bad())
        return false;
    OFString converted;
    if (encoder.convertString(utf8.constData(), utf8.size(), converted).bad())
        return false;
    out.assign(converted.c_str(), converted.length());
    return true;
}

// One character through iconv, refusing anything iconv only approximates.
class Converter
{
public:
    Converter(const char *to, const char *from) : cd_(iconv_open(to, from)) {}
    ~Converter()
    {
        if (cd_ != iconv_t(-1))
            iconv_close(cd_);
    }
    Converter(const Converter &) = delete;
    Converter &operator=(const Converter &) = delete;

    bool convert(const std::string &in, std::string &out)
    {
        if (cd_ == iconv_t(-1))
            return false;
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        char buffer[32];
        char *inPtr = const_cast<char *>(in.data());
        size_t inLeft = in.size();
        char *outPtr = buffer;
        size_t outLeft = sizeof buffer;
        if (iconv(cd_, &inPtr, &inLeft, &outPtr, &outLeft) != 0 || inLeft != 0
            || iconv(cd_, nullptr, nullptr, &outPtr, &outLeft) != 0)
            return false;
        out.assign(buffer, sizeof buffer - outLeft);
        return true;
    }

private:
    iconv_t cd_;
};

// ---- ISO 2022 code extensions ----------------------------------------------------------

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
        if (multiValued(vr_) && bytes.find('\\') != std::string::npos)
            bytes.clear();
        return !bytes.empty();
    }

    // `c` in the iconv encoding `name`, only where it reads back as the same character.
    bool toNative(const char *name, char32_t c, std::string &native)
    {
        Converters &conv = converters_[name];
        if (!conv.to) {
            conv.to = std::make_unique<Converter>(name, "UTF-8");
            conv.from = std::make_unique<Converter>("UTF-8", name);
        }
        const QByteArray utf8 = QString::fromUcs4(&c, 1).toUtf8();
        const std::string in(utf8.constData(), size_t(utf8.size()));
        std::string back;
        return conv.to->convert(in, native) && conv.from->convert(native, back) && back == in;
    }

    struct Converters
    {
        std::unique_ptr<Converter> to;
        std::unique_ptr<Converter> from;
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

// The bytes of `text` with the code extensions of `sets` (none: the default repertoire),
// declaring in (0008,0005) whatever set it adds. False when no ISO 2022 set holds it.
bool encodeWithCodeExtensions(DcmDataset &ds, const std::vector<std::string> &sets, DcmEVR vr,
                              const QString &text, std::string &out)
{
    Iso2022Encoder encoder(sets, vr);
    if (!encoder.encode(text, out))
        return false;
    if (encoder.addedTerms()) {
        const std::vector<std::string> &terms = encoder.terms();
        std::string declared = terms.front();
        for (size_t i = 1; i < terms.size(); ++i)
            declared += '\\' + terms[i];
        check(ds.putAndInsertString(DCM_SpecificCharacterSet, declared.c_str()),
              QStringLiteral("Cannot set the character set"));
    }
    return true;
}

// Whether a text attribute anywhere in the data set holds a byte outside ASCII.
bool hasEightBitText(DcmDataset &ds)
{
    DcmStack stack;
    while (ds.nextObject(stack, OFTrue).good()) {
        DcmObject *object = stack.top();
        if (!affectedByCharacterSet(object->ident()))
            continue;
        auto *text = dynamic_cast<DcmByteString *>(object);
        char *bytes = nullptr;
        Uint32 length = 0;
        if (!text || text->getString(bytes, length).bad() || !bytes)
            continue;
        for (Uint32 i = 0; i < length; ++i) {
            if (static_cast<unsigned char>(bytes[i]) >= 0x80)
                return true;
        }
    }
    return false;
}

// The bytes of `text` when no pass over the whole data set is needed.
std::optional<std::string> encodeTextInPlace(DcmDataset &ds, DcmEVR vr, const QString &text)
{
    const std::vector<std::string> sets = characterSets(ds);
    bool ascii = true;
    bool latin1 = true;
    for (QChar c : text) {
        ascii = ascii && c.unicode() < 0x80;
        latin1 = latin1 && c.unicode() <= 0xFF;
    }
    if (usesCodeExtensions(sets)) {
        std::string out;
        if (encodeWithCodeExtensions(ds, sets, vr, text, out))
            return out;
        // Value 1 names no initial set we know (a multi-byte set alone, several sets without
        // code extensions): ASCII needs no conversion, and no conversion could read the rest.
        if (ascii)
            return text.toStdString();
        return std::nullopt;
    }
    if (ascii)
        return text.toStdString();
    if (sets.empty()) {
        if (!latin1)
            return std::nullopt;
        check(ds.putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 100"),
              QStringLiteral("Cannot set the character set"));
        const QByteArray bytes = text.toLatin1();
        return std::string(bytes.constData(), size_t(bytes.size()));
    }
    const auto known = kIconvNames.find(sets.front());
    std::string out;
    if (known != kIconvNames.end() && encodeAs(known->second, text.toUtf8(), out))
        return out;
    return std::nullopt;
}

} // namespace

std::optional<std::string> encodeValueInPlace(DcmDataset &ds, DcmEVR vr, const QString &value)
{
    if (!affectedByCharacterSet(vr))
        return value.toStdString();
    return encodeTextInPlace(ds, vr, formValue(value, vr));
}

std::string encodeValue(DcmDataset &ds, DcmEVR vr, const QString &value)
{
    if (auto bytes = encodeValueInPlace(ds, vr, value))
        return *std::move(bytes);
    const QString text = formValue(value, vr);
    if (characterSets(ds).empty() && hasEightBitText(ds)) {
        // Undeclared 8-bit bytes would read differently as UTF-8. Code extensions keep the
        // default repertoire as value 1, so every other byte reads as it did before.
        std::string out;
        if (encodeWithCodeExtensions(ds, {}, vr, text, out))
            return out;
    }
    // The set cannot hold the text: move every text attribute to UTF-8, so that they all still
    // read the same.
    const OFCondition converted = ds.convertToUTF8();
    // DCMTK or iconv cannot read the declared set, or the image's bytes in it: that stays so.
    // Running out of memory, or of a spool file's bytes, may not.
    const bool unreadable =
        (converted.module() == OFM_dcmdata
         && (converted.code() == EC_CODE_CannotSelectCharacterSet || converted.code() == EC_CODE_CannotConvertCharacterSet))
        || (converted.module() == 0 /* ofstd */
            && (converted.code() == EC_CODE_CannotOpenEncoding || converted.code() == EC_CODE_CannotConvertEncoding));
    if (converted.bad() && unreadable) {
        try {
            throwCondition(converted, QStringLiteral("Cannot convert the image's character set to UTF-8"));
        } catch (const AppError &e) {
            throw UnencodableText(e.number(), e.description());
        }
    }
    check(converted, QStringLiteral("Cannot convert the image's character set to UTF-8"));
    const QByteArray utf8 = text.toUtf8();
    return std::string(utf8.constData(), size_t(utf8.size()));
}

} // namespace dicom::detail
