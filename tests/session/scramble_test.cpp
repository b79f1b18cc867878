#include "session/scramble.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace session;

namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

std::vector<std::string> SampleStrings() {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  return {"", std::string(1, '\0'), std::string("a\0b", 3), std::string(5, '\0'), "x", "xy", "xyz",
          "secret pw", "P@ssw0rd with spaces ", all, std::string(1000, '\xff'),
          // Found by fuzzing: the key step overflowed int (caught by UBSan).
          "Zg==Zm8=Zm9"};
}

}  // namespace

TEST(Scramble, StoredFormOfAKnownPassword) {
  EXPECT_EQ(Base64Encode(StrEncrypt("secret pw")), "YG4z8LwjGox/");
  EXPECT_EQ(StrDecrypt(Base64Decode("YG4z8LwjGox/")), "secret pw");
}

TEST(Scramble, RoundTripsEveryByteStringIncludingNulAndEmpty) {
  for (const std::string& s : SampleStrings()) {
    SCOPED_TRACE(s.size());
    const std::string scrambled = StrEncrypt(s);
    EXPECT_EQ(scrambled.size(), s.size());
    EXPECT_EQ(StrDecrypt(scrambled), s);
    const std::string encoded = Base64Encode(s);
    EXPECT_EQ(encoded.size(), (s.size() + 2) / 3 * 4);
    EXPECT_EQ(Base64Decode(encoded), s);
    EXPECT_EQ(StrDecrypt(Base64Decode(Base64Encode(scrambled))), s);
  }
}

TEST(Scramble, KeyFollowsTheScrambledByteNotTheClearOne) {
  // The same first byte scrambles alike; after a differing byte the key
  // sequences part, so equal later bytes scramble differently.
  const std::string a = StrEncrypt(std::string("aXX"));
  const std::string b = StrEncrypt(std::string("bXX"));
  EXPECT_EQ(static_cast<unsigned char>(a[0]) ^ static_cast<unsigned char>(b[0]), 'a' ^ 'b');
  EXPECT_NE(a.substr(1), b.substr(1));
  // First byte: high byte of 4967 is 0x13.
  EXPECT_EQ(StrEncrypt(std::string(1, '\0')), std::string(1, '\x13'));
}

TEST(Base64, PaddingForOneTwoAndThreeBytes) {
  EXPECT_EQ(Base64Encode("f"), "Zg==");
  EXPECT_EQ(Base64Encode("fo"), "Zm8=");
  EXPECT_EQ(Base64Encode("foo"), "Zm9v");
  EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(Base64Encode(Bytes({0xFB, 0xFF})), "+/8=");
  EXPECT_EQ(Base64Encode(""), "");
  EXPECT_EQ(Base64Decode(""), "");
  EXPECT_EQ(Base64Decode("Zg=="), "f");
  EXPECT_EQ(Base64Decode("Zm8="), "fo");
}

TEST(Base64, CharacterOutsideTheAlphabetDecodesSilently) {
  // '*' counts as 255; the bytes keep their low 8 bits.
  EXPECT_EQ(Base64Decode("Zm9*"), Bytes({'f', 'o', 0xFF}));
  // "=" first or second is just outside the alphabet.
  EXPECT_EQ(Base64Decode("==Zg").size(), 3u);
  // A "=" in third place alone does not shorten the group.
  EXPECT_EQ(Base64Decode("Zm=v").size(), 3u);
}

TEST(Base64, PartialGroupAtTheEndIsDropped) {
  EXPECT_EQ(Base64Decode("Zm9vZg"), "foo");
  EXPECT_EQ(Base64Decode("Zm9vZ"), "foo");
  EXPECT_EQ(Base64Decode("Zm9"), "");
  EXPECT_EQ(Base64Decode("="), "");
}
