#include "platform/Crypto.h"

#include <memory>
#include <stdexcept>

#include <openssl/evp.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>

namespace pelk::platform {
namespace {

// The library's own clean-up at exit would free the locks that kit tasks still
// running on other threads need for random bytes and digests; the process
// releases everything anyway.  Done at load, before anything else starts it.
[[maybe_unused]] const bool kCryptoKeptForTheWholeProcess = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;

std::vector<std::uint8_t> digest(const EVP_MD* md, std::initializer_list<std::string_view> parts) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) throw std::runtime_error("digest init failed");
  for (auto part : parts) {
    if (EVP_DigestUpdate(ctx.get(), part.data(), part.size()) != 1) throw std::runtime_error("digest update failed");
  }
  std::vector<std::uint8_t> out(static_cast<std::size_t>(EVP_MD_get_size(md)));
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(ctx.get(), out.data(), &len) != 1) throw std::runtime_error("digest final failed");
  out.resize(len);
  return out;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::vector<std::uint8_t> Crypto::sha512(std::string_view bytes) { return digest(EVP_sha512(), {bytes}); }

std::string Crypto::sha512Hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : sha512(bytes)) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0f]);
  }
  return out;
}

std::vector<std::uint8_t> Crypto::sha1(std::string_view bytes) { return digest(EVP_sha1(), {bytes}); }

std::vector<std::uint8_t> Crypto::randomBytes(std::size_t count) {
  std::vector<std::uint8_t> out(count);
  if (count > 0 && RAND_bytes(out.data(), static_cast<int>(count)) != 1) {
    throw std::runtime_error("random source failed");
  }
  return out;
}

Crypto::Uuid Crypto::uuidV5(const Uuid& ns, std::string_view name) {
  const std::string_view nsBytes(reinterpret_cast<const char*>(ns.data()), ns.size());
  const auto hash = digest(EVP_sha1(), {nsBytes, name});
  Uuid u{};
  for (std::size_t i = 0; i < u.size(); ++i) u[i] = hash[i];
  u[6] = static_cast<std::uint8_t>((u[6] & 0x0f) | 0x50);
  u[8] = static_cast<std::uint8_t>((u[8] & 0x3f) | 0x80);
  return u;
}

Crypto::Uuid Crypto::randomUuid() {
  const auto bytes = randomBytes(16);
  Uuid u{};
  for (std::size_t i = 0; i < u.size(); ++i) u[i] = bytes[i];
  u[6] = static_cast<std::uint8_t>((u[6] & 0x0f) | 0x40);
  u[8] = static_cast<std::uint8_t>((u[8] & 0x3f) | 0x80);
  return u;
}

std::string Crypto::uuidString(const Uuid& uuid) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(36);
  for (std::size_t i = 0; i < uuid.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out.push_back(kDigits[uuid[i] >> 4]);
    out.push_back(kDigits[uuid[i] & 0x0f]);
  }
  return out;
}

std::optional<Crypto::Uuid> Crypto::parseUuid(std::string_view text) {
  const bool hyphenated = text.size() == 36;
  if (!hyphenated && text.size() != 32) return std::nullopt;
  Uuid u{};
  std::size_t pos = 0;
  for (std::size_t i = 0; i < u.size(); ++i) {
    if (hyphenated && (i == 4 || i == 6 || i == 8 || i == 10)) {
      if (text[pos] != '-') return std::nullopt;
      ++pos;
    }
    const int hi = hexValue(text[pos]);
    const int lo = hexValue(text[pos + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    u[i] = static_cast<std::uint8_t>((hi << 4) | lo);
    pos += 2;
  }
  return u;
}

}  // namespace pelk::platform
