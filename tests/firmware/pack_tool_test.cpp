// Runs bmfwu-pack and bmfwu-standin as the build and a release engineer do.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "firmware/firmware.h"
#include "crc32/crc32.h"
#include "image/image.h"

namespace {
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

struct ToolRun {
    int status;
    std::string out;
    std::string err;
};

std::string buildDir() {
    const char* dir = std::getenv("BMFWU_BUILD_DIR");
    return dir != nullptr ? dir : ".";
}

Bytes readBytes(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void writeBytes(const fs::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

void putLe32(Bytes& bytes, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t le32(const Bytes& bytes, std::size_t offset) {
    return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 | std::uint32_t{bytes[offset + 3]} << 24;
}

void resealContainer(Bytes& container) {
    const std::size_t length = container.size() - 4;
    putLe32(container, length, crc32Final(crc32Update(crc32Init(), container.data(), length)));
}

class PackTool : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/bmfwu-pack-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        // A small valid application and the same without its trailing CRC.
        ASSERT_EQ(runTool("bmfwu-standin --length 1024 --address 0x1A000000 --seed 5 -o " + path("app.bin")).status, 0);
        Bytes raw = readBytes(dir_ / "app.bin");
        raw.resize(raw.size() - 4);
        writeBytes(dir_ / "raw.bin", raw);
    }
    static void TearDownTestSuite() { fs::remove_all(dir_); }

    static std::string path(const std::string& name) { return (dir_ / name).string(); }

    static ToolRun runTool(const std::string& commandLine) {
        const std::string errFile = path("stderr.txt");
        const std::string command = buildDir() + "/" + commandLine + " 2>" + errFile;
        ToolRun run{-1, "", ""};
        std::FILE* pipe = popen(command.c_str(), "r");
        if (pipe == nullptr) return run;
        for (int c; (c = std::fgetc(pipe)) != EOF;) run.out.push_back(static_cast<char>(c));
        const int status = pclose(pipe);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        const Bytes err = readBytes(errFile);
        run.err.assign(err.begin(), err.end());
        return run;
    }

    static inline fs::path dir_;
};

const char* const GOOD_VALUES =
    " --product-id 0x56 --pcb-revision 3 --version 0x03040000 --model 'Sonavex F'"
    " --app-address 0x1A000000 --param-address 0x1A07FE00 ";

// The stand-ins are deterministic, so their CRCs and vectors are fixed too.
const char* const EXPECTED_INSPECTION[FIRMWARE_IMAGE_COUNT] = {
    R"(Container of 146268 bytes
totalLength       0x00023B5C (146268)
formatWord        0x01000000
productId         0x00000056
pcbRevision       0x00000003
version           0x03040000
appOffset         0x00000050
appAddress        0x1A000000
appLength         0x00023A78 (146040)
paramOffset       0x00023AC8
paramAddress      0x1A07FE00
paramLength       0x00000090 (144)
reserved          0x00000000
modelName         "Sonavex F"
containerCrc      0x4958BA61
Application
  stackPointer    0x10007FE0
  resetVector     0x1A00A7D9
  vectorSum       0x00000000
  crc             0x92046347
Parameter block
  appLength       0x00023A78 (146040)
  version         0x03040000
  modelName       "Sonavex F"
  tableMagic      0x1E3CA502
  identityWord    0x56030000
  tableCrcLength  0x00000090 (144)
  regionAddress   0x1A000000
  regionLength    0x00000200 (512)
  regionCrc       0x46E1F9BB
  entryAddress    0x1A00A7D9
  tableCrc        0x9D387B7C
The container is consistent.
)",
    R"(Container of 145712 bytes
totalLength       0x00023930 (145712)
formatWord        0x01000000
productId         0x00000064
pcbRevision       0x00000001
version           0x03040000
appOffset         0x00000050
appAddress        0x1A000000
appLength         0x0002384C (145484)
paramOffset       0x0002389C
paramAddress      0x1A03FE00
paramLength       0x00000090 (144)
reserved          0x00000000
modelName         "Sonavex F-II"
containerCrc      0x4673B655
Application
  stackPointer    0x10007FE0
  resetVector     0x1A020D6D
  vectorSum       0x00000000
  crc             0x00364DF1
Parameter block
  appLength       0x0002384C (145484)
  version         0x03040000
  modelName       "Sonavex F-II"
  tableMagic      0x1E3CA502
  identityWord    0x64010000
  tableCrcLength  0x00000090 (144)
  regionAddress   0x1A000000
  regionLength    0x00000200 (512)
  regionCrc       0x286F4906
  entryAddress    0x1A020D6D
  tableCrc        0x39E6793B
The container is consistent.
)",
};

TEST_F(PackTool, RefusesBadInputWithAMessage) {
    Bytes shortApp = readBytes(dir_ / "app.bin");
    shortApp.resize(508);
    writeBytes(dir_ / "short.bin", shortApp);
    Bytes badSum = readBytes(dir_ / "raw.bin");
    badSum[8] += 2;   // NMI vector: still a Thumb address, but the sum is off
    writeBytes(dir_ / "badsum.bin", badSum);

    char resetVector[16];
    std::snprintf(resetVector, sizeof resetVector, "0x%08X",
                  static_cast<unsigned>(le32(readBytes(dir_ / "app.bin"), 4)));
    const std::string app = " " + path("app.bin");
    const std::string out = " -o " + path("out.bin");
    const struct {
        std::string arguments;
        int status;
        std::string err;
    } cases[] = {
        {"--product-id 0x56 --pcb-revision 3 --version 1 --model X --app-address 0x1A000100 --param-address 0x1A07FE00" +
             app + out,
         1, "bmfwu-pack: application address 0x1A000100 is not on a 512-byte boundary\n"},
        {"--product-id 0x56 --pcb-revision 3 --version 1 --model X --app-address 0x1A000000 --param-address 0x1A07FE10" +
             app + out,
         1, "bmfwu-pack: parameter address 0x1A07FE10 is not on a 512-byte boundary\n"},
        {"--product-id 0x56 --pcb-revision 3 --version 1 --model ABCDEFGHIJKLMNOPQRSTUVWXYZ012345 "
         "--app-address 0x1A000000 --param-address 0x1A07FE00" +
             app + out,
         1, "bmfwu-pack: the model name \"ABCDEFGHIJKLMNOPQRSTUVWXYZ012345\" has 32 characters; at most 31 fit\n"},
        {"--product-id 0x100 --pcb-revision 3 --version 1 --model X --app-address 0x1A000000 --param-address 0x1A07FE00" +
             app + out,
         1, "bmfwu-pack: product id 0x00000100 does not fit the table's one byte\n"},
        {"--product-id 0x56 --pcb-revision 0 --version 1 --model X --app-address 0x1A000000 --param-address 0x1A07FE00" +
             app + out,
         1, "bmfwu-pack: PCB revision 0 is not between 1 and 255\n"},
        {"--product-id 0x56 --pcb-revision 3 --version 1 --model X --app-address 0x1A000000 --param-address 0x1A000200" +
             app + out,
         1,
         "bmfwu-pack: " + path("app.bin") +
             ": the parameter block at 0x1A000200 overlaps the application at 0x1A000000..0x1A0003FF\n"},
        {std::string(GOOD_VALUES) + path("short.bin") + out, 1,
         "bmfwu-pack: " + path("short.bin") + ": the application has 508 bytes; at least 512 are needed\n"},
        {std::string(GOOD_VALUES) + path("raw.bin") + out, 1,
         "bmfwu-pack: " + path("raw.bin") +
             ": the last four bytes are not the CRC-32 of the bytes before them (give --append-crc for a binary "
             "without its CRC)\n"},
        {std::string(GOOD_VALUES) + "--append-crc " + path("badsum.bin") + out, 1,
         "bmfwu-pack: " + path("badsum.bin") +
             ": the first eight words do not sum to zero, so the boot ROM would not start the application\n"},
        {"--product-id 0x56 --pcb-revision 3 --version 1 --model X --app-address 0x1B000000 --param-address 0x1A07FE00" +
             app + out,
         1,
         "bmfwu-pack: " + path("app.bin") + ": the reset vector " + resetVector +
             " is not a Thumb address inside the application\n"},
        {"--product-id 0x56 --pcb-revision 3 --version 12x --model X --app-address 0x1A000000 "
         "--param-address 0x1A07FE00" +
             app + out,
         2, "bmfwu-pack: --version wants a 32-bit number, not \"12x\"\nTry 'bmfwu-pack --help'.\n"},
        {"--product-id 0x56 --pcb-revision 3 --model X --app-address 0x1A000000 --param-address 0x1A07FE00" + app + out,
         2, "bmfwu-pack: missing --version\nTry 'bmfwu-pack --help'.\n"},
        {std::string(GOOD_VALUES) + path("missing.bin") + out, 1,
         "bmfwu-pack: cannot read " + path("missing.bin") + "\n"},
    };
    for (const auto& c : cases) {
        fs::remove(dir_ / "out.bin");
        const ToolRun run = runTool("bmfwu-pack " + c.arguments);
        EXPECT_EQ(run.status, c.status) << c.arguments;
        EXPECT_EQ(run.err, c.err) << c.arguments;
        EXPECT_EQ(run.out, "") << c.arguments;
        EXPECT_FALSE(fs::exists(dir_ / "out.bin")) << c.arguments;
    }
}

TEST_F(PackTool, PackedContainerPassesInspectionAndValidation) {
    ASSERT_EQ(runTool("bmfwu-pack" + std::string(GOOD_VALUES) + path("app.bin") + " -o " + path("c.bin")).status, 0);
    ASSERT_EQ(
        runTool("bmfwu-pack" + std::string(GOOD_VALUES) + "--append-crc " + path("raw.bin") + " -o " + path("c2.bin"))
            .status,
        0);
    const Bytes container = readBytes(dir_ / "c.bin");
    EXPECT_EQ(readBytes(dir_ / "c2.bin"), container) << "--append-crc must give the same container";

    const ToolRun run = runTool("bmfwu-pack --inspect " + path("c.bin"));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(run.out.ends_with("\nThe container is consistent.\n")) << run.out;

    std::vector<std::uint32_t> aligned((container.size() + 3) / 4);
    std::memcpy(aligned.data(), container.data(), container.size());
    ImageCursor cursor{reinterpret_cast<const std::uint8_t*>(aligned.data()), nullptr, nullptr, nullptr};
    testing::internal::CaptureStdout();
    EXPECT_EQ(validateImage("Firmware", &cursor), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(PackTool, InspectReportsEveryProblemOfADamagedContainer) {
    ASSERT_EQ(runTool("bmfwu-pack" + std::string(GOOD_VALUES) + path("app.bin") + " -o " + path("c.bin")).status, 0);
    const Bytes good = readBytes(dir_ / "c.bin");
    const std::uint32_t paramOffset = le32(good, 0x20);
    const std::string prefix = "bmfwu-pack: " + path("damaged.bin") + ": ";
    const struct {
        const char* damage;
        void (*apply)(Bytes&, std::uint32_t paramOffset);
        std::vector<std::string> problems;
    } cases[] = {
        {"truncated",
         [](Bytes& c, std::uint32_t) { c.resize(c.size() - 8); },
         {"totalLength 1252 is not the file's size 1244", "the parameter block lies outside the container",
          "the container CRC is wrong"}},
        {"parameter block moved out",
         [](Bytes& c, std::uint32_t) {
             putLe32(c, 0x20, 0x7FFFFFF0);
             resealContainer(c);
         },
         {"the parameter block lies outside the container"}},
        {"application byte",
         [](Bytes& c, std::uint32_t) {
             c[0x50 + 600] ^= 1;
             resealContainer(c);
         },
         {"the application's last four bytes are not the CRC-32 of the bytes before them"}},
        {"table version",
         [](Bytes& c, std::uint32_t offset) {
             putLe32(c, offset + 4, 0x03050000);
             putLe32(c, offset + 140, crc32Final(crc32Update(crc32Init(), c.data() + offset, 140)));
             resealContainer(c);
         },
         {"the parameter block's version does not match the header and application"}},
        {"table CRC",
         [](Bytes& c, std::uint32_t offset) {
             c[offset + 140] ^= 1;
             resealContainer(c);
         },
         {"the parameter block's tableCrc is wrong"}},
    };
    for (const auto& c : cases) {
        Bytes damaged = good;
        c.apply(damaged, paramOffset);
        writeBytes(dir_ / "damaged.bin", damaged);
        std::string expected;
        for (const std::string& problem : c.problems) expected += prefix + problem + "\n";
        const ToolRun run = runTool("bmfwu-pack --inspect " + path("damaged.bin"));
        EXPECT_EQ(run.status, 1) << c.damage;
        EXPECT_EQ(run.err, expected) << c.damage;
        EXPECT_EQ(run.out.find("consistent"), std::string::npos) << c.damage;
    }
}

TEST_F(PackTool, StandinGeneratorRebuildsTheCompiledInApplication) {
    if (!BMFWU_IMAGE1_STANDIN) GTEST_SKIP() << "image 1 is a real application";
    ASSERT_EQ(runTool("bmfwu-standin --length 146040 --address 0x1A000000 --seed 0x56 -o " + path("s.bin")).status, 0);
    const std::uint8_t* app = firmwareImages[0] + 0x50;
    EXPECT_EQ(readBytes(dir_ / "s.bin"), Bytes(app, app + 146040));
}

TEST_F(PackTool, InspectShowsBothBuiltContainers) {
    const bool standin[] = {BMFWU_IMAGE1_STANDIN, BMFWU_IMAGE2_STANDIN};
    for (int image = 0; image < FIRMWARE_IMAGE_COUNT; ++image) {
        if (!standin[image]) continue;   // a real application has its own lengths and CRCs
        const std::string file = buildDir() + "/src/firmware/image" + std::to_string(image + 1) + ".bin";
        const ToolRun run = runTool("bmfwu-pack --inspect " + file);
        EXPECT_EQ(run.status, 0) << file;
        EXPECT_EQ(run.err, "") << file;
        EXPECT_EQ(run.out, EXPECTED_INSPECTION[image]) << file;
    }
}
}   // namespace
