// HResult: the result codes every layer of the server speaks, with their Windows values.
//
// Files, peers and administration clients see these numbers (a share violation is 0x80030020 wherever
// it surfaces), so each code has one fixed value for good: a number written into a file or sent to a
// client years ago must still mean the same to whoever reads it today. Low-level code returns an
// HRESULT; automation-level code throws ComError carrying one and catches it per envelope, command or
// session. Errors of the operating system are first turned into Windows error numbers
// (Win32ErrorFromErrno), then into the facility the caller needs.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace pw::platform {

using HRESULT = std::int32_t;

[[nodiscard]] constexpr HRESULT MakeHresult(std::uint32_t bits) { return static_cast<HRESULT>(bits); }
constexpr bool Succeeded(HRESULT hr) { return hr >= 0; }
constexpr bool Failed(HRESULT hr) { return hr < 0; }

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = MakeHresult(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = MakeHresult(0x80004002);
inline constexpr HRESULT E_POINTER = MakeHresult(0x80004003);
inline constexpr HRESULT E_ABORT = MakeHresult(0x80004004);
inline constexpr HRESULT E_FAIL = MakeHresult(0x80004005);
inline constexpr HRESULT E_UNEXPECTED = MakeHresult(0x8000FFFF);
inline constexpr HRESULT E_ACCESSDENIED = MakeHresult(0x80070005);
inline constexpr HRESULT E_OUTOFMEMORY = MakeHresult(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = MakeHresult(0x80070057);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = MakeHresult(0x80020005);
inline constexpr HRESULT DISP_E_OVERFLOW = MakeHresult(0x8002000A);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = MakeHresult(0x80040154);

// Storage facility (0x8003xxxx): the low word is the Windows error number.
inline constexpr HRESULT STG_E_INVALIDFUNCTION = MakeHresult(0x80030001);
inline constexpr HRESULT STG_E_FILENOTFOUND = MakeHresult(0x80030002);
inline constexpr HRESULT STG_E_PATHNOTFOUND = MakeHresult(0x80030003);
inline constexpr HRESULT STG_E_TOOMANYOPENFILES = MakeHresult(0x80030004);
inline constexpr HRESULT STG_E_ACCESSDENIED = MakeHresult(0x80030005);
inline constexpr HRESULT STG_E_INVALIDHANDLE = MakeHresult(0x80030006);
inline constexpr HRESULT STG_E_INSUFFICIENTMEMORY = MakeHresult(0x80030008);
inline constexpr HRESULT STG_E_WRITEFAULT = MakeHresult(0x8003001D);
inline constexpr HRESULT STG_E_READFAULT = MakeHresult(0x8003001E);
inline constexpr HRESULT STG_E_SHAREVIOLATION = MakeHresult(0x80030020);
inline constexpr HRESULT STG_E_LOCKVIOLATION = MakeHresult(0x80030021);
// A read that transfers nothing: ERROR_HANDLE_EOF (38) in the storage facility.
inline constexpr HRESULT STG_E_ENDOFFILE = MakeHresult(0x80030026);
inline constexpr HRESULT STG_E_FILEALREADYEXISTS = MakeHresult(0x80030050);
inline constexpr HRESULT STG_E_INVALIDPARAMETER = MakeHresult(0x80030057);
inline constexpr HRESULT STG_E_MEDIUMFULL = MakeHresult(0x80030070);
inline constexpr HRESULT STG_E_ALREADYEXISTS = MakeHresult(0x800300B7);
inline constexpr HRESULT STG_E_INVALIDNAME = MakeHresult(0x800300FC);

// Windows error numbers the platform layer produces from errno.
namespace win32 {
inline constexpr std::uint32_t kFileNotFound = 2;
inline constexpr std::uint32_t kPathNotFound = 3;
inline constexpr std::uint32_t kTooManyOpenFiles = 4;
inline constexpr std::uint32_t kAccessDenied = 5;
inline constexpr std::uint32_t kInvalidHandle = 6;
inline constexpr std::uint32_t kNotEnoughMemory = 8;
inline constexpr std::uint32_t kWriteProtect = 19;
inline constexpr std::uint32_t kGenFailure = 31;
inline constexpr std::uint32_t kSharingViolation = 32;
inline constexpr std::uint32_t kLockViolation = 33;
inline constexpr std::uint32_t kHandleEof = 38;
inline constexpr std::uint32_t kFileExists = 80;
inline constexpr std::uint32_t kInvalidParameter = 87;
inline constexpr std::uint32_t kDiskFull = 112;
inline constexpr std::uint32_t kDirNotEmpty = 145;
inline constexpr std::uint32_t kBusy = 170;
inline constexpr std::uint32_t kAlreadyExists = 183;
inline constexpr std::uint32_t kFilenameExcedRange = 206;
inline constexpr std::uint32_t kIoDevice = 1117;
inline constexpr std::uint32_t kCantResolveFilename = 1921;
}  // namespace win32

// The Windows error number closest to an errno value (ENOENT is ERROR_FILE_NOT_FOUND; callers that
// know a directory is missing use ERROR_PATH_NOT_FOUND themselves).
std::uint32_t Win32ErrorFromErrno(int error);

// 0x80030000 + (error & 0xFFFF) for a positive error; anything else is returned unchanged.
[[nodiscard]] HRESULT StorageHresultFromWin32(std::uint32_t error);
[[nodiscard]] inline HRESULT StorageHresultFromErrno(int error) { return StorageHresultFromWin32(Win32ErrorFromErrno(error)); }

// 0x80070000 | (error & 0xFFFF), the form system and socket errors take outside the storage layer.
[[nodiscard]] HRESULT HresultFromWin32(std::uint32_t error);

// "0x80030020 (share violation)": for log lines and error messages.
std::string HresultText(HRESULT hr);

// The exception of automation-style calls: carries the HRESULT and a text for people.
class ComError : public std::runtime_error {
public:
    explicit ComError(HRESULT hr);
    ComError(HRESULT hr, std::string_view what);
    [[nodiscard]] HRESULT Code() const noexcept { return hr_; }

private:
    HRESULT hr_;
};

// Throws ComError when hr failed; the automation wrappers call every HRESULT through this.
inline void ThrowIfFailed(HRESULT hr) {
    if (Failed(hr)) throw ComError(hr);
}
inline void ThrowIfFailed(HRESULT hr, std::string_view what) {
    if (Failed(hr)) throw ComError(hr, what);
}

}  // namespace pw::platform

namespace pw {
using namespace platform;  // the vocabulary of every folder (README.md)
}  // namespace pw
