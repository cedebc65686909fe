#include "decision.h"

#include <limits>
#include <thread>

#include "probability.h"

namespace vantrel_tools {

double decision_score(const vantrel_core::ScanResult& r, double prior) {
  if (r.tier_reached == 0) return std::numeric_limits<double>::infinity();
  if (r.score_profile_applied || !r.posterior_prob) {
    return vantrel_core::logit(r.posterior_prob.value_or(r.safe ? 0.0 : 1.0));
  }
  double sum = vantrel_core::logit(prior);
  for (const auto& e : r.evidence) sum += e.log_lr;
  return sum;
}

std::vector<double> decision_scores(const std::vector<CorpusText>& texts, const vantrel_core::Scanner& scanner,
                                    unsigned threads) {
  std::vector<double> out(texts.size());
  std::vector<std::thread> pool;
  threads = threads == 0 ? 1 : threads;
  for (unsigned w = 0; w < threads; ++w) {
    pool.emplace_back([&, w] {
      for (std::size_t i = w; i < texts.size(); i += threads) {
        const auto r = texts[i].output_mode ? scanner.scan_output(texts[i].text) : scanner.scan(texts[i].text);
        out[i] = decision_score(r, scanner.config().prior);
      }
    });
  }
  for (auto& t : pool) t.join();
  return out;
}

}  // namespace vantrel_tools
