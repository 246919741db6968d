#include "testing/fault_file_system.h"

#include <fcntl.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "core/files/file_io.h"
#include "testing/temp_dir_test.h"

namespace karvalith {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using testing::FaultInjectingFileSystem;
using testing::FileOp;
using testing::ScopedFileFault;

class FaultFileSystemTest : public testing::TempDirTest {
 protected:

  std::unique_ptr<WritableFile> create(const std::string& name) {
    auto file = files_.open_writable(dir_ / name, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_TRUE(file.has_value());
    return file ? std::move(*file) : nullptr;
  }

  FaultInjectingFileSystem files_;
};

TEST_F(FaultFileSystemTest, InjectedFaultsFailTheChosenCalls) {
  std::unique_ptr<WritableFile> file = create("f");
  {
    ScopedFileFault fault(files_, {.op = FileOp::Write, .error = ENOSPC, .succeed_first = 2});
    EXPECT_TRUE(file->append(Bytes{1}).has_value());
    EXPECT_TRUE(file->append(Bytes{2}).has_value());
    auto third = file->append(Bytes{3});
    ASSERT_FALSE(third.has_value());
    EXPECT_EQ(third.error().message, "No space left on device (os error 28)");
    EXPECT_TRUE(file->append(Bytes{4}).has_value());  // fail_count 1: only once
    EXPECT_TRUE(file->sync().has_value());              // other ops unaffected
  }
  EXPECT_EQ(*read_file(dir_ / "f"), (Bytes{1, 2, 4}));

  {
    ScopedFileFault fault(files_, {.op = FileOp::Sync, .error = EIO, .fail_count = 0});
    EXPECT_EQ(file->sync().error().message, "Input/output error (os error 5)");
    EXPECT_FALSE(file->sync().has_value());  // every call while armed
  }
  EXPECT_TRUE(file->sync().has_value());  // cleared with the scope

  {
    ScopedFileFault fault(files_, {.op = FileOp::Write, .error = EIO, .partial_write = true});
    EXPECT_FALSE(file->append(Bytes(10, 9)).has_value());
  }
  EXPECT_EQ(read_file(dir_ / "f")->size(), 3u + 5u);  // half the buffer reached the file

  files_.inject({.op = FileOp::Truncate, .error = EIO});
  files_.inject({.op = FileOp::Rename, .error = ENOSPC});
  EXPECT_FALSE(file->truncate(0).has_value());
  EXPECT_FALSE(files_.rename(dir_ / "f", dir_ / "g").has_value());
  EXPECT_TRUE(fs::exists(dir_ / "f"));
  files_.clear();
  EXPECT_TRUE(files_.rename(dir_ / "f", dir_ / "g").has_value());
}

TEST_F(FaultFileSystemTest, ASyncFaultFailsDirectorySyncsButNotAMissingDirectory) {
  ScopedFileFault fault(files_, {.op = FileOp::Sync, .error = EIO, .succeed_first = 1});
  // A directory that cannot be opened fails before its fsync, which the
  // fault does not count.
  EXPECT_EQ(files_.sync_directory(dir_ / "gone").error().message, "No such file or directory (os error 2)");
  EXPECT_TRUE(files_.sync_directory(dir_).has_value());
  EXPECT_EQ(files_.sync_directory(dir_).error().message, "Input/output error (os error 5)");
  EXPECT_TRUE(files_.sync_directory(dir_).has_value());
  // Faults belong to their file system: the one underneath is unaffected.
  files_.inject({.op = FileOp::Sync, .error = EIO, .fail_count = 0});
  EXPECT_FALSE(files_.sync_directory(dir_).has_value());
  EXPECT_TRUE(default_file_system().sync_directory(dir_).has_value());
}

TEST_F(FaultFileSystemTest, PosixCallsDoWhatTheySay) {
  FileSystem& posix = default_file_system();
  {
    auto file = posix.open_writable(dir_ / "a", O_WRONLY | O_APPEND | O_CREAT, 0600);
    ASSERT_TRUE(file.has_value());
    ASSERT_TRUE((*file)->append(Bytes{1, 2, 3}).has_value());
    ASSERT_TRUE((*file)->sync().has_value());
    EXPECT_EQ(*(*file)->size(), 3u);
    EXPECT_TRUE((*file)->require_regular().has_value());
    ASSERT_TRUE((*file)->truncate(2).has_value());
    ASSERT_TRUE((*file)->close().has_value());
  }
  ASSERT_TRUE(posix.link(dir_ / "a", dir_ / "b").has_value());
  ASSERT_TRUE(posix.rename(dir_ / "a", dir_ / "c").has_value());
  ASSERT_TRUE(posix.remove(dir_ / "missing").has_value());
  ASSERT_TRUE(posix.create_directories(dir_ / "d" / "e", 0777).has_value());
  auto names = posix.list(dir_);
  ASSERT_TRUE(names.has_value());
  std::sort(names->begin(), names->end());
  EXPECT_EQ(*names, (std::vector<std::string>{"b", "c", "d"}));
  EXPECT_EQ(*read_file(dir_ / "b"), (Bytes{1, 2}));
  EXPECT_EQ(posix.list(dir_ / "missing").error().message, "No such file or directory (os error 2)");

  auto held = posix.lock_directory(dir_);
  ASSERT_TRUE(held.has_value());
  auto second = posix.lock_directory(dir_);
  ASSERT_FALSE(second.has_value());
  EXPECT_EQ(second.error().kind, ErrorKind::Busy);
}

}  // namespace
}  // namespace karvalith
