#include "platform/services/service_notify.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "platform/kernel/descriptor.h"
#include "platform/kernel/machine.h"
#include "platform/services/service_channel.h"
#include "platform/win/errors.h"

namespace tovel::platform::service {

std::string notify_text(const SERVICE_STATUS& s) {
    std::ostringstream out;
    bool pending = false;
    switch (s.dwCurrentState) {
        case SERVICE_START_PENDING:
            out << "STATUS=Starting\n";
            pending = true;
            break;
        case SERVICE_RUNNING:
            out << "READY=1\nSTATUS=Running\n";
            break;
        case SERVICE_STOP_PENDING:
            out << "STOPPING=1\nSTATUS=Stopping\n";
            pending = true;
            break;
        case SERVICE_STOPPED:
            out << "STOPPING=1\nSTATUS=Stopped, exit code " << s.dwWin32ExitCode;
            if (s.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR)
                out << " (service code " << s.dwServiceSpecificExitCode << ")";
            out << "\n";
            break;
        case SERVICE_PAUSE_PENDING:
            out << "STATUS=Pausing\n";
            pending = true;
            break;
        case SERVICE_CONTINUE_PENDING:
            out << "STATUS=Continuing\n";
            pending = true;
            break;
        default:
            out << "STATUS=Paused\n";
            break;
    }
    if (pending && s.dwWaitHint > 0)
        out << "EXTEND_TIMEOUT_USEC=" << static_cast<unsigned long long>(s.dwWaitHint) * 1000
            << "\n";
    return out.str();
}

bool notify_service_manager(const std::string& text) {
    const char* name = std::getenv("NOTIFY_SOCKET");
    if (!name || !*name) return true;
    sockaddr_un address;
    socklen_t length;
    if (!socket_address(name, true, "the service manager's notifications", &address, &length))
        return false;
    Descriptor fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) {
        SetLastError(win32_error_from_errno(errno));
        return false;
    }
    ssize_t sent;
    do {
        sent = ::sendto(fd.get(), text.data(), text.size(), MSG_NOSIGNAL,
                        reinterpret_cast<sockaddr*>(&address), length);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        SetLastError(win32_error_from_errno(errno));
        return false;
    }
    return true;
}

}  // namespace tovel::platform::service
