// HResult: errno to Windows error numbers, HRESULT texts and the ComError exception.
#include "platform/HResult.h"

#include <cerrno>
#include <cstdio>

namespace pw::platform {

std::uint32_t Win32ErrorFromErrno(int error) {
    switch (error) {
    case 0: return 0;
    case ENOENT: return win32::kFileNotFound;
    case ENOTDIR: return win32::kPathNotFound;
    case EMFILE:
    case ENFILE: return win32::kTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EISDIR:
    case ELOOP: return win32::kAccessDenied;  // a planted symbolic link is refused like a protected file
    case EBADF: return win32::kInvalidHandle;
    case ENOMEM: return win32::kNotEnoughMemory;
    case EROFS: return win32::kWriteProtect;
    case EAGAIN: return win32::kSharingViolation;
    case EDEADLK: return win32::kLockViolation;
    case EEXIST: return win32::kFileExists;
    case EINVAL: return win32::kInvalidParameter;
    case ENOSPC:
    case EDQUOT: return win32::kDiskFull;
    case ENOTEMPTY: return win32::kDirNotEmpty;
    case EBUSY: return win32::kBusy;
    case ENAMETOOLONG: return win32::kFilenameExcedRange;
    case EIO: return win32::kIoDevice;
    default: return win32::kGenFailure;
    }
}

HRESULT StorageHresultFromWin32(std::uint32_t error) {
    if (static_cast<std::int32_t>(error) <= 0) return static_cast<HRESULT>(error);
    return MakeHresult(0x80030000u + (error & 0xFFFFu));
}

HRESULT HresultFromWin32(std::uint32_t error) {
    if (static_cast<std::int32_t>(error) <= 0) return static_cast<HRESULT>(error);
    return MakeHresult(0x80070000u | (error & 0xFFFFu));
}

namespace {

const char* KnownName(HRESULT hr) {
    switch (hr) {
    case S_OK: return "success";
    case S_FALSE: return "false";
    case E_NOTIMPL: return "not implemented";
    case E_NOINTERFACE: return "no such interface";
    case E_POINTER: return "invalid pointer";
    case E_ABORT: return "aborted";
    case E_FAIL: return "unspecified failure";
    case E_UNEXPECTED: return "unexpected failure";
    case E_ACCESSDENIED: return "access denied";
    case E_OUTOFMEMORY: return "out of memory";
    case E_INVALIDARG: return "invalid argument";
    case DISP_E_TYPEMISMATCH: return "type mismatch";
    case DISP_E_OVERFLOW: return "overflow";
    case REGDB_E_CLASSNOTREG: return "class not registered";
    case STG_E_FILENOTFOUND: return "file not found";
    case STG_E_PATHNOTFOUND: return "path not found";
    case STG_E_TOOMANYOPENFILES: return "too many open files";
    case STG_E_ACCESSDENIED: return "access denied";
    case STG_E_INVALIDHANDLE: return "invalid handle";
    case STG_E_INSUFFICIENTMEMORY: return "out of memory";
    case STG_E_WRITEFAULT: return "write fault";
    case STG_E_READFAULT: return "read fault";
    case STG_E_SHAREVIOLATION: return "share violation";
    case STG_E_LOCKVIOLATION: return "lock violation";
    case STG_E_ENDOFFILE: return "end of file";
    case STG_E_FILEALREADYEXISTS: return "file exists";
    case STG_E_INVALIDPARAMETER: return "invalid parameter";
    case STG_E_MEDIUMFULL: return "disk full";
    case STG_E_ALREADYEXISTS: return "already exists";
    case STG_E_INVALIDNAME: return "invalid name";
    default: return nullptr;
    }
}

}  // namespace

std::string HresultText(HRESULT hr) {
    char number[16];
    std::snprintf(number, sizeof number, "0x%08X", static_cast<unsigned>(hr));
    const char* name = KnownName(hr);
    return name ? std::string(number) + " (" + name + ")" : std::string(number);
}

ComError::ComError(HRESULT hr) : std::runtime_error(HresultText(hr)), hr_(hr) {}

ComError::ComError(HRESULT hr, std::string_view what)
    : std::runtime_error(std::string(what) + ": " + HresultText(hr)), hr_(hr) {}

}  // namespace pw::platform
