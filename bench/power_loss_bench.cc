// Long run of simulated power cuts (see tests/cpp/store/power_loss_harness.h):
//   power_loss_bench [rounds=1000] [seed=1]
// Prints rounds, acknowledged changes, rounds where the change cut short
// turned out durable, and rounds that lost an acknowledged change.
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "store/power_loss_harness.h"

int main(int argc, char** argv) {
  using namespace karvalith;
  const long rounds = argc > 1 ? std::atol(argv[1]) : 1000;
  const unsigned long long seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
  std::string root = (std::filesystem::temp_directory_path() / "kv-power-XXXXXX").string();
  if (::mkdtemp(root.data()) == nullptr) return 2;
  const std::string dir = root + "/data";
  std::filesystem::create_directories(dir);

  std::mt19937_64 rng(seed);
  power_loss::Model model;
  power_loss::Stats stats;
  const auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < rounds; ++i) power_loss::run_round(dir, rng, model, stats);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::size_t documents = 0;
  for (const auto& [name, docs] : model) documents += docs.size();
  for (const std::string& failure : stats.failures) std::printf("FAILURE %s\n", failure.c_str());
  std::printf("rounds %llu, acknowledged changes %llu, in-flight change kept %llu, rounds that lost data %llu, "
              "documents at the end %zu, %.1f s\n",
              static_cast<unsigned long long>(stats.rounds), static_cast<unsigned long long>(stats.acknowledged),
              static_cast<unsigned long long>(stats.in_flight_kept), static_cast<unsigned long long>(stats.lost),
              documents, seconds);
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
  return stats.lost == 0 ? 0 : 1;
}
