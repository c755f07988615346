// Writes synthetic explicit VR little endian DICOM files, one per SOP Instance UID, named
// <uid>.dcm: CT images, or multi-frame 16-bit secondary capture images.
//   make_images OUTDIR COUNT ROWS COLUMNS FRAMES UIDPREFIX
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Writer
{
    std::vector<uint8_t> out;

    void u16(uint16_t v) { out.push_back(uint8_t(v)); out.push_back(uint8_t(v >> 8)); }
    void u32(uint32_t v) { u16(uint16_t(v)); u16(uint16_t(v >> 16)); }
    void element(uint16_t group, uint16_t elem, const char *vr, const std::string &value, char pad = ' ')
    {
        std::string v = value;
        if (v.size() % 2)
            v.push_back(pad);
        header(group, elem, vr, uint32_t(v.size()));
        out.insert(out.end(), v.begin(), v.end());
    }
    void uid(uint16_t group, uint16_t elem, const std::string &value) { element(group, elem, "UI", value, '\0'); }
    void us(uint16_t group, uint16_t elem, uint16_t value)
    {
        header(group, elem, "US", 2);
        u16(value);
    }
    void header(uint16_t group, uint16_t elem, const char *vr, uint32_t length)
    {
        u16(group);
        u16(elem);
        out.push_back(uint8_t(vr[0]));
        out.push_back(uint8_t(vr[1]));
        const std::string v(vr);
        if (v == "OB" || v == "OW" || v == "SQ" || v == "UN" || v == "UT") {
            u16(0);
            u32(length);
        } else {
            u16(uint16_t(length));
        }
    }
};

} // namespace

int main(int argc, char **argv)
{
    if (argc != 7) {
        std::fprintf(stderr, "usage: make_images OUTDIR COUNT ROWS COLUMNS FRAMES UIDPREFIX\n");
        return 2;
    }
    const std::string dir = argv[1];
    const int count = std::atoi(argv[2]);
    const int rows = std::atoi(argv[3]);
    const int cols = std::atoi(argv[4]);
    const int frames = std::atoi(argv[5]);
    const std::string prefix = argv[6];
    const bool multiFrame = frames > 1;
    const std::string sopClass = multiFrame ? "1.2.840.10008.5.1.4.1.1.7.3" : "1.2.840.10008.5.1.4.1.1.2";
    const uint64_t pixelBytes = uint64_t(rows) * uint64_t(cols) * 2 * uint64_t(frames);

    uint32_t seed = 12345;
    for (int i = 1; i <= count; ++i) {
        const std::string uid = prefix + "." + std::to_string(i);

        Writer meta;
        meta.header(0x0002, 0x0001, "OB", 2);
        meta.out.push_back(0);
        meta.out.push_back(1);
        meta.uid(0x0002, 0x0002, sopClass);
        meta.uid(0x0002, 0x0003, uid);
        meta.uid(0x0002, 0x0010, "1.2.840.10008.1.2.1");
        meta.uid(0x0002, 0x0012, "2.25.1234567");
        meta.element(0x0002, 0x0013, "SH", "BENCH_GEN");

        Writer ds;
        ds.uid(0x0008, 0x0016, sopClass);
        ds.uid(0x0008, 0x0018, uid);
        ds.element(0x0008, 0x0020, "DA", "20261208");
        ds.element(0x0008, 0x0060, "CS", multiFrame ? "OT" : "CT");
        ds.element(0x0008, 0x0080, "LO", "Old Hospital");
        ds.element(0x0010, 0x0010, "PN", "Bench^Patient");
        ds.element(0x0010, 0x0020, "LO", "BENCH" + std::to_string(i % 50));
        ds.uid(0x0020, 0x000D, prefix + ".0.1");
        ds.uid(0x0020, 0x000E, prefix + ".0.2");
        ds.element(0x0020, 0x0013, "IS", std::to_string(i));
        ds.us(0x0028, 0x0002, 1);
        ds.element(0x0028, 0x0004, "CS", "MONOCHROME2");
        if (multiFrame)
            ds.element(0x0028, 0x0008, "IS", std::to_string(frames));
        ds.us(0x0028, 0x0010, uint16_t(rows));
        ds.us(0x0028, 0x0011, uint16_t(cols));
        ds.us(0x0028, 0x0100, 16);
        ds.us(0x0028, 0x0101, 12);
        ds.us(0x0028, 0x0102, 11);
        ds.us(0x0028, 0x0103, 0);
        ds.header(0x7FE0, 0x0010, "OW", uint32_t(pixelBytes));

        const std::string path = dir + "/" + uid + ".dcm";
        FILE *f = std::fopen(path.c_str(), "wb");
        if (!f) {
            std::perror(path.c_str());
            return 1;
        }
        char preamble[128] = {};
        std::fwrite(preamble, 1, sizeof preamble, f);
        std::fwrite("DICM", 1, 4, f);
        Writer group;
        group.header(0x0002, 0x0000, "UL", 4);
        group.u32(uint32_t(meta.out.size()));
        std::fwrite(group.out.data(), 1, group.out.size(), f);
        std::fwrite(meta.out.data(), 1, meta.out.size(), f);
        std::fwrite(ds.out.data(), 1, ds.out.size(), f);
        std::vector<uint16_t> chunk(static_cast<size_t>(cols));
        for (uint64_t row = 0; row < uint64_t(rows) * uint64_t(frames); ++row) {
            for (auto &p : chunk) {
                seed = seed * 1103515245u + 12345u;
                p = uint16_t((seed >> 16) & 0x0FFF);
            }
            std::fwrite(chunk.data(), 2, chunk.size(), f);
        }
        if (std::fclose(f) != 0) {
            std::perror(path.c_str());
            return 1;
        }
    }
    return 0;
}
