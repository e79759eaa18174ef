// PEP 440 throughput: sorting version texts and matching (specifier set, version) pairs, both
// starting from text, as a caller holding index data would. Input is the JSON file written by
// run_bench.py; output is one JSON object with microseconds per item.
#include "indexscout/pep440.hpp"

#include <boost/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <sstream>

namespace {

using indexscout::pep440::SpecifierSet;
using indexscout::pep440::Version;
using Clock = std::chrono::steady_clock;

std::uint64_t fnv1a(std::uint64_t h, std::string_view s) {
  for (unsigned char c : s) h = (h ^ c) * 0x100000001b3ULL;
  return h;
}

template <class F>
double best_of(int rounds, F&& f) {
  double best = 1e300;
  for (int r = 0; r < rounds; ++r) {
    auto start = Clock::now();
    f();
    best = std::min(best, std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: indexscout_bench INPUT.json\n";
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  boost::json::value doc = boost::json::parse(ss.str());
  std::vector<std::string> texts;
  for (const auto& v : doc.at("versions").as_array()) texts.emplace_back(v.as_string());
  std::vector<std::pair<std::string, std::string>> pairs;
  for (const auto& p : doc.at("pairs").as_array())
    pairs.emplace_back(p.as_array()[0].as_string(), p.as_array()[1].as_string());

  // Sort: parse every text, then a stable sort by version (like sorted(texts, key=Version)).
  std::vector<std::uint32_t> order;
  const double sort_us = best_of(20, [&] {
    std::vector<Version> parsed;
    parsed.reserve(texts.size());
    for (const std::string& t : texts) parsed.emplace_back(t);
    order.resize(texts.size());
    for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return parsed[a] < parsed[b]; });
  });
  std::uint64_t digest = 0xcbf29ce484222325ULL;
  for (std::uint32_t i : order) digest = fnv1a(fnv1a(digest, texts[i]), "\n");

  // Match: SpecifierSet(spec).contains(version) for every pair, both parsed from text.
  std::size_t matches = 0;
  const double match_us = best_of(5, [&] {
    matches = 0;
    for (const auto& [spec, version] : pairs) matches += SpecifierSet(spec).contains(Version(version)) ? 1 : 0;
  });

  boost::json::object out;
  out["sort_us_per_item"] = sort_us / static_cast<double>(texts.size());
  out["match_us_per_item"] = match_us / static_cast<double>(pairs.size());
  out["sorted_digest"] = std::to_string(digest);
  out["matches"] = matches;
  std::cout << boost::json::serialize(out) << "\n";
  return 0;
}
