// NKeys, the Ed25519 keys NATS authenticates with, in their text form: a
// prefix byte naming the key's role, the 32 key bytes and a CRC-16 of both,
// in base32 without padding. A seed ("S..." 58 characters) holds the
// private key and the role; its public key ("U..." for a user, 56
// characters) is what the router is configured with.
//
// libnats signs with a seed file but wants the public key from us, and no
// Debian package offers the NKey encoding for C or C++: hence these few
// functions, with OpenSSL's Ed25519 for the key itself.
#ifndef XOSYS_NET_NKEY_H
#define XOSYS_NET_NKEY_H

#include <cstdint>
#include <string>

namespace xosys {
namespace nkey {

const uint8_t kSeed = 18 << 3;
const uint8_t kOperator = 14 << 3;
const uint8_t kAccount = 0;
const uint8_t kUser = 20 << 3;

// The text of public key bytes of the given role.
std::string encodePublic(uint8_t role, const uint8_t key[32]);
// The text of a seed of the given role: the inverse of decodeSeed. The
// library only reads seeds; the tests make theirs with it.
std::string encodeSeed(uint8_t role, const uint8_t seed[32]);
// Reads a seed's text: its role and private key bytes; false when the text
// is not a seed (wrong length, characters, CRC or prefix).
bool decodeSeed(const std::string& text, uint8_t* role, uint8_t seed[32]);
// The Ed25519 public key of a private key; false when OpenSSL fails.
bool publicKey(const uint8_t seed[32], uint8_t key[32]);
// The public key text of a seed text; false when the text is not a seed.
bool publicFromSeed(const std::string& seedText, std::string* publicText);

}  // namespace nkey
}  // namespace xosys

#endif  // XOSYS_NET_NKEY_H
