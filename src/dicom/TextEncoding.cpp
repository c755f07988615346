#include "TextEncoding.h"

#include "Dcmtk.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/ofstd/ofchrenc.h>

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

// One value of the attribute's VR: cut to the VR's length in characters, with the value
// separator and control characters (where the VR allows none) turned into blanks.
QString formValue(const QString &value, DcmEVR vr)
{
    const bool multiValued = vr == EVR_SH || vr == EVR_LO || vr == EVR_PN || vr == EVR_UC;
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
        if ((c.unicode() < 0x20 && !(textFormat && !multiValued)) || c.unicode() == 0x7F
            || (multiValued && c == u'\\'))
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

// The bytes of `text` in the data set's character set. When that set cannot hold the text the
// whole data set moves to UTF-8 first, so every other text attribute still reads the same.
std::string encodeText(DcmDataset &ds, const QString &text)
{
    bool ascii = true;
    bool latin1 = true;
    for (QChar c : text) {
        ascii = ascii && c.unicode() < 0x80;
        latin1 = latin1 && c.unicode() <= 0xFF;
    }
    if (ascii)
        return text.toStdString();

    const std::vector<std::string> sets = characterSets(ds);
    if (sets.empty() && latin1) {
        check(ds.putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 100"),
              QStringLiteral("Cannot set the character set"));
        const QByteArray bytes = text.toLatin1();
        return std::string(bytes.constData(), size_t(bytes.size()));
    }
    const QByteArray utf8 = text.toUtf8();
    if (sets.size() == 1) {
        const auto known = kIconvNames.find(sets.front());
        std::string out;
        if (known != kIconvNames.end() && encodeAs(known->second, utf8, out))
            return out;
    }
    check(ds.convertToUTF8(), QStringLiteral("Cannot convert the image's character set to UTF-8"));
    return std::string(utf8.constData(), size_t(utf8.size()));
}

} // namespace

std::string encodeValue(DcmDataset &ds, DcmEVR vr, const QString &value)
{
    if (!affectedByCharacterSet(vr))
        return value.toStdString();
    return encodeText(ds, formValue(value, vr));
}

} // namespace dicom::detail
