#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "windows_file.hpp"

namespace {

// No test bed runs the rename by handle (Wine lacks it), so its request is held to the documented
// layout of FILE_RENAME_INFO here: short names, and names as long as the system allows.
TEST(RenameRequest, CarriesTheFlagsNoRootTheLengthInBytesAndTheNameTerminated) {
  for (const std::size_t length : {std::size_t{1}, std::size_t{20}, std::size_t{32767}}) {
    const std::wstring target = L"\\??\\C:\\" + std::wstring(length, L'x');
    const std::vector<unsigned char> request = rename_request(target);
    const std::size_t bytes = target.size() * sizeof(wchar_t);
    ASSERT_EQ(request.size(), offsetof(FILE_RENAME_INFO, FileName) + bytes + sizeof(wchar_t));
    FILE_RENAME_INFO header{};
    std::memcpy(&header, request.data(), offsetof(FILE_RENAME_INFO, FileName));
    EXPECT_EQ(header.Flags, RENAME_REPLACE_IF_EXISTS | RENAME_POSIX_SEMANTICS);
    EXPECT_EQ(header.RootDirectory, nullptr);
    EXPECT_EQ(header.FileNameLength, bytes);
    std::wstring name(target.size() + 1, L'?');
    std::memcpy(name.data(), request.data() + offsetof(FILE_RENAME_INFO, FileName),
                bytes + sizeof(wchar_t));
    EXPECT_EQ(name.substr(0, target.size()), target);
    EXPECT_EQ(name.back(), L'\0');
  }
}

}  // namespace
