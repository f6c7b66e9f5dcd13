#pragma once

#include <array>
#include <optional>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pelk::platform {

// Digests, random bytes and name-based identifiers, done by OpenSSL.
class Crypto {
 public:
  using Uuid = std::array<std::uint8_t, 16>;

  static std::vector<std::uint8_t> sha512(std::string_view bytes);
  // 128 lowercase hex digits of the SHA-512 digest of the bytes.
  static std::string sha512Hex(std::string_view bytes);
  static std::vector<std::uint8_t> sha1(std::string_view bytes);

  // Cryptographically strong random bytes; throws std::runtime_error only when
  // the system's random source fails.
  static std::vector<std::uint8_t> randomBytes(std::size_t count);

  // A name-based UUID (version 5, SHA-1) of `name` in the namespace `ns`.
  static Uuid uuidV5(const Uuid& ns, std::string_view name);
  // A random UUID (version 4).
  static Uuid randomUuid();
  // Upper-case 8-4-4-4-12 text.
  static std::string uuidString(const Uuid& uuid);
  // Reads 32 hex digits, with or without the four hyphens of the 8-4-4-4-12
  // form, in either letter case; nothing for any other text.
  static std::optional<Uuid> parseUuid(std::string_view text);
};

}  // namespace pelk::platform
