#include "support/base64.h"

#include <gtest/gtest.h>

#include <string>

namespace hv {
namespace {

TEST(Base64Test, Rfc4648Vectors) {
  EXPECT_EQ(Base64Encode(""), "");
  EXPECT_EQ(Base64Encode("f"), "Zg==");
  EXPECT_EQ(Base64Encode("fo"), "Zm8=");
  EXPECT_EQ(Base64Encode("foo"), "Zm9v");
  EXPECT_EQ(Base64Encode("foob"), "Zm9vYg==");
  EXPECT_EQ(Base64Encode("fooba"), "Zm9vYmE=");
  EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(Base64Encode(std::string("\x00\xff\xfe", 3)), "AP/+");
  EXPECT_EQ(Base64Encode(std::string(1, '\0')), "AA==");
  EXPECT_EQ(Base64Encode(std::string("\xfb\xff", 2)), "+/8=");
}

TEST(Base64Test, TablesWithoutPadOrShort) {
  const std::string_view alphabet = kBase64Table.substr(0, 64);
  EXPECT_EQ(EncodeTriplets("f", alphabet), "Zg");
  EXPECT_EQ(EncodeTriplets("fo", alphabet), "Zm8");
  EXPECT_EQ(EncodeTriplets("foobar", alphabet), "Zm9vYmFy");
  EXPECT_EQ(EncodeTriplets("", alphabet), "");

  // "f" has indices 25, 32, pad, pad: only 25 is inside a 26-character table.
  EXPECT_EQ(EncodeTriplets("f", kBase64Table.substr(0, 26)), "Z");
  // "foo" has indices 25, 38, 61, 47: nothing below 20.
  EXPECT_EQ(EncodeTriplets("foo", kBase64Table.substr(0, 20)), "");
  EXPECT_EQ(EncodeTriplets("foo", ""), "");
  // A custom table is used as given, pad character included.
  std::string custom(kBase64Table.substr(0, 64));
  custom += '*';
  EXPECT_EQ(EncodeTriplets("fo", custom), "Zm8*");
}

TEST(Base64Test, DigestSizedInput) {
  for (int seed = 0; seed < 256; ++seed) {
    std::string digest(16, '\0');
    for (int i = 0; i < 16; ++i) digest[i] = static_cast<char>(seed * 31 + i * 97);
    const std::string text = Base64Encode(digest);
    ASSERT_EQ(text.size(), 24u);
    EXPECT_EQ(text.substr(22), "==");
    EXPECT_NE(std::string_view("AQgw").find(text[21]), std::string_view::npos) << text;
  }
}

}  // namespace
}  // namespace hv
