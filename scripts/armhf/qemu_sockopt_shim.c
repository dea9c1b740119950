/* Preloaded into every armhf process under qemu user emulation (through the sysroot's
 * /etc/ld.so.preload, which native processes never read). qemu 7.2 answers IP_MULTICAST_IF with
 * ENOPROTOOPT, and Fast DDS then opens no sending socket at all: accepted here, multicast leaves
 * by the default interface, which is all one host needs. Not part of the library. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>

int setsockopt(int fd, int level, int name, const void *value, socklen_t length)
{
    static int (*real)(int, int, int, const void *, socklen_t);
    if (!real)
        real = (int (*)(int, int, int, const void *, socklen_t))dlsym(RTLD_NEXT, "setsockopt");
    const int rc = real(fd, level, name, value, length);
    if (rc != 0 && errno == ENOPROTOOPT && level == IPPROTO_IP && name == IP_MULTICAST_IF)
        return 0;
    return rc;
}
