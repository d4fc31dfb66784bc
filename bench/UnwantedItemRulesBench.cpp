// Cost of judging one name against the built-in rule lists: the local list (42 rules, six of
// them regular expressions) and the list for names from the cloud, which a listing applies to
// every child. Names are a mix of ordinary and unwanted ones of realistic lengths.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "common/UnwantedItemRules.hpp"

using namespace tarnix::common;

namespace {

std::vector<std::string> names() {
  std::vector<std::string> result;
  for (int i = 0; i < 1000; ++i) {
    switch (i % 5) {
      case 0:
        result.push_back("Quarterly report " + std::to_string(i) + ".docx");
        break;
      case 1:
        result.push_back("IMG_" + std::to_string(100000 + i) + ".JPG");
        break;
      case 2:
        result.push_back("~$budget " + std::to_string(i) + ".xlsx");
        break;
      case 3:
        result.push_back("Project notes " + std::to_string(i));
        break;
      default:
        result.push_back("._photo" + std::to_string(i) + ".heic");
        break;
    }
  }
  return result;
}

void judge(benchmark::State& state, const UnwantedItemRules& rules) {
  const auto all = names();
  size_t unwanted = 0;
  for (auto _ : state) {
    for (const auto& name : all) unwanted += rules.matches(name, ItemType::file);
  }
  benchmark::DoNotOptimize(unwanted);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * all.size()));
}

void BM_DefaultRules(benchmark::State& state) {
  judge(state, UnwantedItemRules::defaultRules());
}
void BM_CloudFSRules(benchmark::State& state) {
  judge(state, UnwantedItemRules::cloudFSRules());
}
BENCHMARK(BM_DefaultRules);
BENCHMARK(BM_CloudFSRules);

}  // namespace

BENCHMARK_MAIN();
