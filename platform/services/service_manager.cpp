// The service control manager's calls: handles to the manager and to
// services, argument and access checks, and the back-end chosen when the
// manager is opened.
#include <cstring>
#include <memory>

#include "platform/kernel/handle_table.h"
#include "platform/kernel/host_names.h"
#include "platform/kernel/machine.h"
#include "platform/services/service_backend.h"
#include "platform/win/errors.h"
#include "platform/win/files.h"
#include "platform/win/service.h"

namespace tovel::platform::service {
namespace {

class ScObject {
public:
    virtual ~ScObject() = default;
};

class ManagerObject : public ScObject {
public:
    ManagerObject(DWORD access, std::shared_ptr<ServiceBackend> backend)
        : access(access), backend(std::move(backend)) {}
    const DWORD access;
    const std::shared_ptr<ServiceBackend> backend;
};

class ServiceObject : public ScObject {
public:
    ServiceObject(DWORD access, std::shared_ptr<ServiceBackend> backend, std::string folded)
        : access(access), backend(std::move(backend)), folded(std::move(folded)) {}
    const DWORD access;
    const std::shared_ptr<ServiceBackend> backend;
    const std::string folded;
};

HandleTable<ScObject>& table() {
    static auto* instance = new HandleTable<ScObject>(0x5C000000);  // lives until the process ends
    return *instance;
}

SC_HANDLE add(std::shared_ptr<ScObject> object) {
    return reinterpret_cast<SC_HANDLE>(table().add(std::move(object)));
}

template <class T>
std::shared_ptr<T> find(SC_HANDLE handle) {
    auto object = std::dynamic_pointer_cast<T>(table().find(reinterpret_cast<uintptr_t>(handle)));
    if (!object) SetLastError(ERROR_INVALID_HANDLE);
    return object;
}

template <class R = BOOL>
R fail(DWORD code) {
    SetLastError(code);
    return R{};
}

bool has_line_break(const char* text) {
    return text && (std::strchr(text, '\n') || std::strchr(text, '\r'));
}

bool empty(const char* text) { return !text || !*text; }

// The record of CreateServiceA's arguments; false with the last error.
bool make_record(const char* name, const char* displayName, DWORD serviceType, DWORD startType,
                 DWORD errorControl, const char* binaryPath, ServiceRecord* record) {
    DWORD base = serviceType & ~SERVICE_INTERACTIVE_PROCESS;
    if (!binaryPath || !*binaryPath || has_line_break(displayName) || has_line_break(binaryPath) ||
        (base != SERVICE_WIN32_OWN_PROCESS && base != SERVICE_WIN32_SHARE_PROCESS) ||
        startType < SERVICE_AUTO_START || startType > SERVICE_DISABLED ||
        errorControl > SERVICE_ERROR_CRITICAL)
        return fail<bool>(ERROR_INVALID_PARAMETER);
    // A quoted path ends at its closing quote; nothing may follow it (no arguments).
    std::string path = program_of(binaryPath);
    if (binaryPath[0] == '"' && std::strlen(binaryPath) != path.size() + 2)
        return fail<bool>(ERROR_INVALID_PARAMETER);
    for (char c : path)
        if (static_cast<unsigned char>(c) < 0x20) return fail<bool>(ERROR_INVALID_PARAMETER);
    std::wstring wide = wide_from_host_name(path.data(), path.size());
    if (!host_path(wide.c_str(), record->host_binary)) return false;
    record->name = name;
    record->display_name = empty(displayName) ? name : displayName;
    record->binary_path = binaryPath;
    record->type = serviceType;
    record->start_type = startType;
    record->error_control = errorControl;
    return true;
}

// The access a control needs; 0 for a code that cannot be sent.
DWORD access_for(DWORD control) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
            return SERVICE_STOP;
        case SERVICE_CONTROL_PAUSE:
        case SERVICE_CONTROL_CONTINUE:
            return SERVICE_PAUSE_CONTINUE;
        case SERVICE_CONTROL_INTERROGATE:
            return SERVICE_INTERROGATE;
        default:
            return control >= 128 && control <= 255 ? SERVICE_USER_DEFINED_CONTROL : 0;
    }
}

}  // namespace
}  // namespace tovel::platform::service

using namespace tovel::platform::service;

SC_HANDLE OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD desiredAccess) {
    if (!empty(machineName)) return fail<SC_HANDLE>(ERROR_NOT_SUPPORTED);
    if (databaseName && std::strcmp(databaseName, SERVICES_ACTIVE_DATABASEA) != 0)
        return fail<SC_HANDLE>(ERROR_DATABASE_DOES_NOT_EXIST);
    Backend kind;
    if (!choose_backend(&kind)) return nullptr;
    std::shared_ptr<ServiceBackend> backend =
        kind == Backend::files ? make_files_backend() : make_systemd_backend();
    if ((desiredAccess & SC_MANAGER_CREATE_SERVICE) && !backend->may_create()) return nullptr;
    return add(std::make_shared<ManagerObject>(desiredAccess, std::move(backend)));
}

SC_HANDLE CreateServiceA(SC_HANDLE manager, LPCSTR serviceName, LPCSTR displayName,
                         DWORD desiredAccess, DWORD serviceType, DWORD startType,
                         DWORD errorControl, LPCSTR binaryPathName, LPCSTR loadOrderGroup,
                         LPDWORD tagId, LPCSTR dependencies, LPCSTR serviceStartName,
                         LPCSTR password) {
    auto owner = find<ManagerObject>(manager);
    if (!owner) return nullptr;
    if (!(owner->access & SC_MANAGER_CREATE_SERVICE)) return fail<SC_HANDLE>(ERROR_ACCESS_DENIED);
    std::string folded;
    if (!check_name(serviceName, &folded)) return nullptr;
    if (tagId) return fail<SC_HANDLE>(ERROR_INVALID_PARAMETER);
    if (!empty(loadOrderGroup) || !empty(dependencies) || !empty(serviceStartName) ||
        !empty(password))
        return fail<SC_HANDLE>(ERROR_NOT_SUPPORTED);
    ServiceRecord record;
    if (!make_record(serviceName, displayName, serviceType, startType, errorControl, binaryPathName,
                     &record) ||
        !owner->backend->create(folded, record))
        return nullptr;
    return add(std::make_shared<ServiceObject>(desiredAccess, owner->backend, folded));
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD desiredAccess) {
    auto owner = find<ManagerObject>(manager);
    if (!owner) return nullptr;
    std::string folded;
    if (!check_name(serviceName, &folded) || !owner->backend->exists(folded)) return nullptr;
    return add(std::make_shared<ServiceObject>(desiredAccess, owner->backend, folded));
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
    // The object goes here, outside the table's lock.
    return table().remove(reinterpret_cast<uintptr_t>(handle)) != nullptr;
}

BOOL DeleteService(SC_HANDLE service) {
    auto object = find<ServiceObject>(service);
    if (!object) return FALSE;
    if (!(object->access & DELETE)) return fail(ERROR_ACCESS_DENIED);
    return object->backend->remove(object->folded);
}

BOOL StartServiceA(SC_HANDLE service, DWORD argc, LPCSTR* /*argv*/) {
    auto object = find<ServiceObject>(service);
    if (!object) return FALSE;
    if (!(object->access & SERVICE_START)) return fail(ERROR_ACCESS_DENIED);
    if (argc != 0) return fail(ERROR_NOT_SUPPORTED);
    return object->backend->start(object->folded);
}

BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
    auto object = find<ServiceObject>(service);
    if (!object) return FALSE;
    DWORD access = access_for(control);
    if (access == 0 || !status) return fail(ERROR_INVALID_PARAMETER);
    if (!(object->access & access)) return fail(ERROR_ACCESS_DENIED);
    return object->backend->control(object->folded, control, status);
}

BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
    auto object = find<ServiceObject>(service);
    if (!object) return FALSE;
    if (!status) return fail(ERROR_INVALID_PARAMETER);
    if (!(object->access & SERVICE_QUERY_STATUS)) return fail(ERROR_ACCESS_DENIED);
    return object->backend->query(object->folded, status);
}
