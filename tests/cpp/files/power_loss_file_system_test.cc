#include "testing/power_loss_file_system.h"

#include <fcntl.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/files/file_io.h"
#include "testing/temp_dir_test.h"

namespace karvalith {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using testing::PowerLossFileSystem;
using testing::PowerLossPlan;

class PowerLossFileSystemTest : public testing::TempDirTest {
 protected:
};

TEST_F(PowerLossFileSystemTest, AFileRenamedAfterItsFsyncKeepsWhatTheFsyncMadeDurable) {
  PowerLossFileSystem power(default_file_system(), PowerLossPlan{dir_, 100, 3});
  auto file = power.open_writable(dir_ / "a.tmp", O_WRONLY | O_CREAT | O_TRUNC, 0600);  // 1
  ASSERT_TRUE(file);
  ASSERT_TRUE((*file)->append(Bytes{1, 2}));                // 2
  ASSERT_TRUE((*file)->sync());                             // 3
  ASSERT_TRUE(power.rename(dir_ / "a.tmp", dir_ / "a"));    // 4
  ASSERT_TRUE(power.sync_directory(dir_));                  // 5: "a" is durable
  ASSERT_TRUE((*file)->append(Bytes{3}));                   // 6: never synced
  ASSERT_TRUE(power.open_writable(dir_ / "b", O_WRONLY | O_CREAT, 0600));  // 7: its name never synced
  file->reset();
  EXPECT_FALSE(power.lost());
  ASSERT_TRUE(power.apply());
  EXPECT_FALSE(fs::exists(dir_ / "a.tmp"));
  EXPECT_FALSE(fs::exists(dir_ / "b"));
  const Bytes bytes = *read_file(dir_ / "a");
  ASSERT_GE(bytes.size(), 2u);
  ASSERT_LE(bytes.size(), 3u);
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 2), (Bytes{1, 2}));
}

TEST_F(PowerLossFileSystemTest, CreatingTheLockFileCanBeTheCut) {
  PowerLossFileSystem power(default_file_system(), PowerLossPlan{dir_, 1, 0});
  auto locked = power.lock_directory(dir_);
  ASSERT_FALSE(locked);
  EXPECT_EQ(locked.error().message, "cannot lock data directory '" + dir_.string() + "': opening '" +
                                        (dir_ / "LOCK").string() + "': Input/output error (os error 5)");
  EXPECT_TRUE(power.lost());
  EXPECT_FALSE(fs::exists(dir_ / "LOCK"));
  // Every later change there fails too; elsewhere calls pass through.
  EXPECT_FALSE(power.open_writable(dir_ / "x", O_WRONLY | O_CREAT, 0600));
  EXPECT_TRUE(power.create_directories(dir_ / "sub", 0777));
  EXPECT_TRUE(power.open_writable(dir_ / "sub" / "y", O_WRONLY | O_CREAT, 0600));
  ASSERT_TRUE(power.apply());
  EXPECT_TRUE(default_file_system().lock_directory(dir_));  // the POSIX lock, after the cut
}

}  // namespace
}  // namespace karvalith
