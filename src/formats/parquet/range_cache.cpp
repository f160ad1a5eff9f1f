// The byte ranges of a file read by ranges: what is held, joined where
// ranges touch, and the reads of what is not held yet.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <thread>

#include "reader_internal.hpp"

namespace quorin_data::formats {

namespace pq {

std::pair<RangeCache::Buffer, std::size_t> RangeCache::find_locked(std::uint64_t off, std::size_t len) const {
  auto it = held.upper_bound(off);
  if (it == held.begin()) return {nullptr, 0};
  --it;
  if (it->first + it->second->size() < off + len) return {nullptr, 0};
  return {it->second, static_cast<std::size_t>(off - it->first)};
}

void RangeCache::insert_locked(std::uint64_t off, std::vector<std::uint8_t> bytes) {
  std::uint64_t lo = off, hi = off + bytes.size();
  auto first = held.upper_bound(off);
  if (first != held.begin() && std::prev(first)->first + std::prev(first)->second->size() >= off) --first;
  auto last = first;
  while (last != held.end() && last->first <= hi) ++last;
  if (first == last) {
    held.emplace(off, std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes)));
    return;
  }
  lo = std::min(lo, first->first);
  for (auto it = first; it != last; ++it) hi = std::max<std::uint64_t>(hi, it->first + it->second->size());
  auto joined = std::make_shared<std::vector<std::uint8_t>>(static_cast<std::size_t>(hi - lo));
  for (auto it = first; it != last; ++it)
    std::memcpy(joined->data() + (it->first - lo), it->second->data(), it->second->size());
  if (!bytes.empty()) std::memcpy(joined->data() + (off - lo), bytes.data(), bytes.size());
  held.erase(first, last);
  held.emplace(lo, std::move(joined));
}

namespace {

void check_length(std::uint64_t off, std::size_t len, const std::vector<std::uint8_t>& b, const Place& place) {
  if (b.size() != len)
    place.fail("range read of " + std::to_string(len) + " bytes at offset " + std::to_string(off) + " returned " +
               std::to_string(b.size()) + " bytes");
}

}  // namespace

std::vector<std::uint8_t> RangeCache::read_exact(std::uint64_t off, std::size_t len, const Place& place) {
  std::vector<std::uint8_t> b = src->read(off, len);
  check_length(off, len, b, place);
  fetched += len;
  return b;
}

void RangeCache::fetch(std::vector<std::pair<std::uint64_t, std::uint64_t>> spans, const Place& place) {
  std::lock_guard<std::mutex> one_at_a_time(fetch_mu);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> runs;
  {
    std::lock_guard<std::mutex> lock(mu);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> missing;
    for (const auto& [b, e] : spans) {
      std::uint64_t pos = b;
      auto it = held.upper_bound(pos);
      if (it != held.begin()) --it;
      for (; it != held.end() && pos < e; ++it) {
        const std::uint64_t hb = it->first, he = hb + it->second->size();
        if (he <= pos) continue;
        if (hb >= e) break;
        if (hb > pos) missing.emplace_back(pos, hb);
        pos = std::max(pos, he);
      }
      if (pos < e) missing.emplace_back(pos, e);
    }
    std::sort(missing.begin(), missing.end());
    for (const auto& m : missing) {
      if (!runs.empty() && m.first <= runs.back().second + max_gap)
        runs.back().second = std::max(runs.back().second, m.second);
      else
        runs.push_back(m);
    }
  }
  if (runs.empty()) return;
  // The reads run without the cache's lock, so that decoding from held
  // ranges goes on meanwhile. Every read finishes, then the first failure in
  // file order is reported and nothing is kept.
  std::vector<std::vector<std::uint8_t>> got(runs.size());
  std::vector<std::exception_ptr> errors(runs.size());
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < runs.size();) {
      try {
        got[i] = src->read(runs[i].first, static_cast<std::size_t>(runs[i].second - runs[i].first));
      } catch (...) {
        errors[i] = std::current_exception();
        if (src->concurrent_reads() <= 1) break;  // one at a time: stop at the first failure
      }
    }
  };
  const std::size_t workers = std::min(runs.size(), std::max<std::size_t>(src->concurrent_reads(), 1));
  std::vector<std::thread> threads;
  threads.reserve(workers - 1);
  for (std::size_t k = 1; k < workers; ++k) threads.emplace_back(work);
  work();
  for (auto& t : threads) t.join();
  for (std::size_t i = 0; i < runs.size(); ++i) {
    if (errors[i]) std::rethrow_exception(errors[i]);
    check_length(runs[i].first, static_cast<std::size_t>(runs[i].second - runs[i].first), got[i], place);
  }
  std::lock_guard<std::mutex> lock(mu);
  for (std::size_t i = 0; i < runs.size(); ++i) {
    fetched += got[i].size();
    insert_locked(runs[i].first, std::move(got[i]));
  }
}

std::pair<RangeCache::Buffer, std::size_t> RangeCache::get(std::uint64_t off, std::size_t len, const Place& place) {
  {
    std::lock_guard<std::mutex> lock(mu);
    auto hit = find_locked(off, len);
    if (hit.first) return hit;
  }
  fetch({{off, off + len}}, place);
  std::lock_guard<std::mutex> lock(mu);
  auto hit = find_locked(off, len);
  if (!hit.first) place.fail("bytes at offset " + std::to_string(off) + " were not fetched");
  return hit;
}

}  // namespace pq

const std::uint8_t* ParquetFile::Impl::bytes_at(std::uint64_t offset, std::size_t length, const pq::Place& place,
                                                pq::RangeCache::Buffer& keep) const {
  if (!ranges) return data + offset;
  auto [buf, pos] = ranges->get(offset, length, place);
  keep = std::move(buf);
  return keep->data() + pos;
}

}  // namespace quorin_data::formats
