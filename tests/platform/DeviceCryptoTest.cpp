#include "platform/Crypto.h"

#include <set>

#include <gtest/gtest.h>

namespace pelk::platform {
namespace {

TEST(DeviceCryptoTest, DigestsMatchKnownVectors) {
  EXPECT_EQ(Crypto::sha512Hex(""),
            "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
            "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e");
  EXPECT_EQ(Crypto::sha512Hex("abc"),
            "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
            "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
  const auto sha1 = Crypto::sha1("abc");
  const std::vector<std::uint8_t> expected = {0xa9, 0x99, 0x3e, 0x36, 0x47, 0x06, 0x81, 0x6a, 0xba, 0x3e,
                                              0x25, 0x71, 0x78, 0x50, 0xc2, 0x6c, 0x9c, 0xd0, 0xd8, 0x9d};
  EXPECT_EQ(sha1, expected);
}

TEST(DeviceCryptoTest, NameBasedUuidMatchesTheKnownVector) {
  // The DNS namespace and "python.org", a widely published version-5 example.
  const auto dns = Crypto::parseUuid("6ba7b810-9dad-11d1-80b4-00c04fd430c8");
  ASSERT_TRUE(dns);
  EXPECT_EQ(Crypto::uuidString(Crypto::uuidV5(*dns, "python.org")), "886313E1-3B8A-5372-9B90-0C9AEE199E5D");
}

TEST(DeviceCryptoTest, UuidTextRoundTripsAndRejectsMalformedText) {
  const auto u = Crypto::randomUuid();
  EXPECT_EQ(u[6] >> 4, 4);
  EXPECT_EQ(u[8] & 0xc0, 0x80);
  EXPECT_EQ(Crypto::parseUuid(Crypto::uuidString(u)), u);
  for (const char* bad : {"", "6ba7b810-9dad-11d1-80b4-00c04fd430c", "6ba7b810x9dad-11d1-80b4-00c04fd430c8",
                          "zba7b8109dad11d180b400c04fd430c8", "6ba7b810-9dad-11d1-80b4-00c04fd430c8-"}) {
    EXPECT_EQ(Crypto::parseUuid(bad), std::nullopt) << bad;
  }
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) seen.insert(Crypto::uuidString(Crypto::randomUuid()));
  EXPECT_EQ(seen.size(), 100u);
}

}  // namespace
}  // namespace pelk::platform
