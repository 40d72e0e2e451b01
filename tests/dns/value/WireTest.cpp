#include "dns/value/WireReader.h"
#include "dns/value/WireWriter.h"

#include <gtest/gtest.h>

#include <vector>

using dnswire::WireReader;
using dnswire::WireWriter;

TEST(WireReader, ReadsBigEndianAndStopsAtTheEnd) {
  const std::vector<uint8_t> buf{0x12, 0x34, 0x56, 0x78, 0x9A};
  WireReader r(buf);
  EXPECT_EQ(r.u16(), 0x1234);
  EXPECT_FALSE(r.u32().has_value());  // only 3 bytes left
  EXPECT_EQ(r.offset(), 2u);          // a failed read does not move the cursor
  EXPECT_EQ(r.u8(), 0x56);
  EXPECT_FALSE(r.bytes(3).has_value());
  EXPECT_EQ(r.u16(), 0x789A);
  EXPECT_TRUE(r.atEnd());
  EXPECT_FALSE(r.u8().has_value());
  EXPECT_FALSE(r.seek(6));
  EXPECT_FALSE(r.u16At(4).has_value());
  EXPECT_EQ(r.u16At(3), 0x789A);
}

TEST(WireWriter, WritesAndPatches) {
  WireWriter w;
  w.u16(0xABCD);
  w.u32(0x01020304);
  EXPECT_TRUE(w.patchU16(0, 0x1111));
  EXPECT_FALSE(w.patchU16(5, 0));
  EXPECT_EQ(w.data(), (std::vector<uint8_t>{0x11, 0x11, 1, 2, 3, 4}));
}
