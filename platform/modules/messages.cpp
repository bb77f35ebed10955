#include "platform/modules/messages.h"

#include "platform/win/errors.h"

namespace tovel::platform {
namespace {

struct Message {
    DWORD code;
    const char* text;
};

const Message kSystem[] = {
    {ERROR_SUCCESS, "The operation succeeded."},
    {ERROR_INVALID_FUNCTION, "The function is not valid for this object."},
    {ERROR_FILE_NOT_FOUND, "The file could not be found."},
    {ERROR_PATH_NOT_FOUND, "A folder of the path could not be found."},
    {ERROR_TOO_MANY_OPEN_FILES, "Too many files are open."},
    {ERROR_ACCESS_DENIED, "Access was refused."},
    {ERROR_INVALID_HANDLE, "The handle is not valid."},
    {ERROR_NOT_ENOUGH_MEMORY, "There is not enough memory for this operation."},
    {ERROR_INVALID_DATA, "The data is not valid."},
    {ERROR_OUTOFMEMORY, "The system ran out of memory."},
    {ERROR_INVALID_DRIVE, "The drive could not be found."},
    {ERROR_NOT_SAME_DEVICE, "The file cannot be moved to another disk drive."},
    {ERROR_NO_MORE_FILES, "There are no more files."},
    {ERROR_WRITE_PROTECT, "The medium cannot be written."},
    {ERROR_NOT_READY, "The device is not ready."},
    {ERROR_GEN_FAILURE, "A device attached to the system failed."},
    {ERROR_SHARING_VIOLATION, "The file is in use by another process."},
    {ERROR_LOCK_VIOLATION, "A part of the file is locked by another process."},
    {ERROR_HANDLE_EOF, "The end of the file was reached."},
    {ERROR_HANDLE_DISK_FULL, "The disk is full."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_BAD_NETPATH, "The network path could not be found."},
    {ERROR_FILE_EXISTS, "The file exists."},
    {ERROR_INVALID_PARAMETER, "A parameter is not valid."},
    {ERROR_BROKEN_PIPE, "The pipe was ended."},
    {ERROR_BUFFER_OVERFLOW, "The name is too long for the buffer."},
    {ERROR_DISK_FULL, "There is not enough space on the disk."},
    {ERROR_INSUFFICIENT_BUFFER, "The buffer given is too small."},
    {ERROR_INVALID_NAME, "The file name, folder name or volume label is not valid."},
    {ERROR_MOD_NOT_FOUND, "The module could not be found."},
    {ERROR_PROC_NOT_FOUND, "The procedure could not be found."},
    {ERROR_NEGATIVE_SEEK, "The file pointer cannot be moved before the beginning of the file."},
    {ERROR_DIR_NOT_EMPTY, "The folder is not empty."},
    {ERROR_BAD_PATHNAME, "The path is not valid."},
    {ERROR_BUSY, "The resource is in use."},
    {ERROR_ALREADY_EXISTS, "The file or folder already exists."},
    {ERROR_BAD_EXE_FORMAT, "%1 is not a program that this system can run."},
    {ERROR_FILENAME_EXCED_RANGE, "The file name is too long."},
    {ERROR_FILE_TOO_LARGE, "The file is too large for the file system."},
    {ERROR_NO_DATA, "The pipe is being closed."},
    {ERROR_MORE_DATA, "More data is available."},
    {WAIT_TIMEOUT, "The wait timed out."},
    {ERROR_DIRECTORY, "The name is not a folder."},
    {ERROR_MR_MID_NOT_FOUND, "No message text exists for the code %1."},
    {ERROR_STOPPED_ON_SYMLINK, "The path leads through a link, which was not followed."},
    {ERROR_OPERATION_ABORTED, "The operation was aborted."},
    {ERROR_IO_INCOMPLETE, "The input or output event is not complete."},
    {ERROR_IO_PENDING, "The input or output operation is in progress."},
    {ERROR_NOACCESS, "Memory was accessed at an address that is not valid."},
    {ERROR_INVALID_FLAGS, "The flags are not valid."},
    {ERROR_NO_UNICODE_TRANSLATION, "The text holds characters that cannot be translated."},
    {ERROR_IO_DEVICE, "A device could not complete the input or output request."},
    {ERROR_NOT_FOUND, "The element could not be found."},
    {ERROR_NO_ASSOCIATION, "No program is associated with this file for this operation."},
    {ERROR_CANCELLED, "The operation was cancelled."},
    {ERROR_ALREADY_INITIALIZED, "The object is already initialised."},
    {ERROR_TIMEOUT, "The operation ran out of time."},
    {ERROR_CANT_RESOLVE_FILENAME, "The name of the file cannot be resolved."},
    {WSAEINTR, "A blocking socket call was interrupted."},
    {WSAEBADF, "The socket handle is not valid."},
    {WSAEACCES, "Access to the socket was refused."},
    {WSAEFAULT, "A socket call was given an address that is not valid."},
    {WSAEINVAL, "An argument of the socket call is not valid."},
    {WSAEMFILE, "Too many sockets are open."},
    {WSAEWOULDBLOCK, "The socket operation cannot complete at once."},
    {WSAEINPROGRESS, "A blocking socket operation is in progress."},
    {WSAEALREADY, "An operation is already in progress on the socket."},
    {WSAENOTSOCK, "The handle is not a socket."},
    {WSAEMSGSIZE, "The message is larger than the socket can carry."},
    {WSAEOPNOTSUPP, "The socket does not support this operation."},
    {WSAEAFNOSUPPORT, "The address family is not supported."},
    {WSAEADDRINUSE, "The network address is already in use."},
    {WSAEADDRNOTAVAIL, "The network address is not valid here."},
    {WSAENETDOWN, "The network is down."},
    {WSAENETUNREACH, "The network cannot be reached."},
    {WSAENETRESET, "The connection was dropped by a network reset."},
    {WSAECONNABORTED, "The connection was aborted on this side."},
    {WSAECONNRESET, "The connection was closed or reset by the remote side."},
    {WSAENOBUFS, "There is no buffer space for the socket operation."},
    {WSAEISCONN, "The socket is already connected."},
    {WSAENOTCONN, "The socket is not connected."},
    {WSAESHUTDOWN, "The socket was shut down for this direction."},
    {WSAETIMEDOUT, "The network operation ran out of time: the remote side did not answer."},
    {WSAECONNREFUSED, "The remote side refused the connection."},
    {WSAEHOSTDOWN, "The remote host is down."},
    {WSAEHOSTUNREACH, "The remote host cannot be reached."},
    {WSAEPROCLIM, "Too many processes use the sockets."},
    {WSAESTALE, "The socket handle is stale."},
    {WSAEDISCON, "The remote side is closing the connection."},
    {WSAHOST_NOT_FOUND, "The host name is not known."},
};

const Message kWinHttp[] = {
    {ERROR_WINHTTP_OUT_OF_HANDLES, "No more internet handles can be made."},
    {ERROR_WINHTTP_TIMEOUT, "The request timed out."},
    {ERROR_WINHTTP_INTERNAL_ERROR, "An internal error occurred in the internet client."},
    {ERROR_WINHTTP_INVALID_URL, "The URL is not valid."},
    {ERROR_WINHTTP_UNRECOGNIZED_SCHEME, "The URL's scheme is not known."},
    {ERROR_WINHTTP_NAME_NOT_RESOLVED, "The server name could not be resolved."},
    {ERROR_WINHTTP_INVALID_OPTION, "The option is not valid."},
    {ERROR_WINHTTP_OPTION_NOT_SETTABLE, "The option cannot be set."},
    {ERROR_WINHTTP_SHUTDOWN, "The internet client is shutting down."},
    {ERROR_WINHTTP_LOGIN_FAILURE, "The login was refused."},
    {ERROR_WINHTTP_OPERATION_CANCELLED, "The request was cancelled."},
    {ERROR_WINHTTP_INCORRECT_HANDLE_TYPE, "The handle is of the wrong type for this operation."},
    {ERROR_WINHTTP_INCORRECT_HANDLE_STATE, "The handle is in the wrong state for this operation."},
    {ERROR_WINHTTP_CANNOT_CONNECT, "A connection to the server could not be made."},
    {ERROR_WINHTTP_CONNECTION_ERROR, "The connection to the server was reset or ended."},
    {ERROR_WINHTTP_RESEND_REQUEST, "The request must be sent again."},
    {ERROR_WINHTTP_HEADER_NOT_FOUND, "The header could not be found."},
    {ERROR_WINHTTP_INVALID_SERVER_RESPONSE, "The server's reply could not be read."},
    {ERROR_WINHTTP_INVALID_HEADER, "The header is not valid."},
    {ERROR_WINHTTP_INVALID_QUERY_REQUEST, "The query of the request is not valid."},
    {ERROR_WINHTTP_HEADER_ALREADY_EXISTS, "The header exists already."},
    {ERROR_WINHTTP_REDIRECT_FAILED, "The redirection failed."},
    {ERROR_WINHTTP_SECURE_FAILURE, "The secure connection could not be made."},
};

template <size_t N>
const char* find(const Message (&table)[N], DWORD code) {
    for (const auto& m : table)
        if (m.code == code) return m.text;
    return nullptr;
}

}  // namespace

const char* system_message(DWORD code) { return find(kSystem, code); }
const char* winhttp_message(DWORD code) { return find(kWinHttp, code); }

}  // namespace tovel::platform
