#include "TextEncoding.h"

#include "Dcmtk.h"
#include "Iconv.h"
#include "Iso2022.h"

#include <dcmtk/dcmdata/dcbytstr.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcstack.h>

#include <map>
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

// The bytes of `text` with the code extensions of `sets` (none: the default repertoire),
// declaring in (0008,0005) whatever set it adds. False when no ISO 2022 set holds it.
bool encodeWithCodeExtensions(DcmDataset &ds, const std::vector<std::string> &sets, DcmEVR vr,
                              const QString &text, std::string &out)
{
    std::vector<std::string> terms;
    if (!encodeIso2022(sets, vr, text, out, terms))
        return false;
    if (!terms.empty()) {
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

} // namespace

std::optional<std::string> encodeWithoutConvertingDataSet(DcmDataset &ds, DcmEVR vr, const QString &value)
{
    if (!affectedByCharacterSet(vr))
        return value.toStdString();
    const QString text = formValue(value, vr);
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
    const QByteArray utf8 = text.toUtf8();
    std::string out;
    if (known != kIconvNames.end()
        && Iconv(known->second, "UTF-8").convert({utf8.constData(), size_t(utf8.size())}, out))
        return out;
    return std::nullopt;
}

std::string encodeValue(DcmDataset &ds, DcmEVR vr, const QString &value)
{
    if (auto bytes = encodeWithoutConvertingDataSet(ds, vr, value))
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
