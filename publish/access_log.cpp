// SPDX-License-Identifier: ISC
#include "publish/access_log.h"

#include <algorithm>

namespace kestrel {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads n digits at p as a number; false when one is not a digit.
bool digits(std::string_view s, std::size_t at, std::size_t n, int& value) {
    value = 0;
    if (at + n > s.size()) return false;
    for (std::size_t i = at; i < at + n; ++i) {
        if (!is_digit(s[i])) return false;
        value = value * 10 + (s[i] - '0');
    }
    return true;
}

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar.
long long days_from_civil(int y, int m, int d) {
    y -= m <= 2;
    long long era = (y >= 0 ? y : y - 399) / 400;
    long long yoe = y - era * 400;
    long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int days_in_month(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : days[m - 1];
}

// "DD/Mon/YYYY:HH:MM:SS +HHMM", the whole of t.
bool read_log_time(std::string_view t, long long& out) {
    static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    if (t.size() != 26 || t[2] != '/' || t[6] != '/' || t[11] != ':' || t[14] != ':' || t[17] != ':' ||
        t[20] != ' ' || (t[21] != '+' && t[21] != '-'))
        return false;
    int day, year, hour, minute, second, off_h, off_m;
    if (!digits(t, 0, 2, day) || !digits(t, 7, 4, year) || !digits(t, 12, 2, hour) || !digits(t, 15, 2, minute) ||
        !digits(t, 18, 2, second) || !digits(t, 22, 2, off_h) || !digits(t, 24, 2, off_m))
        return false;
    int month = 0;
    for (int i = 0; i < 12 && !month; ++i)
        if (t.substr(3, 3) == std::string_view(months + 3 * i, 3)) month = i + 1;
    if (!month || day < 1 || day > days_in_month(year, month) || hour > 23 || minute > 59 || second > 60 ||
        off_h > 23 || off_m > 59)
        return false;
    long long offset = (off_h * 60LL + off_m) * 60;
    out = ((days_from_civil(year, month, day) * 24 + hour) * 60 + minute) * 60 + second -
          (t[21] == '+' ? offset : -offset);
    return true;
}

// Moves past one field of the line; each reader leaves at on the separator
// after the field (or the end) and fails on what is not that field.
struct line_reader {
    std::string_view s;
    std::size_t at = 0;

    // One or more characters up to a blank.
    bool token(std::string_view& out) {
        std::size_t start = at;
        at = std::min(s.find(' ', at), s.size());
        out = s.substr(start, at - start);
        return at > start;
    }
    // Between open and close; a backslash escapes the next character.
    bool enclosed(char open, char close, std::string_view& out) {
        if (at >= s.size() || s[at] != open) return false;
        std::size_t start = ++at;
        for (;;) {
            std::size_t end = s.find(close, at);
            if (end == std::string_view::npos) return false;
            // Most fields hold no backslash: one search finds the end.
            std::size_t escape = s.substr(0, end).find('\\', at);
            if (escape == std::string_view::npos) {
                at = end;
                break;
            }
            at = escape + 2;
            if (at > s.size()) return false;
        }
        out = s.substr(start, at - start);
        ++at;
        return true;
    }
    bool blank() { return at < s.size() && s[at++] == ' '; }
};

bool all_digits(std::string_view s) {
    for (char c : s)
        if (!is_digit(c)) return false;
    return !s.empty();
}

// The characters the router sends as they are in a value.
struct value_chars {
    bool plain[256] = {};
    constexpr value_chars() {
        for (int c = '!'; c < 0x7f; ++c) plain[c] = c != ';' && c != '(' && c != ')' && c != '"' && c != '\\';
    }
};
constexpr value_chars value_table;

bool value_char(char c) { return value_table.plain[static_cast<unsigned char>(c)]; }

// Takes prefix, then a value up to end (one or more value characters).
bool take_value(std::string_view& s, std::string_view prefix, char end, std::string_view& value) {
    if (s.substr(0, prefix.size()) != prefix) return false;
    s.remove_prefix(prefix.size());
    std::size_t n = 0;
    while (n < s.size() && value_char(s[n])) ++n;
    if (n == 0 || n >= s.size() || s[n] != end) return false;
    value = s.substr(0, n);
    s.remove_prefix(n);
    return true;
}

bool valid_id(std::string_view id) {
    if (id == "-") return true;
    if (id.size() != 12) return false;
    for (char c : id)
        if (!is_digit(c) && !(c >= 'a' && c <= 'f')) return false;
    return true;
}

}  // namespace

bool read_access_line(std::string_view line, access_line& out) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    line_reader r{line};
    std::string_view host, ident, user, time, request, status, bytes, referer, agent;
    if (!r.token(host) || !r.blank() || !r.token(ident) || !r.blank() || !r.token(user) || !r.blank() ||
        !r.enclosed('[', ']', time) || !r.blank() || !r.enclosed('"', '"', request) || !r.blank() ||
        !r.token(status) || !r.blank() || !r.token(bytes) || !r.blank() || !r.enclosed('"', '"', referer) ||
        !r.blank() || !r.enclosed('"', '"', agent) || r.at != line.size())
        return false;
    if (!all_digits(status) || (bytes != "-" && !all_digits(bytes))) return false;
    if (!read_log_time(time, out.time)) return false;
    out.user_agent = agent;
    return true;
}

bool read_agent_fields(std::string_view ua, agent_fields& out) {
    constexpr std::string_view product = "kestreld/";
    if (ua.substr(0, product.size()) != product) return false;
    ua.remove_prefix(product.size());
    std::string_view version;
    if (!take_value(ua, "", ' ', version)) return false;
    if (!take_value(ua, " (", ';', out.module) || !take_value(ua, "; id=", ';', out.id) ||
        !take_value(ua, "; installed=", ';', out.installed) || !take_value(ua, "; result=", ';', out.result) ||
        !take_value(ua, "; published=", ';', out.published) || !take_value(ua, "; refused=", ')', out.refused))
        return false;
    return ua == ")" && valid_id(out.id);
}

}  // namespace kestrel
