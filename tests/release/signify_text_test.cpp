// SPDX-License-Identifier: ISC
#include <gtest/gtest.h>

#include <string>

#include "release/signify_text.h"

using namespace kestrel;

namespace {
// A signature file as signify-openbsd writes it.
const std::string comment = "untrusted comment: verify with release.pub\n";
const std::string b64 =
    "RWQGOWoaa4Vtjxex6gg4enCij89TeqOAgSqF019Is+FbcfSejBbSJ6ZGBOTtsJeaOpeOYRF+2J7ciRuKyGyhSHB+WdJcUfr7Xw0=";

bool ok(const std::string& text) { return signature_text_ok(text.data(), text.size()); }
}  // namespace

TEST(SignatureFile, OneCommentLineThenTheSignatureLine) {
    EXPECT_TRUE(ok(comment + b64 + "\n"));
    EXPECT_TRUE(ok("untrusted comment: \n" + b64 + "\n"));
    EXPECT_FALSE(ok(""));
    EXPECT_FALSE(ok("<html>\r\n<head><title>404 Not Found</title></head>\r\n"));
    EXPECT_FALSE(ok("trusted comment: x\n" + b64 + "\n"));
    EXPECT_FALSE(ok(comment + b64));                        // cut before the line end
    EXPECT_FALSE(ok(comment + b64 + "\r\n"));
    EXPECT_FALSE(ok(comment + b64 + "\n" + b64 + "\n"));    // a second signature
    EXPECT_FALSE(ok(comment + b64.substr(1) + "\n"));
    EXPECT_FALSE(ok(comment + "A" + b64 + "\n"));
    EXPECT_FALSE(ok(comment + "RX" + b64.substr(2) + "\n"));  // not Ed25519
    EXPECT_FALSE(ok(comment + b64.substr(0, 50) + "*" + b64.substr(51) + "\n"));
    EXPECT_FALSE(ok(comment + b64.substr(0, 99) + "A\n"));  // no padding: not 74 bytes
    EXPECT_FALSE(ok(std::string("untrusted comment: a\0b\n", 23) + b64 + "\n"));
    // The length given is the bound, whatever follows in memory.
    std::string whole = comment + b64 + "\n";
    EXPECT_FALSE(signature_text_ok(whole.data(), whole.size() - 1));
}

// The public key as signify-openbsd writes it: "Ed", the key number and 32
// bytes, 56 characters without padding.
TEST(SignatureFile, PublicKeyFormat) {
    const std::string key = "RWQGOWoaa4VtjzIyEVBmfOVQm2HwX3qzN71ySxSHxELpcnvU+NLjB8yj";
    auto key_ok = [](const std::string& t) { return public_key_text_ok(t.data(), t.size()); };
    EXPECT_TRUE(key_ok("untrusted comment: release public key\n" + key + "\n"));
    EXPECT_FALSE(key_ok(""));
    EXPECT_FALSE(key_ok("untrusted comment: x\n" + key));
    EXPECT_FALSE(key_ok("untrusted comment: x\n" + key.substr(1) + "\n"));
    EXPECT_FALSE(key_ok("untrusted comment: x\n" + key.substr(0, 55) + "=\n"));
    EXPECT_FALSE(key_ok(comment + b64 + "\n"));  // a signature is not a key
}

// usign looks a signature's key up by this name.
TEST(SignatureFile, FingerprintIsTheKeyNumberInHex) {
    key_fingerprint fp;
    const std::string key = "untrusted comment: k\nRWQGOWoaa4VtjzIyEVBmfOVQm2HwX3qzN71ySxSHxELpcnvU+NLjB8yj\n";
    ASSERT_TRUE(fingerprint_of(key.data(), key.size(), fp));
    EXPECT_STREQ(fp, "6396a1a6b856d8f");  // no leading zero
    std::string sig = comment + b64 + "\n";
    ASSERT_TRUE(fingerprint_of(sig.data(), sig.size(), fp));
    EXPECT_STREQ(fp, "6396a1a6b856d8f");
    EXPECT_FALSE(fingerprint_of(sig.data(), sig.size() - 1, fp));
}
