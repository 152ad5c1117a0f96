// The least a host can do per block on a stop-and-wait link: a blocking send
// of one data datagram, a blocking receive until its acknowledgement, nothing
// else. Run against kestrel-drive-sim, it is the yardstick for the updater's
// Ethernet transfer.
//
//   bench_stop_and_wait PORT IMAGE [BLOCK-BYTES]
// Prints "blocks N us-per-block X".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes datagram(int type, const unsigned char* payload = nullptr, size_t size = 0) {
    Bytes out(2 + size);
    out[0] = static_cast<unsigned char>(type >> 8);
    out[1] = static_cast<unsigned char>(type & 0xFF);
    if (size > 0) {
        std::memcpy(out.data() + 2, payload, size);
    }
    return out;
}

bool sendAll(int fd, const Bytes& d) {
    return ::send(fd, d.data(), d.size(), 0) == static_cast<ssize_t>(d.size());
}

// Waits for the acknowledgement (type 17); the drive's "." datagrams pass by.
bool receiveAck(int fd) {
    unsigned char buffer[1500];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0) {
            return false;
        }
        if (n == 2 && buffer[0] == 0 && buffer[1] == 17) {
            return true;
        }
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s PORT IMAGE [BLOCK-BYTES]\n", argv[0]);
        return 2;
    }
    const auto port = static_cast<unsigned short>(std::atoi(argv[1]));
    std::ifstream file(argv[2], std::ios::binary);
    const Bytes image{std::istreambuf_iterator<char>(file), {}};
    const size_t block = argc > 3 ? static_cast<size_t>(std::atoi(argv[3])) : 200;

    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in drive{};
    drive.sin_family = AF_INET;
    drive.sin_port = htons(port);
    drive.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval timeout{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&drive), sizeof drive) != 0) {
        std::perror("socket");
        return 1;
    }
    const unsigned char enter[] = {'B', 0, '5', '8', '2', '7'};
    sendAll(fd, datagram(8, enter, sizeof enter));
    ::usleep(100000);
    sendAll(fd, datagram(18));

    size_t blocks = 0;
    const auto start = std::chrono::steady_clock::now();
    for (size_t at = 0; at < image.size(); at += block, ++blocks) {
        const size_t size = std::min(block, image.size() - at);
        if (!sendAll(fd, datagram(17, image.data() + at, size)) || !receiveAck(fd)) {
            std::fprintf(stderr, "no acknowledgement for block %zu\n", blocks);
            return 1;
        }
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("blocks %zu us-per-block %.1f\n", blocks, took.count() / double(blocks) * 1e6);
    ::close(fd);
    return 0;
}
