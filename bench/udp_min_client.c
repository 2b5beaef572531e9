/* The least a program can do for a Telvik UDP job, for comparison: send one datagram from a
 * given local port, wait up to two seconds for one reply, and succeed when it starts with the
 * expected prefix. Usage: udp_min_client DESTPORT LISTENPORT TEXT PREFIX */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 5)
        return 2;
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons((unsigned short)atoi(argv[2]));
    if (bind(fd, (struct sockaddr*)&sa, sizeof sa) != 0)
        return 3;
    sa.sin_port = htons((unsigned short)atoi(argv[1]));
    if (sendto(fd, argv[3], strlen(argv[3]), 0, (struct sockaddr*)&sa, sizeof sa) < 0)
        return 4;
    struct pollfd p = {fd, POLLIN, 0};
    char buf[8192];
    if (poll(&p, 1, 2000) != 1)
        return 54;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    size_t k = strlen(argv[4]);
    return n >= (ssize_t)k && memcmp(buf, argv[4], k) == 0 ? 0 : 51;
}
