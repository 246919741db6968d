#include "core/files/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "testing/temp_dir_test.h"

namespace karvalith {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

class FileIoTest : public testing::TempDirTest {
 protected:

  FileHandle create(const std::string& name) {
    auto file = FileHandle::open(dir_ / name, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_TRUE(file.has_value());
    return file ? std::move(*file) : FileHandle();
  }

};

TEST(OsError, CarriesTheSystemTextAndNumber) {
  EXPECT_EQ(os_error(ENOSPC).message, "No space left on device (os error 28)");
  EXPECT_EQ(os_error(EIO).message, "Input/output error (os error 5)");
  EXPECT_EQ(os_error(ENOSPC).kind, ErrorKind::Io);
}

TEST_F(FileIoTest, WriteSyncReadBack) {
  Bytes data(100000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  FileHandle file = create("a");
  ASSERT_TRUE(file.write_all(data).has_value());
  ASSERT_TRUE(file.write_all({}).has_value());
  ASSERT_TRUE(file.sync().has_value());
  EXPECT_EQ(*file.size(), data.size());
  ASSERT_TRUE(file.close().has_value());
  EXPECT_FALSE(file.is_open());
  EXPECT_EQ(*read_file(dir_ / "a"), data);

  FileHandle again = std::move(*FileHandle::open(dir_ / "a", O_WRONLY));
  ASSERT_TRUE(again.truncate(10).has_value());
  EXPECT_EQ(*read_file(dir_ / "a"), Bytes(data.begin(), data.begin() + 10));
}

TEST_F(FileIoTest, MissingFileReportsTheSystemError) {
  auto missing = read_file(dir_ / "nope");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind, ErrorKind::Io);
  EXPECT_EQ(missing.error().message, "No such file or directory (os error 2)");
  EXPECT_EQ(FileHandle::open(dir_ / "nope", O_WRONLY).error().message,
            "No such file or directory (os error 2)");
}

TEST_F(FileIoTest, RenameReplacesAndDirectorySyncWorks) {
  create("old").write_all(Bytes{1}).value();
  create("new").write_all(Bytes{2, 2}).value();
  ASSERT_TRUE(rename_path(dir_ / "new", dir_ / "old").has_value());
  EXPECT_EQ(*read_file(dir_ / "old"), (Bytes{2, 2}));
  EXPECT_FALSE(fs::exists(dir_ / "new"));
  EXPECT_TRUE(sync_directory(dir_).has_value());
  EXPECT_FALSE(sync_directory(dir_ / "gone").has_value());
}

TEST_F(FileIoTest, CreateDirectoriesWithModeAndExistingPaths) {
  const fs::path deep = dir_ / "x" / "y" / "z";
  ASSERT_TRUE(create_directories(deep, 0777).has_value());
  EXPECT_TRUE(fs::is_directory(deep));
  EXPECT_TRUE(create_directories(deep, 0777).has_value());          // already there
  EXPECT_TRUE(create_directories(dir_ / "x" / "w/", 0777).has_value());  // trailing slash
  ASSERT_TRUE(set_mode(deep, 0700).has_value());
  struct stat st;
  ASSERT_EQ(::stat(deep.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  create("file").write_all(Bytes{1}).value();
  auto over_file = create_directories(dir_ / "file", 0777);
  ASSERT_FALSE(over_file.has_value());
  EXPECT_EQ(over_file.error().message, "File exists (os error 17)");
  auto under_file = create_directories(dir_ / "file" / "sub", 0777);
  ASSERT_FALSE(under_file.has_value());
  EXPECT_EQ(under_file.error().message, "Not a directory (os error 20)");
  EXPECT_FALSE(set_mode(dir_ / "nope", 0600).has_value());
}

}  // namespace
}  // namespace karvalith
