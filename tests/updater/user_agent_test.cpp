// SPDX-License-Identifier: ISC
#include <gtest/gtest.h>

#include <string>

#include "build_config.h"
#include "updater/user_agent.h"

using namespace kestrel;

namespace {

user_agent_values values(const char* module, const char* id, const char* installed, const char* result,
                         const char* published, const char* refused, bool report = true) {
    user_agent_values v;
    v.report = report;
    std::snprintf(v.module, sizeof v.module, "%s", module);
    std::snprintf(v.id, sizeof v.id, "%s", id);
    std::snprintf(v.installed, sizeof v.installed, "%s", installed);
    std::snprintf(v.result, sizeof v.result, "%s", result);
    std::snprintf(v.published, sizeof v.published, "%s", published);
    std::snprintf(v.refused, sizeof v.refused, "%s", refused);
    return v;
}

}  // namespace

TEST(UserAgent, ValuesAndReplacedCharacters) {
    const std::string product = std::string("kestreld/") + build_config::version;
    struct row {
        user_agent_values v;
        std::string expected;
    } rows[] = {
        {values("", "", "", "", "", ""), product + " (-; id=-; installed=-; result=-; published=-; refused=-)"},
        {values("abc", "0123456789ab", "1.0.12", "installed", "1.1", "1.1-rc"),
         product + " (abc; id=0123456789ab; installed=1.0.12; result=installed; published=1.1; refused=1.1-rc)"},
        // Blanks, the separators of the fields, quotes, backslashes, control
        // characters, DEL and every byte beyond ASCII, each one '-'.
        {values("a b", "", "1;2(3)4", "\"x\"", "\\\x01\x7f", "\xc3\xa9!~"),
         product + " (a-b; id=-; installed=1-2-3-4; result=-x-; published=---; refused=--!~)"},
        {values("abc", "0123456789ab", "1.0", "installed", "1.0", "-", false), product},
    };
    for (const row& r : rows) {
        user_agent_text text;
        format_user_agent(r.v, text);
        EXPECT_EQ(text, r.expected);
    }
}

TEST(UserAgent, StatusMembers) {
    struct row {
        const char* line;
        const char* name;
        const char* expected;
    } rows[] = {
        {R"({"time":1,"result":"installed","installed":"1.0","published":"2.0","transport":"https"})", "result",
         "installed"},
        {R"({"time":1,"result":"installed","installed":"1.0","published":"2.0","transport":"https"})", "published",
         "2.0"},
        {R"({"time":1,"result":"waiting","published":null})", "published", ""},
        {R"({"time":1,"result":"waiting"})", "published", ""},
        {R"({"published":"a\"b\\"})", "published", R"(a\"b\\)"},
        // A member's name inside another string is escaped there: not a member.
        {R"({"reason":"x \"result\":\"evil\"","result":"failed"})", "result", "failed"},
        {R"({"result":"cut)", "result", "cut"},
        {"{\"result\":\"a\\", "result", "a\\"},
        {"", "result", ""},
    };
    for (const row& r : rows) {
        char out[16];
        json_member_text(r.line, r.name, out, sizeof out);
        EXPECT_STREQ(out, r.expected) << r.line;
    }
    char small[4];
    json_member_text(R"({"result":"rolled_back"})", "result", small, sizeof small);
    EXPECT_STREQ(small, "rol");
}
