// SPDX-License-Identifier: ISC
#include <cstring>
#include <string>

#include "support_fixture.h"
#include <kestrel/json.h>
#include <kestrel/text.h>

TEST(TextHelpers, CommasLineBreaksAndHead) {
    EXPECT_STREQ(del_comma_str("1,234,567"), "1234567");
    EXPECT_STREQ(del_comma_str("plain"), "plain");
    EXPECT_STREQ(del_comma_str(",,,"), "");
    EXPECT_STREQ(del_comma_str(nullptr), "");
    EXPECT_EQ(std::strlen(del_comma_str(std::string(600, 'a').c_str())), 511u);

    EXPECT_STREQ(string_tail_linebreak_strip("value\r\n"), "value");
    EXPECT_STREQ(string_tail_linebreak_strip("\nabc"), "");
    EXPECT_STREQ(string_tail_linebreak_strip(nullptr), "");
    EXPECT_EQ(std::strlen(string_tail_linebreak_strip(std::string(600, 'b').c_str())), 511u);

    EXPECT_STREQ(string_head_space_strip(" abc"), "abc");
    EXPECT_STREQ(string_head_space_strip("  abc"), " abc");
    EXPECT_STREQ(string_head_space_strip("abc"), "bc");
    EXPECT_STREQ(string_head_space_strip(""), "");
    EXPECT_STREQ(string_head_space_strip(nullptr), "");
    // Each routine owns one buffer: the next call overwrites it.
    char* first = string_head_space_strip("xone");
    EXPECT_EQ(string_head_space_strip("xtwo"), first);
    EXPECT_STREQ(first, "two");
}

TEST(TextHelpers, PercentTokens) {
    char a[] = "x%y", b[] = "%x", c[] = "%%", d[] = "";
    EXPECT_STREQ(parse_parmetrs(a), "x");
    EXPECT_STREQ(a, "x");  // cut in place
    EXPECT_STREQ(parse_parmetrs(b), "x");
    EXPECT_EQ(parse_parmetrs(c), nullptr);
    EXPECT_EQ(parse_parmetrs(d), nullptr);
    EXPECT_EQ(parse_parmetrs(nullptr), nullptr);
}

TEST(TextHelpers, Fields) {
    auto field = [](const char* in, int num, int size, char symbol = ',') {
        char out[16] = {};
        get_data_from_string(in, out, symbol, num, size);
        EXPECT_EQ(out[15], '\0');
        return std::string(out);
    };
    EXPECT_EQ(field("x,y,z", 2, 8), "y");
    EXPECT_EQ(field("x,y,z", 3, 8), "z");
    EXPECT_EQ(field("x,y,z", 4, 8), "");
    EXPECT_EQ(field(",x", 1, 8), "");
    EXPECT_EQ(field("a,,b", 2, 8), "");
    EXPECT_EQ(field("abcdef", 1, 3), "abc");
    EXPECT_EQ(field("x,y", 0, 8), "");
    EXPECT_EQ(field("x,y", -1, 8), "");
    EXPECT_EQ(field("", 1, 8), "");
    EXPECT_EQ(field("x;y", 2, 8, ';'), "y");
    EXPECT_EQ(field("xy", 2, 8, '\0'), "");
    EXPECT_EQ(field(nullptr, 1, 8), "");
}

TEST(JsonHelpers, MembersByName) {
    require_sandbox();
    write_file("/sandbox/a.json", R"({"a":"1","b":2,"":"blank"})");
    cJSON* root = getJSONcode("/sandbox/a.json");
    ASSERT_NE(root, nullptr);
    const cJSON* first = root->child;
    EXPECT_STREQ(getobjectvalue(first, "a"), "1");
    EXPECT_EQ(getobjectvalue(first, "b"), nullptr);  // a number has no valuestring
    EXPECT_STREQ(getobjectvalue(first, "A"), "");
    EXPECT_STREQ(getobjectvalue(first, "c"), "");
    EXPECT_STREQ(getobjectvalue(first, ""), "blank");
    EXPECT_EQ(getobjectvalueint(first, "b"), 2);
    EXPECT_EQ(getobjectvalueint(first, "c"), 0);
    EXPECT_EQ(getobjectvalueint(first->next, "a"), 0);  // search starts at the item given
    EXPECT_STREQ(getobjectvalue(nullptr, "a"), "");
    EXPECT_EQ(getobjectvalueint(nullptr, "b"), 0);
    EXPECT_STREQ(getobjectvalue(first, nullptr), "");
    cJSON_Delete(root);

    write_file("/sandbox/list.json", R"([7,"x"])");
    root = getJSONcode("/sandbox/list.json");
    ASSERT_NE(root, nullptr);
    EXPECT_STREQ(getobjectvalue(root->child, ""), "");  // elements carry no key
    EXPECT_EQ(getobjectvalueint(root->child, ""), 0);
    cJSON_Delete(root);
}

TEST(JsonHelpers, FilesThatGiveNoTree) {
    require_sandbox();
    write_file("/sandbox/bad.json", R"({"a":)");
    write_file("/sandbox/empty.json", "");
    EXPECT_EQ(getJSONcode("/sandbox/bad.json"), nullptr);
    EXPECT_EQ(getJSONcode("/sandbox/empty.json"), nullptr);
    EXPECT_EQ(getJSONcode("/sandbox/missing.json"), nullptr);
    EXPECT_EQ(getJSONcode("/sandbox"), nullptr);
    EXPECT_EQ(getJSONcode(nullptr), nullptr);
}
