// Rounds of random changes to a data directory, each ended by a simulated
// power cut (testing/power_loss_file_system.h) at a random moment, then a reopen that must hold
// every acknowledged change. Shared by the short test run and the long
// benchmark run.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/store/store.h"
#include "testing/power_loss_file_system.h"

namespace karvalith::power_loss {

// Collection -> document id -> text.
using Model = std::map<std::string, std::map<std::string, std::string>>;

struct Stats {
  std::uint64_t rounds = 0;
  std::uint64_t acknowledged = 0;  // changes that returned success
  std::uint64_t lost = 0;          // rounds whose reopened state was not the acknowledged one
  std::uint64_t in_flight_kept = 0;  // rounds where the change cut short turned out durable
  std::vector<std::string> failures;
};

inline Model read_model(const Database& database) {
  Model all;
  for (const std::string& name : database.list_collections()) {
    auto& docs = all[name];
    auto state = database.get_collection(name)->state().read();
    state->documents.for_each_slot([&](std::uint32_t slot) {
      docs[state->internal_to_uuid[slot].to_string()] = std::string(state->documents.text(slot));
    });
  }
  return all;
}

inline std::vector<float> embedding(std::uint64_t n) {
  return {1.0f + static_cast<float>(n % 13), 0.5f, -0.25f * static_cast<float>(n % 7), 2.0f};
}

// One round: opens `dir` (checking the state against `model`), makes
// random changes until the cut, applies it. Updates `model` and `stats`.
inline void run_round(const std::string& dir, std::mt19937_64& rng, Model& model, Stats& stats) {
  ++stats.rounds;
  const CheckpointPolicy policy{4096, 25};  // small, so automatic checkpoints happen too
  const std::uint64_t crash_at = 1 + rng() % 120;
  const std::uint64_t round = stats.rounds;

  // The change cut short, applied to a copy of the model: the reopened state
  // may hold it or not.
  std::function<void(Model&)> in_flight = [](Model&) {};
  testing::PowerLossFileSystem power(default_file_system(), testing::PowerLossPlan{dir, crash_at, rng()});
  {
    auto opened = Store::open(dir, nullptr, policy, nullptr, power);
    if (opened) {
      std::shared_ptr<Store> db = std::move(*opened);
      for (std::uint64_t step = 0; step < 200 && !power.lost(); ++step) {
        const std::uint64_t pick = rng() % 100;
        const std::string name = rng() % 4 == 0 ? "b" : "a";
        std::function<void(Model&)> effect;
        bool ok = false;
        if (!model.contains(name) || pick < 3) {
          const bool exists = model.contains(name);
          if (exists) {
            ok = db->delete_collection(name).has_value();
            effect = [name](Model& m) { m.erase(name); };
          } else {
            ok = db->create_collection(name, 4, CollectionOptions{}).has_value();
            effect = [name](Model& m) { m[name]; };
          }
        } else if (pick < 55) {
          const std::uint64_t n = rng();
          Document document = *Document::create("doc " + std::to_string(n), {});
          const std::string id = document.id.to_string();
          auto inserted = db->insert(name, NewDocument{document.id, document.text, {}, embedding(n)});
          ok = inserted.has_value();
          effect = [name, id, text = document.text](Model& m) { m[name][id] = text; };
        } else if (pick < 70) {
          std::vector<NewDocument> batch;
          std::vector<std::pair<std::string, std::string>> added;
          for (std::uint64_t i = 0, count = 2 + rng() % 6; i < count; ++i) {
            const std::uint64_t n = rng();
            Document document = *Document::create("batch " + std::to_string(n), {});
            added.emplace_back(document.id.to_string(), document.text);
            batch.push_back(NewDocument{document.id, document.text, {}, embedding(n)});
          }
          ok = db->batch_insert(name, std::move(batch)).has_value();
          effect = [name, added](Model& m) {
            for (const auto& [id, text] : added) m[name][id] = text;
          };
        } else if (pick < 85) {
          if (model[name].empty()) continue;
          auto victim = model[name].begin();
          std::advance(victim, static_cast<std::ptrdiff_t>(rng() % model[name].size()));
          const std::string id = victim->first;
          ok = db->delete_document(name, *Uuid::parse(id)).has_value();
          effect = [name, id](Model& m) { m[name].erase(id); };
        } else if (pick < 93) {
          ok = db->save(name, std::nullopt, nullptr).has_value();
          effect = [](Model&) {};
        } else {
          ok = db->compact().has_value();
          effect = [](Model&) {};
        }
        if (ok) {
          effect(model);
          ++stats.acknowledged;
        } else {
          in_flight = effect;
          break;
        }
      }
    }
  }
  if (Status applied = power.apply(); !applied) {
    stats.failures.push_back("round " + std::to_string(round) + ": " + applied.error().message);
    ++stats.lost;
    return;
  }

  auto reopened = Store::open(dir, nullptr, policy);
  if (!reopened) {
    stats.failures.push_back("round " + std::to_string(round) + ": reopen failed: " + reopened.error().message);
    ++stats.lost;
    return;
  }
  if (std::string reason = (*reopened)->read_only_reason(); !reason.empty()) {
    stats.failures.push_back("round " + std::to_string(round) + ": reopened read-only: " + reason);
    ++stats.lost;
    return;
  }
  const Model got = read_model((*reopened)->database());
  Model with_in_flight = model;
  in_flight(with_in_flight);
  if (got == model) return;
  if (got == with_in_flight) {
    ++stats.in_flight_kept;
    model = with_in_flight;
    return;
  }
  std::size_t missing = 0;
  for (const auto& [name, docs] : model) {
    auto found = got.find(name);
    for (const auto& [id, text] : docs) {
      if (found == got.end() || !found->second.contains(id)) ++missing;
    }
  }
  stats.failures.push_back("round " + std::to_string(round) + " (cut at operation " + std::to_string(crash_at) +
                           "): the reopened state differs from the acknowledged one; " + std::to_string(missing) +
                           " acknowledged documents missing");
  ++stats.lost;
  model = got;  // go on from what is there
}

}  // namespace karvalith::power_loss
