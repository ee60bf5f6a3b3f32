// SPDX-License-Identifier: ISC
// The release format as daemon and publisher share it: the [Release]
// values read, the text written, a refresh's rewrite and the [Signatures]
// section.
#include <gtest/gtest.h>

#include <string>

#include "../support/file_util.h"
#include "release/control_record.h"
#include "release/control_text.h"
#include "release/release_names.h"
#include "release/signature_block.h"

using namespace kestrel;

namespace {
const std::string sha = "3d1f0c2ab7e49a5e0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string head = "[Major1]\nfile=dbg-gen_V1.0.13\nmd5=0123456789ABCDEF0123456789ABCDEF\nsize=143\n";
const std::string sig_pair =
    "untrusted comment: signed by key 6396a1a6b856d8f\n"
    "RWQGOWoaa4Vtjxex6gg4enCij89TeqOAgSqF019Is+FbcfSejBbSJ6ZGBOTtsJeaOpeOYRF+2J7ciRuKyGyhSHB+WdJcUfr7Xw0=\n";

control_record read_text(const std::string& text) {
    write_file("/tmp/ctl", text);
    control_record rec;
    read_control_record("/tmp/ctl", rec);
    return rec;
}

std::string repeat(const std::string& s, int n) {
    std::string out;
    while (n-- > 0) out += s;
    return out;
}
}  // namespace

TEST(ReleaseSection, ValuesAreReadOnlyWhenWellFormed) {
    struct row {
        std::string lines;
        bool cut;
        bool seq;
        unsigned long long seq_value;
        std::string sha256;
    };
    const row rows[] = {
        {"seq=17\nsha256=" + sha + "\n", false, true, 17, sha},
        {"seq=0017\r\n", false, true, 17, ""},
        {"seq=9999999999999999999\n", false, true, 9999999999999999999ULL, ""},
        {"seq=10000000000000000000\n", true, false, 0, ""},  // 20 digits
        {"seq=\n", true, false, 0, ""},
        {"seq=-1\n", true, false, 0, ""},
        {"seq=1 \n", true, false, 0, ""},
        {"seq=1\nseq=x\n", true, false, 0, ""},  // the last line counts
        {"sha256=" + sha.substr(1) + "\n", true, false, 0, ""},
        {"sha256=3D" + sha.substr(2) + "\n", true, false, 0, ""},  // upper case
        {"sha256=" + sha + "0\n", true, false, 0, ""},
    };
    for (const row& r : rows) {
        control_record rec = read_text(head + "[Release]\nmodule=rt-ax1\n" + r.lines);
        SCOPED_TRACE(r.lines);
        EXPECT_EQ(rec.release_cut, r.cut);
        EXPECT_EQ(rec.seq.present, r.seq);
        EXPECT_EQ(rec.seq.value, r.seq_value);
        EXPECT_EQ(rec.sha256, r.sha256);
        EXPECT_STREQ(rec.module, "rt-ax1");
    }
    // Before [Release], or in a section after it, the keys are not read.
    control_record rec = read_text(head + "seq=5\n[Release]\nissued=9\n[Signatures]\nexpires=4\n");
    EXPECT_FALSE(rec.seq.present);
    EXPECT_TRUE(rec.issued.present);
    EXPECT_FALSE(rec.expires.present);
}

TEST(ReleaseText, WrittenTextReadsBack) {
    digest_name name;
    ASSERT_TRUE(payload_digest_name(sha.c_str(), name));
    EXPECT_STREQ(name, "dbg-gen.cfg.3d1f0c2ab7e49a5e");
    EXPECT_FALSE(payload_digest_name(sha.substr(1).c_str(), name));

    release_fields f{"dbg-gen_V1.0.13", "0123456789ABCDEF0123456789ABCDEF", "143", "rt-ax1",
                     "/sw-apps/dbg_log_collect/rt-ax1/", 10, sha.c_str(), name, 17, 1796773696, 1799365696};
    char text[1024];
    ASSERT_TRUE(format_control_text(f, text, sizeof text));
    EXPECT_EQ(std::string(text), head + "[Release]\nmodule=rt-ax1\npath=/sw-apps/dbg_log_collect/rt-ax1/\nrollout=10\n"
                                        "sha256=" + sha + "\npayload=dbg-gen.cfg.3d1f0c2ab7e49a5e\nseq=17\n"
                                        "issued=1796773696\nexpires=1799365696\n");
    control_record rec = read_text(text);
    EXPECT_FALSE(rec.release_cut);
    EXPECT_STREQ(rec.payload, name);
    EXPECT_EQ(rec.issued.value, 1796773696u);
    EXPECT_EQ(rec.expires.value, 1799365696u);

    f.rollout = -1;
    f.expires = 0;
    ASSERT_TRUE(format_control_text(f, text, sizeof text));
    rec = read_text(text);
    EXPECT_FALSE(rec.has_rollout);
    EXPECT_FALSE(rec.expires.present);
    EXPECT_FALSE(format_control_text(f, text, 100));
}

// A rollout change or a refresh: every other byte as it was.
TEST(ReleaseText, UpdateRewritesOnlyItsLines) {
    struct row {
        std::string before;
        release_update u;
        std::string after;  // "" refused
    };
    const std::string rel = head + "[Release]\nmodule=m\n";
    const row rows[] = {
        {rel + "seq=3\nissued=10\nexpires=20\n", {-1, 4, 11, 21}, rel + "seq=4\nissued=11\nexpires=21\n"},
        {rel + "rollout=5\r\nseq=3\r\nissued=10\r\n", {50, 4, 11, 0}, rel + "rollout=50\r\nseq=4\r\nissued=11\r\n"},
        {rel + "rollout=5\nseq=3\nissued=10\n", {-1, 4, 11, 30}, rel + "rollout=5\nseq=4\nissued=11\nexpires=30\n"},
        {rel + "seq=3\nexpires=20\nissued=10\n", {-1, 4, 11, 0}, rel + "seq=4\nissued=11\n"},
        {rel + "seq=3\nseq=9\nissued=1", {-1, 10, 11, 0}, rel + "seq=10\nissued=11\n"},
        {rel + "x=1\n[Major2]\nfile=y\n", {7, 1, 2, 3}, rel + "x=1\nrollout=7\nseq=1\nissued=2\nexpires=3\n[Major2]\nfile=y\n"},
        {rel + "x=1", {-1, 1, 2, 0}, rel + "x=1\nseq=1\nissued=2\n"},
        {head, {-1, 1, 2, 0}, ""},
        // The [Release] a router reads: the first after Major1, a line of its own.
        {"[Release]\nseq=1\n" + rel + "seq=3\nissued=1\n", {-1, 4, 5, 0}, "[Release]\nseq=1\n" + rel + "seq=4\nissued=5\n"},
        {head + "[Release]\rx\nseq=1\n", {-1, 4, 5, 0}, ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.before);
        char out[1024];
        std::size_t len = 0;
        bool ok = update_control_text(r.before.data(), r.before.size(), r.u, out, sizeof out, len);
        EXPECT_EQ(ok, !r.after.empty());
        if (ok) {
            EXPECT_EQ(std::string(out, len), r.after);
        }
    }
    std::string big = rel + "seq=1\nissued=1\n";
    char small[64];
    std::size_t len = 0;
    EXPECT_FALSE(update_control_text(big.data(), big.size(), {-1, 2, 2, 0}, small, sizeof small, len));
}

TEST(SignaturesSection, PairsAfterTheLine) {
    const std::string body = head + "[Release]\nseq=1\n";
    struct row {
        std::string text;
        signatures_read result;
        std::size_t signed_length;
        std::size_t count;
    };
    const row rows[] = {
        {body, signatures_read::none, body.size(), 0},
        {body + "[Signatures]\n" + sig_pair, signatures_read::ok, body.size(), 1},
        {body + "[Signatures]\r\n" + sig_pair + sig_pair, signatures_read::ok, body.size(), 2},
        {body + "[Signatures]\n", signatures_read::ok, body.size(), 0},
        {body + "[Signatures]\n" + repeat(sig_pair, 8), signatures_read::ok, body.size(), 8},
        {body + "[Signatures]\n" + repeat(sig_pair, 9), signatures_read::too_many, body.size(), 8},
        {body + "[Signatures]\n" + sig_pair + "x\n", signatures_read::malformed, body.size(), 1},
        {body + "[Signatures]\n" + sig_pair.substr(0, sig_pair.size() - 1), signatures_read::malformed, body.size(), 0},
        {body + "[Signatures]\n" + sig_pair + "\n", signatures_read::malformed, body.size(), 1},
        {body + "[Signatures]\n" + sig_pair.substr(0, 49) + "\r\n" + sig_pair.substr(50), signatures_read::malformed,
         body.size(), 0},
        // Only a line of its own opens the section.
        {body + "x=[Signatures]\n", signatures_read::none, body.size() + 15, 0},
        {body + " [Signatures]\n" + sig_pair, signatures_read::none, body.size() + 14 + sig_pair.size(), 0},
        {body + "[Signatures]", signatures_read::none, body.size() + 12, 0},
        {"[Signatures]\n" + sig_pair, signatures_read::ok, 0, 1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        signature_block block;
        EXPECT_EQ(read_signature_block(r.text.data(), r.text.size(), block), r.result);
        EXPECT_EQ(block.signed_length, r.signed_length);
        EXPECT_EQ(block.count, r.count);
        for (std::size_t i = 0; i < block.count; ++i) {
            EXPECT_STREQ(block.entries[i].key, "6396a1a6b856d8f");
            EXPECT_EQ(r.text.substr(block.entries[i].offset, block.entries[i].length), sig_pair);
        }
    }
}
