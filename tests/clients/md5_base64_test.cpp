// MD5 against RFC 1321's test suite and RFC 1939's APOP example, Base64
// against RFC 4648's vectors.

#include "clients/base64.h"
#include "clients/md5.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

TEST(Md5, Rfc1321SuiteAndRfc1939ApopDigest) {
    struct Case {
        const char* input;
        const char* digest;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        // The APOP digest of RFC 1939's example.
        {"<1896.697170952@dbc.mtview.ca.us>tanstaaf", "c4c9334bac560ecc979e58001b3e22fb"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DigestToHex(MD5String(c.input)), c.digest) << '"' << c.input << '"';
    EXPECT_EQ(DigestToHex(MD5String(std::string(1000000, 'a'))),
              "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(Base64, Rfc4648Vectors) {
    // RFC 4648 section 10: the encodings of the prefixes of "foobar".
    const char* encoded[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
    for (std::size_t n = 0; n < 7; ++n) {
        std::string plain = std::string("foobar").substr(0, n), back;
        EXPECT_EQ(Base64Encode(plain), encoded[n]) << plain;
        EXPECT_TRUE(Base64Decode(encoded[n], back)) << encoded[n];
        EXPECT_EQ(back, plain);
    }
}

TEST(Base64, EveryByteRoundTripsAndJunkIsRejected) {
    std::string data, back;
    for (int i = 0; i < 256; ++i)
        data += static_cast<char>(i);
    ASSERT_TRUE(Base64Decode(Base64Encode(data), back));
    EXPECT_EQ(back, data);
    for (const char* bad : {"Zg=", "Zg=a", "Zm9v!A==", "=Zg="})
        EXPECT_FALSE(Base64Decode(bad, back)) << bad;
}

} // namespace
} // namespace brix
