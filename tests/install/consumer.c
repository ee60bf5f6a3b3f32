// SPDX-License-Identifier: ISC
/* A C program of the package, built against the installed libkestrel only
 * (headers and flags from pkg-config).  It calls a routine of each family
 * and checks what comes back.  Runs in the test sandbox: it writes the
 * configuration store, /tmp and a fake kq on PATH.
 *
 * usage: consumer CONFIG_FILE SCRATCH_DIR */
#define _POSIX_C_SOURCE 200809L

#include <kestrel/kestrel.h>

#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

static int failures;
static int checks;

static void check(int ok, const char* what) {
    ++checks;
    if (!ok) {
        ++failures;
        fprintf(stderr, "FAIL: %s\n", what);
    }
}

static void check_text(const char* got, const char* want, const char* what) {
    ++checks;
    if (!got || strcmp(got, want) != 0) {
        ++failures;
        fprintf(stderr, "FAIL: %s: wanted [%s], got [%s]\n", what, want, got ? got : "(null)");
    }
}

static void write_bytes(const char* path, const char* bytes, size_t n) {
    FILE* f = fopen(path, "wb");
    if (!f || fwrite(bytes, 1, n, f) != n) {
        fprintf(stderr, "cannot write %s\n", path);
        exit(2);
    }
    fclose(f);
}

static void configuration_and_log(const char* config_file) {
    const char store[] = "oru_log=1\nwan_proto=dhcp\n";
    write_bytes(config_file, store, sizeof store - 1);
    check_text(config_get("wan_proto"), "dhcp", "config_get");
    check(config_match("wan_proto", "dhcp") != 0, "config_match of a set key");
    check(config_match("ap_mode", "") != 0, "an unset key matches the empty value");
    check_text(config_get(NULL), "", "config_get(NULL)");

    remove("/tmp/oru_log.txt");
    kol_printf("consumer %d", 7);
    check_text(cat_file("/tmp/oru_log.txt"), "consumer 7", "kol_printf reaches the log");
    autoup_set("/tmp/consumer_state", "1.2.3");
    check_text(cat_file("/tmp/consumer_state"), "1.2.3", "autoup_set then cat_file");
    check_text(cat_file(NULL), "", "cat_file(NULL)");
    autoup_set(NULL, "x");
    kol_printf(NULL);
}

static void narrowing(void) {
    static const char wide[] = "\xff\xfeH\0i\0\r\0\n\0";
    write_bytes("/tmp/consumer_wide.txt", wide, sizeof wide - 1);
    check(kol_iconv("/tmp/consumer_wide.txt") == 1, "kol_iconv result");
    check_text(cat_file("/tmp/consumer_wide.txt"), "Hi", "kol_iconv narrows the file");
    check(kol_iconv(NULL) == 1, "kol_iconv(NULL)");
}

static void metrics(void) {
    char line[] = "MemTotal:        900 kB\n";
    char user[KESTREL_CPU_COUNTER_SIZE] = "";
    check_text(last_str(line), "900", "last_str");
    check(get_MemoryUtilization() >= 0 && get_MemoryUtilization() <= 100, "get_MemoryUtilization range");
    cpu_util(user, NULL, NULL, NULL, NULL, NULL, NULL, NULL);
    check(user[0] >= '0' && user[0] <= '9', "cpu_util user counter");
    check(uptime() > 0, "uptime");
    meminfo(NULL, NULL);
}

static void interfaces(void) {
    char mac[18] = "x";
    struct in_addr lo = get_ipaddr("lo");
    check(lo.s_addr == inet_addr("127.0.0.1"), "get_ipaddr(lo)");
    check(get_ipaddr("no-such-if0").s_addr == 0, "get_ipaddr of a missing interface");
    check_text(get_macaddr("lo", mac), "00:00:00:00:00:00", "get_macaddr(lo)");
    check_text(get_gateway_mac("203.0.113.9"), "", "get_gateway_mac of an unknown neighbour");
    check_text(get_macaddr("lo", NULL), "", "get_macaddr without a buffer");
}

static void text_and_json(void) {
    char percent[] = "%x%y";
    char field[8] = {0};
    static const char doc[] = "{\"a\":\"1\",\"b\":2}";
    cJSON* root;
    check_text(del_comma_str("1,234,567"), "1234567", "del_comma_str");
    check_text(string_tail_linebreak_strip("value\r\n"), "value", "string_tail_linebreak_strip");
    check_text(string_head_space_strip(" x"), "x", "string_head_space_strip");
    check_text(parse_parmetrs(percent), "x", "parse_parmetrs");
    get_data_from_string("x,y,z", field, ',', 2, 7);
    check_text(field, "y", "get_data_from_string");

    write_bytes("/tmp/consumer.json", doc, sizeof doc - 1);
    root = getJSONcode("/tmp/consumer.json");
    check(root != NULL, "getJSONcode");
    if (root) {
        check_text(getobjectvalue(root->child, "a"), "1", "getobjectvalue");
        check(getobjectvalueint(root->child, "b") == 2, "getobjectvalueint");
        check(getobjectvalue(root->child, "b") == NULL, "getobjectvalue of a number member");
        cJSON_Delete(root);
    }
    check_text(getobjectvalue(NULL, "a"), "", "getobjectvalue(NULL)");
}

static void location(const char* scratch) {
    char kq[512];
    static const char script[] = "#!/bin/sh\n[ \"$1\" = -s ] && echo \"value of $2\"\n";
    char path_env[1024];
    snprintf(kq, sizeof kq, "%s/kq", scratch);
    write_bytes(kq, script, sizeof script - 1);
    chmod(kq, 0755);
    snprintf(path_env, sizeof path_env, "%s:%s", scratch, getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
    setenv("PATH", path_env, 1);
    check_text(get_value_from_kq("ozmardcfg[0].o_zmard_id"), "value of ozmardcfg[0].o_zmard_id",
               "get_value_from_kq");
    check_text(get_value_from_kq(NULL), "", "get_value_from_kq(NULL)");
}

static void transfer_clients(void) {
    check(resolve_dns("192.0.2.7") == inet_addr("192.0.2.7"), "resolve_dns of a dotted address");
    check(resolve_dns(NULL) == 0, "resolve_dns(NULL)");
    struct resolv_addresses r;
    check(resolve_dns_all("[2001:db8::7]", &r) == 1 && r.v6[0][15] == 7, "resolve_dns_all of an IPv6 address");
    /* Nothing listens on 127.0.0.1:21 here: the connection is refused. */
    check(ftp_transfer("ftp://127.0.0.1/pub/f.bin", "/tmp/consumer_f.bin", NULL) == 0,
          "ftp_transfer from a closed port");
    check(ftp_transfer("ftp://host/", "/tmp/consumer_f.bin", NULL) == 0, "ftp_transfer without a file");
    check(ftp_scan(NULL, NULL, NULL) == 0, "ftp_scan(NULL)");
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: consumer CONFIG_FILE SCRATCH_DIR\n");
        return 2;
    }
    configuration_and_log(argv[1]);
    narrowing();
    metrics();
    interfaces();
    text_and_json();
    location(argv[2]);
    transfer_clients();
    printf("%d checks, %d failed\n", checks, failures);
    return failures == 0 ? 0 : 1;
}
