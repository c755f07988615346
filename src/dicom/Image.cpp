#include "Image.h"

#include "Dcmtk.h"
#include "ImageData.h"
#include "ImageWriter.h"
#include "TextEncoding.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dctag.h>

#include <QFile>

namespace dicom {

namespace {

QString shown(const QString &name)
{
    QString s = name.left(80);
    for (QChar &c : s) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            c = u'?';
    }
    return name.size() > 80 ? s + QStringLiteral("...") : s;
}

// The value's bytes by a pass over the whole data set where need be. What the image's own
// character set keeps out can never be stored, however often the image is sent.
std::string encodedOrUnstorable(detail::ImageWriter &verdict, DcmDataset &ds, DcmEVR vr, const QString &value)
{
    try {
        return detail::encodeValue(ds, vr, value);
    } catch (const detail::UnencodableText &) {
        verdict.refuseForGood();
        throw;
    }
}

// The last element of a data set's front; the rest of it may not be there yet.
const DcmTagKey kLastOfFront = DCM_InstitutionName;

} // namespace

void AttributeCollection::setAttribute(qint32 group, qint32 element, const QString &value)
{
    if (group < 0 || group > 0xFFFF || element < 0 || element > 0xFFFF)
        throw AppError(ErrorNumber::InvalidArgument,
                       QStringLiteral("No such attribute (%1,%2)").arg(group).arg(element));
    const DcmTag tag{Uint16(group), Uint16(element)};
    detail::ImageData &data = *image_.data_;
    DcmDataset &ds = data.dataset();
    const DcmEVR vr = tag.getEVR();
    // The failure's text is made only for a failure: this runs for every image.
    const auto store = [tag, group, element](DcmDataset &target, const std::string &bytes) {
        const OFCondition cond = target.putAndInsertOFStringArray(tag, OFString(bytes.data(), bytes.size()), OFTrue);
        if (cond.bad())
            detail::check(cond, QStringLiteral("Cannot set attribute (%1,%2)")
                                    .arg(group, 4, 16, QLatin1Char('0'))
                                    .arg(element, 4, 16, QLatin1Char('0')));
    };
    detail::ImageWriter &verdict = image_.writer_;
    auto later = [store, vr, value, &verdict](DcmDataset &target) {
        store(target, encodedOrUnstorable(verdict, target, vr, value));
    };
    if (data.frontOnly)
        data.replay.push_back(later);
    // Behind a change that still waits for the write, every later one waits too, in order. One
    // beyond a front that arrived alone waits for the whole data set.
    if (data.beforeWrite.empty() && !(data.frontOnly && tag > kLastOfFront)) {
        if (const auto bytes = detail::encodeWithoutConvertingDataSet(ds, vr, value)) {
            store(ds, *bytes);
            return;
        }
        if (!data.deferWholeDataSetWork) {
            store(ds, encodedOrUnstorable(verdict, ds, vr, value));
            return;
        }
    }
    data.beforeWrite.push_back(std::move(later));
}

Image::Image(std::unique_ptr<detail::ImageData> data, detail::ImageWriter &writer)
    : data_(std::move(data)), writer_(writer)
{
    data_->deferWholeDataSetWork = writer.writesLater();
}

Image::~Image() = default;

AttributeCollection Image::attributes()
{
    return AttributeCollection(*this);
}

QString Image::nameValue() const
{
    OFString uid;
    data_->dataset().findAndGetOFStringArray(DCM_SOPInstanceUID, uid);
    QString name = QString::fromLatin1(uid.c_str(), qsizetype(uid.length()));
    // Trailing blanks and NULs pad a value; anything else is the UID as the sender sent it.
    while (!name.isEmpty() && (name.back() == u' ' || name.back() == QChar(0)))
        name.chop(1);
    // The name is the UID itself, so only a UID may be one: digits and dots, at most 64, not
    // starting with a dot. Anything else could stand for another image's name or for no plain
    // file at all (a path, a hidden file); no retry can mend it.
    bool uidForm = !name.isEmpty() && name.size() <= 64 && name.front() != u'.';
    for (QChar c : name)
        uidForm = uidForm && (c == u'.' || (c >= u'0' && c <= u'9'));
    if (!uidForm) {
        writer_.refuseForGood();
        throw AppError(ErrorNumber::BadFileName,
                       QStringLiteral("Refused the SOP Instance UID \"%1\" as a file name: a UID is digits and dots")
                           .arg(shown(name)));
    }
    return name;
}

void Image::write(const QString &path, bool replace)
{
    writer_.write(*data_, QFile::encodeName(path).toStdString(), replace);
}

} // namespace dicom
