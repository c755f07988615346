// Checks a receiver's output against the images sent: every source <uid>.dcm must be in the
// output folder once, with the same pixel data bytes and, if given, the expected Institution
// Name. Prints "ok N" or the first problems and "bad N"; exits non-zero on any problem.
//   verify_output SOURCEDIR OUTDIR [INSTITUTION]
#include <cctype>
#include <cstdint>
#include <map>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Parsed
{
    std::optional<std::string> institution;
    std::vector<char> pixels;
    bool ok = false;
};

uint16_t le16(const char *p) { return uint16_t(uint8_t(p[0]) | (uint8_t(p[1]) << 8)); }
uint32_t le32(const char *p) { return uint32_t(le16(p)) | (uint32_t(le16(p + 2)) << 16); }

// Top-level elements of an explicit VR little endian Part 10 file, as the generator writes.
Parsed parse(const fs::path &path)
{
    Parsed r;
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in)
        return r;
    std::vector<char> data(static_cast<size_t>(in.tellg()));
    in.seekg(0);
    in.read(data.data(), std::streamsize(data.size()));
    if (data.size() < 132 || std::memcmp(data.data() + 128, "DICM", 4) != 0)
        return r;
    size_t pos = 132;
    while (pos + 8 <= data.size()) {
        const uint16_t group = le16(&data[pos]);
        const uint16_t elem = le16(&data[pos + 2]);
        const std::string vr(&data[pos + 4], 2);
        uint32_t len;
        size_t value;
        if (vr == "OB" || vr == "OW" || vr == "SQ" || vr == "UN" || vr == "UT" || vr == "UC" || vr == "OF"
            || vr == "OD" || vr == "OL" || vr == "UR" || vr == "OV") {
            if (pos + 12 > data.size())
                return r;
            len = le32(&data[pos + 8]);
            value = pos + 12;
        } else {
            len = le16(&data[pos + 6]);
            value = pos + 8;
        }
        if (len == 0xFFFFFFFF || value + len > data.size())
            return r;
        if (group == 0x0008 && elem == 0x0080) {
            std::string v(&data[value], len);
            while (!v.empty() && (v.back() == ' ' || v.back() == '\0'))
                v.pop_back();
            r.institution = v;
        }
        if (group == 0x7FE0 && elem == 0x0010)
            r.pixels.assign(data.begin() + long(value), data.begin() + long(value + len));
        pos = value + len;
    }
    r.ok = pos == data.size();
    return r;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: verify_output SOURCEDIR OUTDIR [INSTITUTION]\n");
        return 2;
    }
    const fs::path src = argv[1], out = argv[2];
    const std::optional<std::string> expected = argc > 3 ? std::optional<std::string>(argv[3]) : std::nullopt;
    // storescp names its files <modality>.<uid>.dcm, we name ours <uid>.dcm.
    std::map<std::string, fs::path> outputs;
    for (const auto &entry : fs::directory_iterator(out)) {
        const std::string file = entry.path().filename().string();
        outputs[file] = entry.path();
        const auto dot = file.find('.');
        if (dot != std::string::npos && !std::isdigit(static_cast<unsigned char>(file[0])))
            outputs[file.substr(dot + 1)] = entry.path();
    }
    size_t good = 0, bad = 0, sources = 0;
    for (const auto &entry : fs::directory_iterator(src)) {
        if (entry.path().extension() != ".dcm")
            continue;
        ++sources;
        const auto found = outputs.find(entry.path().filename().string());
        const fs::path stored = found == outputs.end() ? out / entry.path().filename() : found->second;
        const Parsed a = parse(entry.path());
        const Parsed b = parse(stored);
        std::string problem;
        if (!fs::exists(stored))
            problem = "missing";
        else if (!b.ok)
            problem = "does not parse";
        else if (a.pixels != b.pixels || a.pixels.empty())
            problem = "pixel data differs";
        else if (expected && b.institution != expected)
            problem = "institution name is \"" + b.institution.value_or("(none)") + "\"";
        if (problem.empty()) {
            ++good;
        } else if (++bad <= 5) {
            std::printf("%s: %s\n", stored.c_str(), problem.c_str());
        }
    }
    size_t files = 0;
    for (const auto &entry : fs::directory_iterator(out))
        files += entry.is_regular_file() ? 1 : 0;
    if (files != sources) {
        std::printf("%zu files in %s for %zu images\n", files, out.c_str(), sources);
        ++bad;
    }
    std::printf(bad ? "bad %zu\n" : "ok %zu\n", bad ? bad : good);
    return bad ? 1 : 0;
}
