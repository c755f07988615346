#include "DicomServer.h"

#include "Dcmtk.h"
#include "FileWriter.h"
#include "ImageData.h"
#include "WireGuard.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcistrmb.h>
#include <dcmtk/dcmdata/dctag.h>
#include <dcmtk/ofstd/ofchrenc.h>

#include <QFile>
#include <map>

namespace dicom {

using detail::check;

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

QString shown(const QString &name)
{
    QString s = name.left(80);
    for (QChar &c : s) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            c = u'?';
    }
    return name.size() > 80 ? s + QStringLiteral("...") : s;
}

} // namespace

void AttributeCollection::setAttribute(qint32 group, qint32 element, const QString &value)
{
    if (group < 0 || group > 0xFFFF || element < 0 || element > 0xFFFF)
        throw AppError(ErrorNumber::InvalidArgument,
                       QStringLiteral("No such attribute (%1,%2)").arg(group).arg(element));
    const DcmTag tag{Uint16(group), Uint16(element)};
    DcmDataset &ds = data_.dataset();
    const DcmEVR vr = tag.getEVR();
    const QString where = QStringLiteral("Cannot set attribute (%1,%2)")
                              .arg(group, 4, 16, QLatin1Char('0'))
                              .arg(element, 4, 16, QLatin1Char('0'));
    std::string bytes;
    if (affectedByCharacterSet(vr))
        bytes = encodeText(ds, formValue(value, vr));
    else
        bytes = value.toStdString();
    check(ds.putAndInsertOFStringArray(tag, OFString(bytes.data(), bytes.size()), OFTrue), where);
}

Image::Image(std::unique_ptr<detail::ImageData> data) : data_(std::move(data)) {}
Image::~Image() = default;

AttributeCollection Image::attributes()
{
    return AttributeCollection(*data_);
}

QString Image::nameValue() const
{
    OFString uid;
    data_->dataset().findAndGetOFStringArray(DCM_SOPInstanceUID, uid);
    QString name = QString::fromLatin1(uid.c_str(), qsizetype(uid.length()));
    while (!name.isEmpty() && (name.back() == u' ' || name.back() == QChar(0)))
        name.chop(1);
    while (!name.isEmpty() && name.front() == u' ')
        name.remove(0, 1);
    for (QChar c : name) {
        if (c == u'/' || c == u'\\' || c.unicode() < 0x20 || c.unicode() == 0x7F)
            throw AppError(ErrorNumber::BadFileName,
                           QStringLiteral("Refused the SOP Instance UID \"%1\" as a file name").arg(shown(name)));
    }
    return name;
}

namespace detail {

namespace {
void writeNow(ImageData &data, const std::string &path, bool replace)
{
    prepareMetaHeader(*data.file, data.transferSyntax, data.sourceAETitle);
    writeFileAtomically(*data.file, data.transferSyntax, path, replace);
    data.written = true;
}
} // namespace

bool completePendingWrites(ImageData &data, const std::function<void()> &onFailure)
{
    bool allWritten = !data.pendingWrites.empty();
    for (const ImageData::WriteRequest &request : data.pendingWrites) {
        try {
            writeNow(data, request.path, request.replace);
        } catch (...) {
            allWritten = false;
            if (onFailure)
                onFailure();
        }
    }
    data.pendingWrites.clear();
    return allWritten;
}

} // namespace detail

void Image::write(const QString &path, bool replace)
{
    std::string encoded = QFile::encodeName(path).toStdString();
    if (data_->deferWrites)
        data_->pendingWrites.push_back({std::move(encoded), replace});
    else
        detail::writeNow(*data_, encoded, replace);
}

bool Image::written() const
{
    return data_->written;
}

std::unique_ptr<Image> Image::fromFile(const QString &path, const QString &sourceAETitle)
{
    detail::initializeDcmtk();
    auto data = std::make_unique<detail::ImageData>();
    data->file = std::make_unique<DcmFileFormat>();
    check(data->file->loadFile(OFFilename(QFile::encodeName(path).constData())),
          QStringLiteral("Cannot read %1").arg(path));
    data->transferSyntax = data->dataset().getOriginalXfer();
    data->sourceAETitle = sourceAETitle.toStdString();
    return std::make_unique<Image>(std::move(data));
}

std::unique_ptr<Image> Image::fromBytes(const QByteArray &bytes)
{
    detail::initializeDcmtk();
    auto data = std::make_unique<detail::ImageData>();
    data->file = std::make_unique<DcmFileFormat>();
    DcmInputBufferStream in;
    in.setBuffer(bytes.constData(), offile_off_t(bytes.size()));
    in.setEos();
    data->file->transferInit();
    const OFCondition cond = data->file->read(in, EXS_Unknown, EGL_noChange, DCM_MaxReadLength);
    data->file->transferEnd();
    check(cond, QStringLiteral("Cannot parse the data set"));
    data->transferSyntax = data->dataset().getOriginalXfer();
    return std::make_unique<Image>(std::move(data));
}

std::unique_ptr<Image> Image::fromDataSetBytes(const QByteArray &bytes, const QString &transferSyntaxUID)
{
    detail::initializeDcmtk();
    const DcmXfer xfer(transferSyntaxUID.toLatin1().constData());
    if (xfer.getXfer() == EXS_Unknown)
        throw AppError(ErrorNumber::InvalidArgument, QStringLiteral("Unknown transfer syntax %1").arg(transferSyntaxUID));
    detail::NestingGuard guard({xfer.isExplicitVR() != OFFalse, xfer.getByteOrder() == EBO_BigEndian,
                                xfer.getStreamCompression() != ESC_none});
    if (!guard.feed(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size())))
        throw AppError(ErrorNumber::DicomFailure, QStringLiteral("The data set is nested too deep"));

    auto data = std::make_unique<detail::ImageData>();
    data->file = std::make_unique<DcmFileFormat>();
    DcmDataset &ds = data->dataset();
    DcmInputBufferStream in;
    in.setBuffer(bytes.constData(), offile_off_t(bytes.size()));
    in.setEos();
    ds.transferInit();
    const OFCondition cond = ds.read(in, xfer.getXfer());
    ds.transferEnd();
    check(cond, QStringLiteral("Cannot parse the data set"));
    data->transferSyntax = xfer.getXfer();
    return std::make_unique<Image>(std::move(data));
}

} // namespace dicom
