#include "rtmp/amf0.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> Bytes(const uint8_t* data, int length) { return {data, data + length}; }

TEST(WritingAmf0Values, StringsNumbersNullAndBooleanPropertiesHaveTheirExactBytes)
{
    uint8_t out[64];
    ASSERT_EQ(AMF0_PutString(out, "connect"), 10);
    EXPECT_EQ(Bytes(out, 10), (std::vector<uint8_t>{0x02, 0x00, 0x07, 'c', 'o', 'n', 'n', 'e', 'c', 't'}));
    ASSERT_EQ(AMF0_PutNumber(out, 1.0), 9);
    EXPECT_EQ(Bytes(out, 9), (std::vector<uint8_t>{0x00, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0}));
    ASSERT_EQ(AMF0_PutNumber(out, 2.0), 9);
    EXPECT_EQ(Bytes(out, 9), (std::vector<uint8_t>{0x00, 0x40, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(AMF0_GetNumber(out + 1), 2.0);
    AMF0_PutNumber(out, -2.0);
    EXPECT_EQ(AMF0_GetNumber(out + 1), -2.0);
    ASSERT_EQ(AMF0_PutBooleanProperty(out, "fpad", 0), 8);
    EXPECT_EQ(Bytes(out, 8), (std::vector<uint8_t>{0x00, 0x04, 'f', 'p', 'a', 'd', 0x01, 0x00}));
    AMF0_PutBooleanProperty(out, "fpad", 2);               // only 1 is true
    EXPECT_EQ(out[7], 0);
    ASSERT_EQ(AMF0_PutName(out, "app"), 5);
    EXPECT_EQ(Bytes(out, 5), (std::vector<uint8_t>{0x00, 0x03, 'a', 'p', 'p'}));
    ASSERT_EQ(AMF0_PutNull(out), 1);
    EXPECT_EQ(out[0], 0x05);
}

TEST(ReadingAmf0Values, EachMarkerGivesTheBytesItTakes)
{
    uint8_t in[32];
    uint8_t out[16];
    AMF0_PutNumber(in, 25.0);
    ASSERT_EQ(AMF0_GetValue(in, in + 9, out, sizeof out), 9);
    EXPECT_EQ(AMF0_GetNumber(out), 25.0);
    EXPECT_EQ(AMF0_GetValue(in, in + 8, out, sizeof out), -1);      // a number cut short
    const uint8_t flag[] = {0x01, 0x01};
    EXPECT_EQ(AMF0_GetValue(flag, flag + 2, out, sizeof out), 2);
    EXPECT_EQ(out[0], 1);
    const uint8_t singles[] = {0x05, 0x06, 0xC3};
    for (const uint8_t& marker : singles) EXPECT_EQ(AMF0_GetValue(&marker, &marker + 1, out, sizeof out), 1);
    const uint8_t object[] = {0x03};
    EXPECT_EQ(AMF0_GetValue(object, object + 1, out, sizeof out), 0);
    const uint8_t end[] = {0x09};
    EXPECT_EQ(AMF0_GetValue(end, end + 1, out, sizeof out), 1);
    EXPECT_EQ(out[0], 0x09);
    const uint8_t unknown[] = {0x0A};
    EXPECT_EQ(AMF0_GetValue(unknown, unknown + 1, out, sizeof out), -1);
    EXPECT_EQ(AMF0_GetValue(in, in, out, sizeof out), -1);         // nothing to read
}

TEST(ReadingAmf0Values, ANetworkStringIsCutToTheOutputAndNeverReadPastTheInput)
{
    // A 65 535-byte string into a 128-byte field: the value's whole length is reported, the
    // field keeps 127 characters and its terminator.
    std::vector<uint8_t> in(3 + 65535, 'x');
    in[0] = 0x02;
    in[1] = 0xFF;
    in[2] = 0xFF;
    std::vector<uint8_t> field(128 + 8, 0xEE);
    EXPECT_EQ(AMF0_GetValue(in.data(), in.data() + in.size(), field.data(), 128), 3 + 65535);
    EXPECT_EQ(std::strlen(reinterpret_cast<const char*>(field.data())), 127u);
    EXPECT_EQ(field[128], 0xEE);                             // not a byte past the field
    // The same header with only ten bytes behind it is refused, not read on.
    EXPECT_EQ(AMF0_GetValue(in.data(), in.data() + 13, field.data(), 128), -1);
}

TEST(FindingAMetadataProperty, NumbersGiveTheirRawBytesAndLongStringsAreCopiedWhole)
{
    std::vector<uint8_t> block(1024);
    int n = AMF0_PutString(block.data(), "onMetaData");
    block[static_cast<std::size_t>(n++)] = 0x08;             // ECMA array, its count
    n += 4;
    n += AMF0_PutName(block.data() + n, "width");
    n += AMF0_PutNumber(block.data() + n, 320.0);
    const std::string encoder(200, 'e');
    n += AMF0_PutName(block.data() + n, "encoder");
    n += AMF0_PutString(block.data() + n, encoder.c_str());
    uint8_t out[256];
    const uint8_t* end = block.data() + n;
    ASSERT_EQ(AMF0_FindProperty(block.data(), end, "width", out, sizeof out, n), 1);
    EXPECT_EQ(AMF0_GetNumber(out), 320.0);
    ASSERT_EQ(AMF0_FindProperty(block.data(), end, "encoder", out, sizeof out, n), 2);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out)), encoder);    // 200 > 127 bytes
    EXPECT_EQ(AMF0_FindProperty(block.data(), end, "height", out, sizeof out, n), 0);
    EXPECT_EQ(AMF0_FindProperty(block.data(), end, "width", out, sizeof out, 10), 0);   // beyond the limit
    // The string's length says more than the block holds: no copy, no match.
    EXPECT_EQ(AMF0_FindProperty(block.data(), end - 1, "encoder", out, sizeof out, n), 0);
    // A name at the very end of the block has no marker to read.
    EXPECT_EQ(AMF0_FindProperty(block.data(), block.data() + 25, "width", out, sizeof out, n), 0);
}

}  // namespace
