#include "core/quantization/pq.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "core/common/os_random.h"
#include "core/quantization/scalar.h"

namespace karvalith {

namespace {

constexpr std::uint64_t SEED_MIX = 0x517cc1b727220a95ULL;
constexpr int LLOYD_ITERATIONS = 20;
constexpr double UNIFORM_BELOW = 1e-30;
constexpr double TWO_POW_MINUS_53 = 0x1p-53;

std::uint64_t xorshift(std::uint64_t x) {
  x ^= x << 13;
  x ^= x >> 7;
  x ^= x << 17;
  return x;
}

// Fixed for the life of the process, different between runs: training is
// reproducible within a process only.
std::uint64_t process_seed_value() {
  static const std::uint64_t value = os_random_u64();
  return value;
}

// Index of the nearest of k centroids; the first of equal minima wins and an
// all-NaN row falls to index 0.
std::size_t nearest_centroid(const float* x, const float* centroids, std::size_t k,
                             std::size_t dim) {
  float best = LARGEST_F32;
  std::size_t best_index = 0;
  for (std::size_t c = 0; c < k; ++c) {
    float e = portable_euclidean_sq_f32(x, centroids + c * dim, dim);
    if (e < best) {
      best = e;
      best_index = c;
    }
  }
  return best_index;
}

}  // namespace

// k-means++: the first centroid is sub-vector (seed mod count), each further
// one is drawn with probability proportional to its squared distance to the
// nearest centroid chosen so far. Bad scratch sizes leave centroids as given.
void kmeans_seed(std::span<const float> subs, std::size_t dim, std::size_t k,
                 std::uint64_t seed, std::span<float> nearest, std::span<float> centroids) {
  const std::size_t count = nearest.size();
  if (count == 0 || k == 0 || subs.size() < count * dim || centroids.size() < k * dim) return;
  const float* sub = subs.data();
  float* dist = nearest.data();
  float* cent = centroids.data();
  std::uint64_t x = seed;
  std::memcpy(cent, sub + (x % count) * dim, dim * sizeof(float));
  std::fill(nearest.begin(), nearest.end(), LARGEST_F32);
  for (std::size_t c = 1; c < k; ++c) {
    const float* previous = cent + (c - 1) * dim;
    double total = 0.0;
    for (std::size_t j = 0; j < count; ++j) {
      float e = portable_euclidean_sq_f32(sub + j * dim, previous, dim);
      if (e < dist[j]) dist[j] = e;
      total += static_cast<double>(dist[j]);
    }
    x = xorshift(x);
    std::size_t pick = count - 1;
    if (total < UNIFORM_BELOW) {
      pick = static_cast<std::size_t>(x % count);
    } else {
      double target = static_cast<double>(x >> 11) * TWO_POW_MINUS_53 * total;
      double running = 0.0;
      for (std::size_t j = 0; j < count; ++j) {
        running += static_cast<double>(dist[j]);
        if (running >= target) {
          pick = j;
          break;
        }
      }
    }
    std::memcpy(cent + c * dim, sub + pick * dim, dim * sizeof(float));
  }
}

// Lloyd iterations: assign to the nearest centroid, move each centroid to the
// mean of its members; one without members becomes the zero vector.
void kmeans_refine(std::span<const float> subs, std::size_t dim, std::size_t k,
                   std::span<std::uint32_t> assignment, std::span<std::uint32_t> members,
                   std::span<float> centroids) {
  const std::size_t count = assignment.size();
  if (k == 0 || subs.size() < count * dim || members.size() < k || centroids.size() < k * dim) {
    return;
  }
  const float* sub = subs.data();
  float* cent = centroids.data();
  for (int iteration = 0; iteration < LLOYD_ITERATIONS; ++iteration) {
    for (std::size_t j = 0; j < count; ++j) {
      auto nearest = nearest_centroid(sub + j * dim, cent, k, dim);
      assignment[j] = static_cast<std::uint32_t>(nearest);
    }
    std::fill(cent, cent + k * dim, 0.0f);
    std::fill(members.begin(), members.begin() + static_cast<std::ptrdiff_t>(k), 0u);
    for (std::size_t j = 0; j < count; ++j) {
      float* target = cent + assignment[j] * dim;
      const float* x = sub + j * dim;
      for (std::size_t i = 0; i < dim; ++i) target[i] += x[i];
      ++members[assignment[j]];
    }
    for (std::size_t c = 0; c < k; ++c) {
      if (members[c] == 0) continue;
      float inv = 1.0f / static_cast<float>(members[c]);
      float* centroid = cent + c * dim;
      for (std::size_t i = 0; i < dim; ++i) centroid[i] *= inv;
    }
  }
}

Result<PqCodebook> PqCodebook::train(std::span<const float> data, std::uint64_t d,
                                     std::uint64_t num_subspaces) {
  if (d == 0 || num_subspaces == 0) {
    return make_error(ErrorKind::Internal, "attempt to divide by zero");
  }
  if (d % num_subspaces != 0) {
    return make_error(ErrorKind::Internal, "dimension must be divisible by num_subspaces");
  }
  if (data.size() < d) {
    return make_error(ErrorKind::Internal, "need at least one vector to train PQ");
  }

  const std::size_t count = data.size() / d;
  const std::size_t sd = d / num_subspaces;
  const std::size_t k = std::min<std::size_t>(count, PQ_CENTROIDS);

  PqCodebook book;
  book.num_subspaces = num_subspaces;
  book.num_centroids = PQ_CENTROIDS;
  book.subspace_dim = sd;
  book.centroids.assign(num_subspaces * PQ_CENTROIDS * sd, 0.0f);

  const std::uint64_t seed = xorshift(SEED_MIX ^ process_seed_value());

  // Scratch reused by every sub-space: the extracted sub-vectors and the
  // working centroids, plus the per-vector and per-centroid bookkeeping.
  std::vector<float> subs(count * sd);
  std::vector<float> working(k * sd);
  std::vector<float> nearest;
  std::vector<std::uint32_t> assignment;
  std::vector<std::uint32_t> members;
  if (count > PQ_CENTROIDS) {
    nearest.resize(count);
    assignment.resize(count);
    members.resize(k);
  }

  for (std::size_t s = 0; s < num_subspaces; ++s) {
    for (std::size_t j = 0; j < count; ++j) {
      std::memcpy(subs.data() + j * sd, data.data() + j * d + s * sd, sd * sizeof(float));
    }
    if (count <= PQ_CENTROIDS) {
      std::copy(subs.begin(), subs.end(), working.begin());
    } else {
      kmeans_seed(subs, sd, k, seed, nearest, working);
      kmeans_refine(subs, sd, k, assignment, members, working);
    }
    std::copy(working.begin(), working.end(),
              book.centroids.begin() + static_cast<std::ptrdiff_t>(s * PQ_CENTROIDS * sd));
  }
  return book;
}

bool PqCodebook::is_consistent() const {
  if (num_centroids != PQ_CENTROIDS) return false;
  std::uint64_t per_subspace = 0;
  std::uint64_t total = 0;
  std::uint64_t table_size = 0;
  if (__builtin_mul_overflow(num_centroids, subspace_dim, &per_subspace)) return false;
  if (__builtin_mul_overflow(per_subspace, num_subspaces, &total)) return false;
  // The distance table holds num_subspaces * num_centroids entries.
  if (__builtin_mul_overflow(num_subspaces, num_centroids, &table_size)) return false;
  return total == centroids.size();
}

Status PqCodebook::encode_into(std::span<const float> v, std::vector<std::uint8_t>& out) const {
  if (!is_consistent()) {
    return make_error(ErrorKind::Internal, "PQ codebook sizes do not match its centroids");
  }
  // is_consistent bounds num_subspaces * subspace_dim by the centroid count.
  if (v.size() < num_subspaces * subspace_dim) {
    return make_error(ErrorKind::Internal, "vector is shorter than the PQ codebook expects");
  }
  const std::size_t sd = subspace_dim;
  for (std::size_t s = 0; s < num_subspaces; ++s) {
    const float* block = centroids.data() + s * PQ_CENTROIDS * sd;
    std::size_t c = nearest_centroid(v.data() + s * sd, block, PQ_CENTROIDS, sd);
    out.push_back(static_cast<std::uint8_t>(c));
  }
  return {};
}

Result<std::vector<std::uint8_t>> PqCodebook::encode(std::span<const float> v) const {
  std::vector<std::uint8_t> out;
  out.reserve(num_subspaces <= v.size() ? num_subspaces : 0);
  if (auto status = encode_into(v, out); !status) return std::unexpected(status.error());
  return out;
}

Result<std::vector<std::uint8_t>> PqCodebook::encode_batch(std::span<const float> data,
                                                           std::uint64_t d) const {
  if (d == 0) return make_error(ErrorKind::Internal, "attempt to divide by zero");
  const std::size_t count = data.size() / d;
  std::vector<std::uint8_t> out;
  if (is_consistent() && num_subspaces <= d) out.reserve(count * num_subspaces);
  for (std::size_t j = 0; j < count; ++j) {
    if (auto status = encode_into(data.subspan(j * d, d), out); !status) {
      return std::unexpected(status.error());
    }
  }
  return out;
}

void build_distance_table(const PqCodebook& codebook, std::span<const float> query,
                          DistanceMetric metric, std::vector<float>& table) {
  if (!codebook.is_consistent() ||
      query.size() < codebook.num_subspaces * codebook.subspace_dim) {
    table.clear();
    return;
  }
  const std::size_t m = codebook.num_subspaces;
  const std::size_t sd = codebook.subspace_dim;
  table.resize(m * PQ_CENTROIDS);
  for (std::size_t s = 0; s < m; ++s) {
    const float* q = query.data() + s * sd;
    for (std::size_t c = 0; c < PQ_CENTROIDS; ++c) {
      const float* z = codebook.centroids.data() + (s * PQ_CENTROIDS + c) * sd;
      // Cosine shares the negated inner product with DotProduct.
      table[s * PQ_CENTROIDS + c] = metric == DistanceMetric::Euclidean
                                        ? portable_euclidean_sq_f32(q, z, sd)
                                        : -portable_dot_f32(q, z, sd);
    }
  }
}

}  // namespace karvalith
