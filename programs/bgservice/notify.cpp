#include "notify.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace bgservice {

std::string notifyServiceManager(const std::string& state) {
    const char* name = std::getenv("NOTIFY_SOCKET");
    if (name == nullptr || name[0] == '\0') {
        return "";
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t length = std::strlen(name);
    if ((name[0] != '/' && name[0] != '@') || length >= sizeof(address.sun_path)) {
        return std::string("NOTIFY_SOCKET is neither an absolute path nor an abstract name: ") + name;
    }
    std::memcpy(address.sun_path, name, length);
    if (name[0] == '@') {
        address.sun_path[0] = '\0';  // abstract: no file, and no terminating zero
    }
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + (name[0] == '@' ? 0 : 1));

    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return std::string("no socket: ") + std::strerror(errno);
    }
    const ssize_t sent = ::sendto(fd, state.data(), state.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&address), size);
    const int error = errno;
    ::close(fd);
    if (sent != static_cast<ssize_t>(state.size())) {
        return std::string("cannot tell ") + name + ": " + std::strerror(error);
    }
    return "";
}

}  // namespace bgservice
