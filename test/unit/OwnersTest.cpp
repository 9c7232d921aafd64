#include <gtest/gtest.h>

#include <windows.h>

#include "Owners.h"

namespace {

// Counts its references; its last release changes the thread's last error,
// as a destructor that closes handles does.
class Counted {
public:
    void AddRef() { ++refs; }
    void Release() {
        if (--refs == 0) ::SetLastError(ERROR_INVALID_HANDLE);
    }
    int refs = 1;
};

}  // namespace

// A failed call's error must survive the owners that go out of scope between
// the call and the caller's ::GetLastError().
TEST(Owners, ClosingKeepsTheCallersLastError) {
    {
        // A value that is no handle: its close fails and sets an error.
        Owners::UniqueHandle bogus(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7FF0)));
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        bogus.reset();
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        bogus.reset(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7FF4)));
        ::SetLastError(ERROR_ACCESS_DENIED);
    }
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "the destructor";

    Counted object;
    {
        Owners::ComPtr<Counted> held(&object);
        ::SetLastError(ERROR_PATH_NOT_FOUND);
    }
    EXPECT_EQ(object.refs, 0);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST(Owners, ReferencesAreBorrowedCopiedAndHandedOver) {
    Counted object;
    {
        auto borrowed = Owners::ComPtr<Counted>::Borrow(&object);
        EXPECT_EQ(object.refs, 2);
        Owners::ComPtr<Counted> copy = borrowed;
        EXPECT_EQ(object.refs, 3);
        Owners::ComPtr<Counted> moved = std::move(copy);
        EXPECT_EQ(object.refs, 3);
        Counted* handed = moved.release();
        EXPECT_EQ(handed, &object);
        EXPECT_FALSE(moved);
        EXPECT_EQ(object.refs, 3) << "the reference went with the pointer";
        handed->Release();
    }
    EXPECT_EQ(object.refs, 1);
    EXPECT_FALSE(Owners::ComPtr<Counted>::Borrow(nullptr));
}
