// SPDX-License-Identifier: ISC
#include <arpa/inet.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "internal/fixed_path.h"
#include "internal/kol_log.h"
#include "internal/shell_command.h"
#include "internal/text_builder.h"
#include "internal/unique_fd.h"
#include "updater/updater.h"

namespace kestrel {

namespace {

constexpr const char resolv_conf_path[] = "/tmp/resolv.conf";
constexpr unsigned settle_seconds = 5;

}  // namespace

bool ping_error_file(const char* output, char* dst, std::size_t size) {
    if (std::strncmp(output, "/tmp/", 5) == 0) return bounded_format(dst, size, "%s_error", output);
    return bounded_copy(dst, size, "/tmp/ping_error");
}

int ping_judge(const char* error_line, const char* output_line) {
    if (std::strstr(error_line, "Unknown host")) return 0;
    if (std::strstr(error_line, "Network is unreachable")) return 0;
    return output_line[0] != '\0' ? 1 : 0;
}

int kol_ping(int count, const char* host, const char* output, int background) {
    char cmd[128];
    char error[64];
    char msg[128];
    char ping_result[256] = {};

    if (!ping_error_file(output, error, sizeof error)) {
        KOL_LOG("output path too long: %s", output);
        return 0;
    }

    // One rm for both: twice the room of one command, so that both fit
    // whenever each would have alone.
    char rm[2 * sizeof cmd];
    run_command(text_builder(rm).raw("rm -fr ").quoted(output).raw(" ").quoted(error));

    if (!is_valid_ipaddr(host)) {
        msg[0] = '\0';
        unique_file conf(std::fopen(resolv_conf_path, "r"));
        if (conf && !config_file_trusted(resolv_conf_path, ::fileno(conf.get())))
            KOL_LOG("%s is not root's: ignored", resolv_conf_path);
        else if (conf && std::fgets(msg, sizeof msg, conf.get()))
            msg[std::strcspn(msg, "\r\n")] = '\0';
        if (msg[0] == '\0') {
            run_command(text_builder(cmd).raw("echo '' > ").quoted(output));
            run_command(text_builder(cmd).raw("echo \"Unknown host\" > ").quoted(error));
            return 0;
        }
    }

    text_builder ping(cmd);
    ping.printf("ping -c %d ", count).quoted(host).raw(" > ").quoted(output).raw(" 2> ").quoted(error);
    if (background == 1) ping.raw(" &");
    if (!run_command(ping).ran) return 0;

    ::sleep(settle_seconds);

    bounded_copy(msg, sizeof msg, cat_file(error));
    bounded_copy(ping_result, sizeof ping_result, cat_file(output));
    if (ping_judge(msg, ping_result)) return 1;
    KOL_LOG("Cannot connect to %s", host);
    return 0;
}

int is_valid_ipaddr(const char* str) {
    in_addr addr;
    if (inet_pton(AF_INET, str, &addr) != 1) {
        KOL_LOG("Invalid IP Address:%s", str);
        return 0;
    }
    // Both are the same in either byte order.
    if (addr.s_addr == INADDR_ANY || addr.s_addr == INADDR_BROADCAST) {
        KOL_LOG("Invalid IP Address:%s\n", str);
        return 0;
    }
    return 1;
}

void strupr(char* str) {
    for (; *str; ++str)
        if (*str >= 'a' && *str <= 'z') *str = static_cast<char>(*str - 0x20);
}

}  // namespace kestrel
