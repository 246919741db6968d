// A short run of simulated power cuts at random moments of inserts,
// batches, deletes, saves, compacts and automatic checkpoints; the long run
// is bench/power_loss_bench.cc.
#include <fcntl.h>

#include "store/durable_test_util.h"
#include "store/power_loss_harness.h"

namespace karvalith {
namespace {

using namespace durable_testing;

class PowerLossTest : public DataDirTest {};

TEST_F(PowerLossTest, EveryAcknowledgedChangeSurvivesACutAtARandomMoment) {
  std::mt19937_64 rng(20261208);
  power_loss::Model model;
  power_loss::Stats stats;
  fs::create_directories(dir_);
  for (int round = 0; round < 40; ++round) power_loss::run_round(dir_, rng, model, stats);
  for (const std::string& failure : stats.failures) ADD_FAILURE() << failure;
  EXPECT_EQ(stats.lost, 0u);
  EXPECT_GT(stats.acknowledged, 200u);
}

TEST_F(PowerLossTest, UnsyncedDataIsDroppedAndUnsyncedNamesVanish) {
  fs::create_directories(dir_);
  const fs::path kept = fs::path(dir_) / "kept";
  {
    auto file = FileHandle::open(kept, O_WRONLY | O_CREAT, 0600);
    ASSERT_TRUE(file && file->write_all(std::vector<std::uint8_t>{1, 2, 3}));
  }
  testing::PowerLossFileSystem power(default_file_system(), testing::PowerLossPlan{dir_, 4, 1});
  {
    auto file = power.open_writable(kept, O_WRONLY | O_APPEND);
    ASSERT_TRUE(file);
    ASSERT_TRUE((*file)->append(std::vector<std::uint8_t>{4}));  // 1
    ASSERT_TRUE((*file)->sync());                                 // 2: durable
    auto fresh = power.open_writable(fs::path(dir_) / "fresh", O_WRONLY | O_CREAT, 0600);  // 3: name never synced
    ASSERT_TRUE(fresh);
    EXPECT_FALSE((*file)->append(std::vector<std::uint8_t>{5, 6}));  // 4: the cut, unsynced
    EXPECT_TRUE(power.lost());
    EXPECT_FALSE((*file)->sync());
  }
  ASSERT_TRUE(power.apply());
  EXPECT_FALSE(fs::exists(fs::path(dir_) / "fresh"));
  const auto bytes = *read_file(kept);
  ASSERT_GE(bytes.size(), 4u);
  ASSERT_LE(bytes.size(), 6u);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 4), (std::vector<std::uint8_t>{1, 2, 3, 4}));
}

}  // namespace
}  // namespace karvalith
