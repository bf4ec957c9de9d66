// Every input kept from fuzzing (a crash or a slow case once) runs again here.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

TEST(FuzzRegressions, EveryKeptInputRunsClean)
{
    int ran = 0;
    for (const auto& item : std::filesystem::directory_iterator(FUZZ_REGRESSION_DIR)) {
        if (!item.is_regular_file() || item.path().filename() == ".keep") continue;
        std::ifstream in(item.path(), std::ios::binary);
        const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(LLVMFuzzerTestOneInput(data.data(), data.size()), 0) << item.path();
        ++ran;
    }
    // Edge shapes that need no file: empty, one byte per selector, a header-only packet.
    for (uint8_t probe = 0; probe < 8; ++probe) {
        const uint8_t one[1] = {probe};
        LLVMFuzzerTestOneInput(one, 1);
        const uint8_t packet[6] = {probe, 0x47, 0x40, 0x00, 0x30, 0xFF};
        LLVMFuzzerTestOneInput(packet, sizeof packet);
    }
    LLVMFuzzerTestOneInput(nullptr, 0);
    RecordProperty("kept_inputs", ran);
}

}  // namespace
