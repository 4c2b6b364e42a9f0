// HResult: errno to Windows error numbers, the storage and Win32 facilities, texts and ComError.
#include "platform/HResult.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace pw {
namespace {

TEST(HResultTest, ErrnoMapsToWindowsErrorNumbers) {
    EXPECT_EQ(Win32ErrorFromErrno(0), 0u);
    EXPECT_EQ(Win32ErrorFromErrno(ENOENT), 2u);
    EXPECT_EQ(Win32ErrorFromErrno(ENOTDIR), 3u);
    EXPECT_EQ(Win32ErrorFromErrno(EACCES), 5u);
    EXPECT_EQ(Win32ErrorFromErrno(ELOOP), 5u) << "a planted link is refused like a protected file";
    EXPECT_EQ(Win32ErrorFromErrno(EAGAIN), 32u);
    EXPECT_EQ(Win32ErrorFromErrno(EEXIST), 80u);
    EXPECT_EQ(Win32ErrorFromErrno(ENOSPC), 112u);
    EXPECT_EQ(Win32ErrorFromErrno(ENOTEMPTY), 145u);
    EXPECT_EQ(Win32ErrorFromErrno(EXDEV), 31u) << "anything unknown is a general failure";
}

TEST(HResultTest, FacilitiesKeepTheWindowsErrorInTheLowWord) {
    EXPECT_EQ(StorageHresultFromWin32(32), MakeHresult(0x80030020));
    EXPECT_EQ(StorageHresultFromWin32(32), STG_E_SHAREVIOLATION);
    EXPECT_EQ(StorageHresultFromWin32(0), S_OK);
    EXPECT_EQ(StorageHresultFromWin32(38), STG_E_ENDOFFILE);
    EXPECT_EQ(StorageHresultFromWin32(183), STG_E_ALREADYEXISTS);
    EXPECT_EQ(StorageHresultFromWin32(0x80030005u), STG_E_ACCESSDENIED) << "an HRESULT passes unchanged";
    EXPECT_EQ(StorageHresultFromErrno(ENOENT), STG_E_FILENOTFOUND);
    EXPECT_EQ(StorageHresultFromErrno(EEXIST), STG_E_FILEALREADYEXISTS);
    EXPECT_EQ(HresultFromWin32(5), E_ACCESSDENIED);
    EXPECT_EQ(HresultFromWin32(87), E_INVALIDARG);
    EXPECT_EQ(HresultFromWin32(0), S_OK);
    EXPECT_TRUE(Succeeded(S_FALSE));
    EXPECT_TRUE(Failed(STG_E_ENDOFFILE));
}

TEST(HResultTest, TextShowsTheCodeInHexAndItsName) {
    EXPECT_EQ(HresultText(STG_E_SHAREVIOLATION), "0x80030020 (share violation)");
    EXPECT_EQ(HresultText(S_OK), "0x00000000 (success)");
    EXPECT_EQ(HresultText(MakeHresult(0x80049999)), "0x80049999");
}

TEST(HResultTest, ComErrorCarriesItsCodeAndText) {
    try {
        ThrowIfFailed(STG_E_LOCKVIOLATION, "locking the queue");
        FAIL() << "no exception";
    } catch (const ComError& error) {
        EXPECT_EQ(error.Code(), STG_E_LOCKVIOLATION);
        EXPECT_EQ(std::string(error.what()), "locking the queue: 0x80030021 (lock violation)");
    }
    const ComError plain(E_FAIL);
    EXPECT_EQ(plain.Code(), E_FAIL);
    EXPECT_EQ(std::string(plain.what()), "0x80004005 (unspecified failure)");
    EXPECT_NO_THROW(ThrowIfFailed(S_FALSE));
    EXPECT_NO_THROW(ThrowIfFailed(S_OK, "fine"));
    EXPECT_THROW(ThrowIfFailed(REGDB_E_CLASSNOTREG), std::runtime_error);
}

}  // namespace
}  // namespace pw
