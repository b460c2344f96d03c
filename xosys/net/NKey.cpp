#include "NKey.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstring>

#include "Owned.h"

namespace xosys {
namespace nkey {

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";

// CRC-16/XMODEM (polynomial 0x1021, initial value 0), as NKeys use it.
uint16_t crc16(const uint8_t* data, size_t len) {
    uint16_t crc = 0;
    for (size_t i = 0; i < len; ++i) {
        crc = static_cast<uint16_t>(crc ^ (data[i] << 8));
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1);
        }
    }
    return crc;
}

// Appends the CRC of data[0..len) little-endian and encodes it all.
std::string withCrcBase32(uint8_t* data, size_t len) {
    const uint16_t crc = crc16(data, len);
    data[len] = static_cast<uint8_t>(crc & 0xFF);
    data[len + 1] = static_cast<uint8_t>(crc >> 8);
    len += 2;
    std::string out;
    uint32_t buffer = 0;
    int bits = 0;
    for (size_t i = 0; i < len; ++i) {
        buffer = (buffer << 8) | data[i];
        bits += 8;
        while (bits >= 5) {
            bits -= 5;
            out += kAlphabet[(buffer >> bits) & 31];
        }
    }
    if (bits > 0) {
        out += kAlphabet[(buffer << (5 - bits)) & 31];
    }
    return out;
}

}  // namespace

std::string encodePublic(uint8_t role, const uint8_t key[32]) {
    uint8_t raw[35];
    raw[0] = role;
    std::memcpy(raw + 1, key, 32);
    return withCrcBase32(raw, 33);
}

std::string encodeSeed(uint8_t role, const uint8_t seed[32]) {
    uint8_t raw[36];
    raw[0] = static_cast<uint8_t>(kSeed | (role >> 5));
    raw[1] = static_cast<uint8_t>((role & 31) << 3);
    std::memcpy(raw + 2, seed, 32);
    const std::string text = withCrcBase32(raw, 34);
    OPENSSL_cleanse(raw, sizeof raw);
    return text;
}

bool decodeSeed(const std::string& text, uint8_t* role, uint8_t seed[32]) {
    if (text.size() != 58) {
        return false;
    }
    uint8_t raw[36];
    size_t n = 0;
    uint32_t buffer = 0;
    int bits = 0;
    for (char c : text) {
        const char* at = std::strchr(kAlphabet, c);
        if (c == '\0' || at == nullptr) {
            return false;
        }
        buffer = (buffer << 5) | static_cast<uint32_t>(at - kAlphabet);
        bits += 5;
        if (bits >= 8) {
            bits -= 8;
            if (n < sizeof raw) {
                raw[n++] = static_cast<uint8_t>(buffer >> bits);
            }
        }
    }
    const uint16_t crc = static_cast<uint16_t>(raw[34] | (raw[35] << 8));
    const bool ok = n == sizeof raw && crc16(raw, 34) == crc && (raw[0] & 0xF8) == kSeed;
    if (ok) {
        *role = static_cast<uint8_t>(((raw[0] & 7) << 5) | (raw[1] >> 3));
        std::memcpy(seed, raw + 2, 32);
    }
    OPENSSL_cleanse(raw, sizeof raw);
    return ok;
}

bool publicKey(const uint8_t seed[32], uint8_t key[32]) {
    const Owned<EVP_PKEY, EVP_PKEY_free> pkey(
        EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed, 32));
    if (!pkey) {
        return false;
    }
    size_t len = 32;
    return EVP_PKEY_get_raw_public_key(pkey.get(), key, &len) == 1 && len == 32;
}

bool publicFromSeed(const std::string& seedText, std::string* publicText) {
    uint8_t role = 0;
    uint8_t seed[32];
    uint8_t key[32];
    bool ok = decodeSeed(seedText, &role, seed) && publicKey(seed, key);
    OPENSSL_cleanse(seed, sizeof seed);
    if (ok) {
        *publicText = encodePublic(role, key);
    }
    return ok;
}

}  // namespace nkey
}  // namespace xosys
