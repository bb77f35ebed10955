#include "starter/webserver/peer_owner.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tovel::web {
namespace {

// The states of an end that a program still holds open. Once closed, an end that lingers
// (FIN_WAIT, TIME_WAIT) is the kernel's own and the table gives it account 0.
constexpr int kEstablished = 0x01;
constexpr int kCloseWait = 0x08;

// The table's "address:port": the address as the 32-bit words of its network form, each
// printed as the machine holds it in memory, then the port.
bool parse_end(const char* text, uint32_t* words, int count, int* port) {
    if (std::strlen(text) < static_cast<size_t>(8 * count + 2)) return false;
    for (int i = 0; i < count; ++i) {
        char word[9] = {};
        std::memcpy(word, text + 8 * i, 8);
        char* end = nullptr;
        words[i] = static_cast<uint32_t>(std::strtoul(word, &end, 16));
        if (end != word + 8) return false;
    }
    if (text[8 * count] != ':') return false;
    char* end = nullptr;
    *port = static_cast<int>(std::strtol(text + 8 * count + 1, &end, 16));
    return end != text + 8 * count + 1;
}

long long search(const char* table, const uint32_t* peer, int words, int peer_port,
                 int server_port) {
    FILE* f = std::fopen(table, "r");
    if (!f) return -1;
    char line[512];
    long long owner = -1;
    if (!std::fgets(line, sizeof line, f)) line[0] = '\0';  // the column names
    while (owner < 0 && std::fgets(line, sizeof line, f)) {
        char local[64], remote[64];
        int state = 0;
        long long uid = -1;
        if (std::sscanf(line, " %*d: %63s %63s %x %*s %*s %*s %lld", local, remote, &state, &uid) !=
                4 ||
            (state != kEstablished && state != kCloseWait)) {
            continue;
        }
        uint32_t local_words[4], remote_words[4];
        int local_port = 0, remote_port = 0;
        if (!parse_end(local, local_words, words, &local_port) ||
            !parse_end(remote, remote_words, words, &remote_port)) {
            continue;
        }
        if (local_port == peer_port && remote_port == server_port &&
            std::memcmp(local_words, peer, sizeof(uint32_t) * words) == 0) {
            owner = uid;
        }
    }
    std::fclose(f);
    return owner;
}

}  // namespace

long long local_socket_owner(const char* peer_address, int peer_port, int server_port) {
    if (!peer_address) return -1;
    in_addr v4{};
    if (inet_pton(AF_INET, peer_address, &v4) == 1) {
        uint32_t word = v4.s_addr;
        return search("/proc/net/tcp", &word, 1, peer_port, server_port);
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, peer_address, &v6) == 1) {
        uint32_t words[4];
        std::memcpy(words, &v6, sizeof words);
        return search("/proc/net/tcp6", words, 4, peer_port, server_port);
    }
    return -1;
}

}  // namespace tovel::web
