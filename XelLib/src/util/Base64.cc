// Base64 (RFC 4648 alphabet, with padding): table-driven encoder and decoder.
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "util/Text.h"

namespace velmora::util {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Two output characters for every 12-bit value, so three input bytes take two look-ups.
constexpr std::array<uint16_t, 4096> MakePairTable() {
  std::array<uint16_t, 4096> t{};
  for (unsigned v = 0; v < 4096; ++v) {
    // Stored in memory order: first character at the lower address.
    unsigned char c0 = static_cast<unsigned char>(kAlphabet[v >> 6]);
    unsigned char c1 = static_cast<unsigned char>(kAlphabet[v & 63]);
    t[v] = std::endian::native == std::endian::little ? static_cast<uint16_t>(c0 | (c1 << 8))
                                                      : static_cast<uint16_t>((c0 << 8) | c1);
  }
  return t;
}
constexpr std::array<uint16_t, 4096> kPairs = MakePairTable();

// Decoder classes beside the 6-bit values.
constexpr uint8_t kInvalid = 0xFF;
constexpr uint8_t kSpace = 0xFE;
constexpr uint8_t kPad = 0xFD;

constexpr std::array<uint8_t, 256> MakeDecodeTable() {
  std::array<uint8_t, 256> t{};
  for (auto& v : t) v = kInvalid;
  for (unsigned i = 0; i < 64; ++i)
    t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<uint8_t>(i);
  for (char c : {' ', '\t', '\r', '\n', '\f', '\v'}) t[static_cast<unsigned char>(c)] = kSpace;
  t['='] = kPad;
  return t;
}
constexpr std::array<uint8_t, 256> kDecode = MakeDecodeTable();

inline void Put2(char* out, unsigned v12) { std::memcpy(out, &kPairs[v12], 2); }

inline uint64_t LoadBigEndian64(const unsigned char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
  return v;
}

}  // namespace

size_t Base64EncodedSize(size_t size) { return (size + 2) / 3 * 4; }

size_t Base64EncodeTo(const void* data, size_t size, char* out) {
  const unsigned char* in = static_cast<const unsigned char*>(data);
  char* o = out;
  size_t i = 0;
  // Six input bytes per step through one 8-byte load; the last two bytes are read again
  // by the next step, hence the margin.
  while (size - i >= 8) {
    uint64_t v = LoadBigEndian64(in + i);
    Put2(o, static_cast<unsigned>(v >> 52) & 0xFFF);
    Put2(o + 2, static_cast<unsigned>(v >> 40) & 0xFFF);
    Put2(o + 4, static_cast<unsigned>(v >> 28) & 0xFFF);
    Put2(o + 6, static_cast<unsigned>(v >> 16) & 0xFFF);
    i += 6;
    o += 8;
  }
  while (size - i >= 3) {
    unsigned v = (unsigned{in[i]} << 16) | (unsigned{in[i + 1]} << 8) | in[i + 2];
    Put2(o, v >> 12);
    Put2(o + 2, v & 0xFFF);
    i += 3;
    o += 4;
  }
  if (size - i == 1) {
    unsigned v = in[i];
    o[0] = kAlphabet[v >> 2];
    o[1] = kAlphabet[(v & 3) << 4];
    o[2] = '=';
    o[3] = '=';
    o += 4;
  } else if (size - i == 2) {
    unsigned v = (unsigned{in[i]} << 8) | in[i + 1];
    o[0] = kAlphabet[v >> 10];
    o[1] = kAlphabet[(v >> 4) & 63];
    o[2] = kAlphabet[(v & 15) << 2];
    o[3] = '=';
    o += 4;
  }
  return static_cast<size_t>(o - out);
}

std::string Base64Encode(const void* data, size_t size) {
  std::string out(Base64EncodedSize(size), '\0');
  Base64EncodeTo(data, size, out.data());
  return out;
}

bool Base64Decode(std::string_view text, std::string* out) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t len = text.size();
  out->resize(len / 4 * 3 + 3);
  unsigned char* base = reinterpret_cast<unsigned char*>(out->data());
  unsigned char* o = base;
  size_t i = 0;
  unsigned acc = 0;    // 6-bit values of the open group
  unsigned count = 0;  // how many of them
  unsigned pads = 0;   // "=" seen at the end of the group
  for (;;) {
    if (count == 0 && pads == 0) {
      // Whole groups without whitespace or padding go four characters at a time.
      while (len - i >= 4) {
        unsigned a = kDecode[s[i]];
        unsigned b = kDecode[s[i + 1]];
        unsigned c = kDecode[s[i + 2]];
        unsigned d = kDecode[s[i + 3]];
        if ((a | b | c | d) & 0xC0) break;
        unsigned v = (a << 18) | (b << 12) | (c << 6) | d;
        o[0] = static_cast<unsigned char>(v >> 16);
        o[1] = static_cast<unsigned char>(v >> 8);
        o[2] = static_cast<unsigned char>(v);
        o += 3;
        i += 4;
      }
    }
    if (i >= len) break;
    unsigned v = kDecode[s[i++]];
    if (v < 64) {
      if (pads != 0) goto fail;  // data after padding
      acc = (acc << 6) | v;
      if (++count == 4) {
        o[0] = static_cast<unsigned char>(acc >> 16);
        o[1] = static_cast<unsigned char>(acc >> 8);
        o[2] = static_cast<unsigned char>(acc);
        o += 3;
        acc = 0;
        count = 0;
      }
    } else if (v == kSpace) {
      continue;
    } else if (v == kPad) {
      // Padding only completes a group of two or three characters.
      if (count < 2 || count + ++pads > 4) goto fail;
    } else {
      goto fail;
    }
  }
  // A final group without padding is accepted; one of a single character cannot be.
  if (count == 1) goto fail;
  if (pads != 0 && count + pads != 4) goto fail;
  if (count == 2) {
    *o++ = static_cast<unsigned char>(acc >> 4);
  } else if (count == 3) {
    o[0] = static_cast<unsigned char>(acc >> 10);
    o[1] = static_cast<unsigned char>(acc >> 2);
    o += 2;
  }
  out->resize(static_cast<size_t>(o - base));
  return true;
fail:
  out->clear();
  return false;
}

}  // namespace velmora::util
