#include "TransferSyntaxes.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcuid.h>

#include <cstring>
#include <iterator>
#include <set>
#include <string>

namespace dicom::detail {

namespace {

// A receiver of diagnostic images never invites lossy compression of an image the sender
// may hold uncompressed; a compressed image is still taken as it is when the sender offers
// nothing else, so nothing is decompressed or re-encoded on our side. Deflate comes last:
// many readers cannot open it.
const char *const kPreference[] = {
    UID_LittleEndianExplicitTransferSyntax,
    UID_LittleEndianImplicitTransferSyntax,
    UID_BigEndianExplicitTransferSyntax,
    // lossless compression
    UID_JPEGProcess14SV1TransferSyntax,
    UID_JPEGProcess14TransferSyntax,
    UID_JPEGProcess15TransferSyntax,
    UID_JPEGProcess28TransferSyntax,
    UID_JPEGProcess29TransferSyntax,
    UID_JPEGLSLosslessTransferSyntax,
    UID_JPEG2000LosslessOnlyTransferSyntax,
    UID_JPEG2000Part2MulticomponentImageCompressionLosslessOnlyTransferSyntax,
    UID_RLELosslessTransferSyntax,
    // lossy compression
    UID_JPEGLSLossyTransferSyntax,
    UID_JPEG2000TransferSyntax,
    UID_JPEG2000Part2MulticomponentImageCompressionTransferSyntax,
    UID_JPEGProcess1TransferSyntax,
    UID_JPEGProcess2_4TransferSyntax,
    UID_JPEGProcess3_5TransferSyntax,
    UID_JPEGProcess6_8TransferSyntax,
    UID_JPEGProcess7_9TransferSyntax,
    UID_JPEGProcess10_12TransferSyntax,
    UID_JPEGProcess11_13TransferSyntax,
    UID_JPEGProcess16_18TransferSyntax,
    UID_JPEGProcess17_19TransferSyntax,
    UID_JPEGProcess20_22TransferSyntax,
    UID_JPEGProcess21_23TransferSyntax,
    UID_JPEGProcess24_26TransferSyntax,
    UID_JPEGProcess25_27TransferSyntax,
    UID_MPEG2MainProfileAtMainLevelTransferSyntax,
    UID_MPEG2MainProfileAtHighLevelTransferSyntax,
    UID_MPEG4HighProfileLevel4_1TransferSyntax,
    UID_MPEG4BDcompatibleHighProfileLevel4_1TransferSyntax,
    UID_MPEG4HighProfileLevel4_2_For2DVideoTransferSyntax,
    UID_MPEG4HighProfileLevel4_2_For3DVideoTransferSyntax,
    UID_MPEG4StereoHighProfileLevel4_2TransferSyntax,
    UID_HEVCMainProfileLevel5_1TransferSyntax,
    UID_HEVCMain10ProfileLevel5_1TransferSyntax,
    // readable by few
    UID_DeflatedExplicitVRLittleEndianTransferSyntax,
};

} // namespace

int transferSyntaxRank(const char *uid)
{
    for (size_t i = 0; i < std::size(kPreference); ++i) {
        if (std::strcmp(uid, kPreference[i]) == 0)
            return int(i);
    }
    return -1;
}

bool isStorageClass(const char *uid)
{
    static const std::set<std::string> all(dcmAllStorageSOPClassUIDs,
                                           dcmAllStorageSOPClassUIDs + numberOfDcmAllStorageSOPClassUIDs);
    return all.count(uid) != 0;
}

bool isVerificationClass(const char *uid)
{
    return std::strcmp(uid, UID_VerificationSOPClass) == 0;
}

} // namespace dicom::detail
