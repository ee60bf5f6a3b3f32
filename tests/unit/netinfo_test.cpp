// SPDX-License-Identifier: ISC
// Real interfaces, routes and neighbours, made in the sandbox's own network
// namespace.  Documentation addresses only; nothing is ever sent to them.
#include <kestrel/netinfo.h>

#include "unit/netinfo.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <sys/ioctl.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "build_config.h"
#include "support_fixture.h"

using namespace kestrel;

namespace {
void sh(const std::string& cmd) { ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd; }

class NetInfo : public testing::Test {
protected:
    static void SetUpTestSuite() {
        require_sandbox();
        sh("ip link add brwan type veth peer name brwan-peer"
           " && ip link set brwan address 00:1a:2b:3c:4d:5e"
           " && ip addr add 198.51.100.2/24 dev brwan"
           " && ip link set brwan up && ip link set brwan-peer up"
           " && ip route add default via 198.51.100.1 dev brwan"
           " && ip route add default via 198.51.100.254 dev brwan metric 50"
           " && ip link add br0 type bridge && ip addr add 192.0.2.2/24 dev br0"
           " && ip link set br0 up && ip route add default via 192.0.2.1 dev br0 metric 10"
           " && ip tuntap add dev ppp0 mode tun"
           " && ip addr add 198.51.100.50 peer 198.51.100.200 dev ppp0 && ip link set ppp0 up"
           " && ip route add default dev ppp0 metric 20"
           " && ip link add kestrel-fifteen type bridge");
    }
    static void config(const std::string& lines) { write_file(build_config::config_file, lines); }
};
}  // namespace

TEST_F(NetInfo, OwnAddresses) {
    char mac[18] = "junk";
    EXPECT_EQ(get_macaddr("brwan", mac), mac);
    EXPECT_STREQ(mac, "00:1A:2B:3C:4D:5E");
    EXPECT_EQ(get_ipaddr("brwan").s_addr, inet_addr("198.51.100.2"));
    EXPECT_EQ(get_pa("br0", SIOCGIFADDR).s_addr, inet_addr("192.0.2.2"));

    EXPECT_STREQ(get_macaddr("nosuch0", mac), "");
    EXPECT_EQ(get_ipaddr("nosuch0").s_addr, 0u);
    EXPECT_EQ(get_ipaddr("kestrel-fifteen").s_addr, 0u);  // exists, has no address
    // A name longer than the kernel's field is refused, not cut to an existing one.
    EXPECT_STREQ(get_macaddr("kestrel-fifteen", mac), mac);
    EXPECT_EQ(std::strlen(mac), 17u);
    EXPECT_STREQ(get_macaddr("kestrel-fifteenX", mac), "");
    EXPECT_STREQ(get_macaddr(nullptr, mac), "");
}

TEST_F(NetInfo, GatewayByConfiguration) {
    config("");
    EXPECT_STREQ(get_gateway_ip(), "198.51.100.1");
    // Both default routes of brwan came through; only the first counts.
    EXPECT_EQ(read_file("/tmp/ra_gateway_ip"), "198.51.100.1\n198.51.100.254\n");
    config("wan_proto=dhcp\n");
    EXPECT_STREQ(get_gateway_ip(), "198.51.100.1");
    for (const char* proto : {"pppoe", "pptp", "l2tp"}) {
        config(std::string("wan_proto=") + proto + "\n");
        EXPECT_STREQ(get_gateway_ip(), "198.51.100.200") << proto;  // the peer
    }
    config("wan_proto=pptp\nap_mode=1\n");
    EXPECT_STREQ(get_gateway_ip(), "192.0.2.1");
    config("ap_mode=1 \n");  // not exactly "1"
    EXPECT_STREQ(get_gateway_ip(), "198.51.100.1");
}

TEST_F(NetInfo, GatewayMacFromArpTable) {
    sh("ip neigh add 198.51.100.10 lladdr 02:00:00:00:00:10 dev brwan nud permanent");
    EXPECT_STREQ(get_gateway_mac("198.51.100.1"), "");  // only a longer address is listed
    sh("ip neigh add 198.51.100.1 lladdr 02:00:00:00:0a:bc dev brwan nud permanent");
    EXPECT_STREQ(get_gateway_mac("198.51.100.1"), "02:00:00:00:0a:bc");
    EXPECT_STREQ(get_gateway_mac("198.51.100.10"), "02:00:00:00:00:10");
    EXPECT_STREQ(get_gateway_mac("IP"), "");  // the header line
    EXPECT_STREQ(get_gateway_mac(nullptr), "");
}

TEST(ArpLine, ShortAndLongLines) {
    char mac[18] = "x";
    char short_line[] = "198.51.100.1 0x1 0x2\n";
    EXPECT_FALSE(arp_line_mac(short_line, "198.51.100.1", mac));
    std::string long_hw = "198.51.100.1\t0x1 0x2 " + std::string(40, 'f') + " * brwan\n";
    EXPECT_TRUE(arp_line_mac(long_hw.data(), "198.51.100.1", mac));
    EXPECT_EQ(std::string(mac), std::string(17, 'f'));
}
