// The network bandwidth test through the agent run in the console, with curl, against the
// simulator's host by address and by name.
#include "portvane/tests/console_agent.h"
//
#include "platform/win/sockets.h"
#include "platform/win32.h"
#include "tools/testkit/checkers.h"

namespace portvane::testing {
namespace {

using tovel::testing::python_with_input;

using BandwidthConsole = ConsoleHandlers;

TEST_F(BandwidthConsole, NetworkBandwidth) {
    EXPECT_EQ(askWithout("GET", "/networksbandwidth").status, 401);
    EXPECT_EQ(ask("POST", "/networksbandwidth").status, 403);
    SOCKET probe = WSASocketW(AF_INET, SOCK_RAW, IPPROTO_ICMP, nullptr, 0, 0);
    if (probe == INVALID_SOCKET) {
        GTEST_SKIP() << "this process may open neither a raw nor a datagram ICMP socket "
                        "(no CAP_NET_RAW, and net.ipv4.ping_group_range leaves its group out)";
    }
    closesocket(probe);
    for (const char* host : {"127.0.0.1", "localhost"}) {
        WebReply bound = ask("POST", "/server",
                             std::string("{\"host\": \"") + host +
                                 "\", \"port\": " + std::to_string(service_->port()) + "}");
        ASSERT_EQ(bound.status, 200) << host;
        // Binding another server forgets every session: log in again.
        cookie_ = agent_
                      ->curl({"-X", "POST", "--data-binary", "username=alice&userpassword=secret",
                              "/login"})
                      .session();
        WebReply figure = ask("GET", "/networksbandwidth");
        EXPECT_EQ(figure.status, 200) << host;
        EXPECT_EQ(python_with_input("import json, sys\n"
                                    "print(float(json.load(sys.stdin)['bandwidth']) > 0)",
                                    figure.body),
                  "True\n")
            << host << ": " << figure.body;
    }
}

}  // namespace
}  // namespace portvane::testing
