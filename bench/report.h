// Turns the key=value lines of all rounds into the markdown tables of the benchmark.
#pragma once

#include <string>
#include <vector>

namespace bench {

struct ReportOptions {
  std::string resultsPath;
  std::string floor = "floor";
  std::string ours = "quillan-run";
  std::vector<std::string> peers;
  std::vector<std::string> extras;  // rows shown in a separate table (the login variants)
  // The Windows build under Wine and its reference relay: a table of their own, ratios to the
  // reference, and a target row.
  std::string wineOurs;
  std::string wineReference;
};

int printReport(const ReportOptions& options);

}  // namespace bench
