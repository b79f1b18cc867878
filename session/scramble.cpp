#include "session/scramble.h"

#include <cstdint>

namespace session {
namespace {

constexpr std::uint16_t kStartKey = 4967;
constexpr std::uint16_t kMultiplier = 40693;
constexpr std::uint16_t kAddend = 19417;

constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr unsigned char kNotInAlphabet = 255;

// Both directions feed the scrambled byte back, so they run the same key sequence.
// Unsigned 32-bit arithmetic: the 16-bit operands would promote to int, whose
// product overflows; the result is taken modulo 65536 either way.
std::uint16_t NextKey(std::uint16_t key, unsigned char scrambled) {
  const std::uint32_t next = (std::uint32_t{key} + scrambled) * kMultiplier + kAddend;
  return static_cast<std::uint16_t>(next & 0xFFFF);
}

unsigned char HighByte(std::uint16_t key) { return static_cast<unsigned char>(key >> 8); }

unsigned char AlphabetValue(char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c - 'A');
  if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - 'a' + 26);
  if (c >= '0' && c <= '9') return static_cast<unsigned char>(c - '0' + 52);
  if (c == '+') return 62;
  if (c == '/') return 63;
  return kNotInAlphabet;
}

}  // namespace

std::string StrEncrypt(const std::string& s) {
  std::string out(s.size(), '\0');
  std::uint16_t key = kStartKey;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto scrambled = static_cast<unsigned char>(static_cast<unsigned char>(s[i]) ^ HighByte(key));
    out[i] = static_cast<char>(scrambled);
    key = NextKey(key, scrambled);
  }
  return out;
}

std::string StrDecrypt(const std::string& s) {
  std::string out(s.size(), '\0');
  std::uint16_t key = kStartKey;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto scrambled = static_cast<unsigned char>(s[i]);
    out[i] = static_cast<char>(scrambled ^ HighByte(key));
    key = NextKey(key, scrambled);
  }
  return out;
}

std::string Base64Encode(const std::string& s) {
  const std::size_t n = s.size() % 3;
  std::string padded = s;
  if (n > 0) padded.append(3 - n, '\0');

  std::string out;
  out.reserve(padded.size() / 3 * 4);
  for (std::size_t i = 0; i < padded.size(); i += 3) {
    const auto b1 = static_cast<unsigned char>(padded[i]);
    const auto b2 = static_cast<unsigned char>(padded[i + 1]);
    const auto b3 = static_cast<unsigned char>(padded[i + 2]);
    out += kAlphabet[b1 >> 2];
    out += kAlphabet[((b1 << 4) & 0x30) | (b2 >> 4)];
    out += kAlphabet[((b2 << 2) & 0x3C) | (b3 >> 6)];
    out += kAlphabet[b3 & 0x3F];
  }
  if (n > 0) out[out.size() - 1] = '=';
  if (n == 1) out[out.size() - 2] = '=';
  return out;
}

std::string Base64Decode(const std::string& s) {
  std::string out;
  out.reserve(s.size() / 4 * 3);
  // Whole groups only: a partial group at the end is dropped.
  for (std::size_t p = 0; p + 4 <= s.size(); p += 4) {
    unsigned a = AlphabetValue(s[p]);
    unsigned b = AlphabetValue(s[p + 1]);
    unsigned c = AlphabetValue(s[p + 2]);
    unsigned d = AlphabetValue(s[p + 3]);
    int count = 3;
    if (s[p + 3] == '=') {
      d = 0;
      count = 2;
      if (s[p + 2] == '=') {
        c = 0;
        count = 1;
      }
    }
    const char bytes[3] = {static_cast<char>(((a << 2) | (b >> 4)) & 0xFF),
                           static_cast<char>(((b << 4) | (c >> 2)) & 0xFF),
                           static_cast<char>(((c << 6) | d) & 0xFF)};
    out.append(bytes, static_cast<std::size_t>(count));
  }
  return out;
}

}  // namespace session
