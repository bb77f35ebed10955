// Winsock's error channel over BSD sockets, and the texts of its codes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/win32.h"

namespace {

std::string text_of(DWORD code) {
    char buffer[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, buffer, sizeof buffer, nullptr);
    return std::string(buffer, n);
}

}  // namespace

TEST(PlatformWinsock, ErrnoBecomesTheWinsockCode) {
    struct {
        int error;
        int code;
    } cases[] = {
        {0, 0},
        {ETIME, WSAETIMEDOUT},
        {ETIMEDOUT, WSAETIMEDOUT},
        {ECONNREFUSED, WSAECONNREFUSED},
        {ECONNRESET, WSAECONNRESET},
        {EPIPE, WSAECONNRESET},
        {ECONNABORTED, WSAECONNABORTED},
        {ENETUNREACH, WSAENETUNREACH},
        {EHOSTUNREACH, WSAEHOSTUNREACH},
        {ENOTCONN, WSAENOTCONN},
        {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
        {EMFILE, WSAEMFILE},
        {EWOULDBLOCK, WSAEWOULDBLOCK},
        {EINTR, WSAEINTR},
        {ENOMEM, 8},
        {EDOM, 31},
    };
    for (const auto& c : cases) {
        errno = c.error;
        EXPECT_EQ(WSAGetLastError(), c.code) << c.error;
    }
}

TEST(PlatformWinsock, RefusedConnectReads10061) {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    ::close(listener);  // bound, never listening: nobody answers at that port

    int client = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(client, 0);
    EXPECT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), -1);
    EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
    ::close(client);
}

TEST(PlatformWinsock, NetworkFailureCodesHaveTexts) {
    for (int code :
         {WSAEMFILE, WSAEADDRNOTAVAIL, WSAENETDOWN, WSAENETUNREACH, WSAECONNABORTED, WSAECONNRESET,
          WSAENOTCONN, WSAESHUTDOWN, WSAETIMEDOUT, WSAECONNREFUSED, WSAEHOSTDOWN, WSAEHOSTUNREACH,
          WSAEPROCLIM, WSAESTALE, WSAEDISCON, WSAHOST_NOT_FOUND}) {
        std::string text = text_of(static_cast<DWORD>(code));
        EXPECT_GT(text.size(), 2u) << code;
    }
    EXPECT_NE(text_of(WSAETIMEDOUT).find("ran out of time"), std::string::npos);
}

// A write to a connection whose other end is gone fails instead of ending
// the process.
TEST(PlatformWinsock, WriteAfterThePeerClosedFailsWithoutEndingTheProcess) {
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    close(ends[1]);
    errno = 0;
    EXPECT_EQ(write(ends[0], "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    close(ends[0]);
}
