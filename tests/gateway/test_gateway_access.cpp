// The checks the HTTP front end makes before it routes a request: which
// Host names it answers to, which Origin may change anything, what an
// Authorization header holds, and how failed logins are slowed.
#include <gtest/gtest.h>

#include "auth/throttle.h"
#include "http/access.h"

namespace westnet::gateway::http {
namespace {

TEST(GatewayAccess, OnlyTheGatewaysOwnNamesAreServed) {
    const HostNames loopback("127.0.0.1", {"gateway.plant.lan"});
    const HostNames everywhere("0.0.0.0", {});
    struct Case {
        const HostNames& names;
        const char* host;
        bool allowed;
    };
    const Case cases[] = {
        {loopback, "127.0.0.1:8080", true},
        {loopback, "localhost:8080", true},
        {loopback, "LOCALHOST.", true},
        {loopback, "[::1]:8080", true},
        {loopback, "Gateway.Plant.LAN:8443", true},
        {loopback, "attacker.example", false},  // DNS rebinding
        {loopback, "attacker.example:8080", false},
        {loopback, "127.0.0.1.attacker.example", false},
        {loopback, "10.0.0.5:8080", false},  // not where it listens
        {loopback, "localhost:80x", false},
        {loopback, "user@localhost", false},
        {loopback, "[::1", false},
        {everywhere, "10.0.0.5:8080", true},  // an address needs no DNS to rebind
        {everywhere, "[fe80::1]:8080", true},
        {everywhere, "plant.example:8080", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.names.Allows(c.host), c.allowed) << c.host;
    }
}

TEST(GatewayAccess, AnOriginIsTheGatewaysOwnOnlyWithItsSchemeHostAndPort) {
    EXPECT_TRUE(SameOrigin("http://127.0.0.1:8080", "127.0.0.1:8080", false));
    EXPECT_TRUE(SameOrigin("https://Gateway.lan", "gateway.lan", true));
    EXPECT_FALSE(SameOrigin("http://gateway.lan", "gateway.lan", true));  // not https
    EXPECT_FALSE(SameOrigin("http://127.0.0.1:9090", "127.0.0.1:8080", false));
    EXPECT_FALSE(SameOrigin("null", "127.0.0.1:8080", false));
    EXPECT_FALSE(SameOrigin("http://attacker.example", "127.0.0.1:8080", false));
}

TEST(GatewayAccess, AuthorizationHeadersAreReadStrictly) {
    using Kind = Credentials::Kind;
    struct Case {
        const char* header;
        Kind kind;
        const char* user;
        const char* secret;
    };
    const Case cases[] = {
        {"", Kind::None, "", ""},
        {"Bearer wn_abc", Kind::Bearer, "", "wn_abc"},
        {"bearer  wn_abc ", Kind::Bearer, "", "wn_abc"},
        {"Bearer", Kind::Malformed, "", ""},
        {"Bearer a b", Kind::Malformed, "", ""},
        {"Basic b3BzOnMzY3JldDpwYXJ0", Kind::Basic, "ops", "s3cret:part"},  // ops:s3cret:part
        {"Basic b3Bz", Kind::Malformed, "", ""},                            // "ops": no colon
        {"Basic Om5vbmFtZQ==", Kind::Malformed, "", ""},                    // ":noname"
        {"Basic b3BzOnM=zz", Kind::Malformed, "", ""},                      // padding inside
        {"Basic !!!!", Kind::Malformed, "", ""},
        {"Digest x", Kind::Malformed, "", ""},
    };
    for (const Case& c : cases) {
        const Credentials got = ParseAuthorization(c.header);
        EXPECT_EQ(got.kind, c.kind) << c.header;
        EXPECT_EQ(got.user, c.user) << c.header;
        EXPECT_EQ(got.secret, c.secret) << c.header;
    }
}

TEST(GatewayAccess, TheSessionCookieIsFoundAmongOthers) {
    EXPECT_EQ(CookieValue("a=1; westnet_session=xyz; b=2", kSessionCookie), "xyz");
    EXPECT_EQ(CookieValue("westnet_session_old=1; westnet_session=", kSessionCookie), "");
    EXPECT_EQ(CookieValue("xwestnet_session=1", kSessionCookie), "");
}

TEST(GatewayAccess, FailedLoginsBlockAnAddressForAWindowAndASuccessClearsIt) {
    auth::LoginThrottle throttle;
    const auto t0 = auth::LoginThrottle::Clock::time_point{} + std::chrono::hours(1);
    for (int i = 0; i < auth::LoginThrottle::kFailures - 1; ++i) {
        throttle.Failed("10.0.0.1", t0);
    }
    EXPECT_FALSE(throttle.Blocked("10.0.0.1", t0));
    throttle.Failed("10.0.0.1", t0);
    EXPECT_TRUE(throttle.Blocked("10.0.0.1", t0 + std::chrono::seconds(59)));
    EXPECT_FALSE(throttle.Blocked("10.0.0.2", t0));  // others are not held up
    EXPECT_FALSE(
        throttle.Blocked("10.0.0.1", t0 + auth::LoginThrottle::kWindow + std::chrono::seconds(1)));
    throttle.Failed("10.0.0.3", t0);
    throttle.Succeeded("10.0.0.3");
    for (int i = 0; i < auth::LoginThrottle::kFailures - 1; ++i) {
        throttle.Failed("10.0.0.3", t0);
    }
    EXPECT_FALSE(throttle.Blocked("10.0.0.3", t0));
}

}  // namespace
}  // namespace westnet::gateway::http
