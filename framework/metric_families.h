#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace qor {

// Gathers samples and writes them in the Prometheus text exposition format
// (version 0.0.4): the samples of one metric family stand together under its
// HELP and TYPE lines, families in the order they were first named. Label
// values are escaped as the format requires. Not synchronised: one scrape
// builds one object.
class MetricFamilies {
 public:
  using Labels = std::vector<std::pair<std::string, std::string>>;

  // Adds one sample of family `name`; `type` is "counter" or "gauge". The help
  // text and type of the first sample of a family are the ones written.
  void add(const std::string& name, const char* type, const char* help, const Labels& labels,
           double value);

  std::string text() const;

  // `value` with backslash, double quote and line feed escaped.
  static std::string escape(const std::string& value);

 private:
  struct Family {
    std::string type;
    std::string help;
    std::vector<std::string> samples;
  };
  std::vector<std::string> order_;
  std::map<std::string, Family> families_;
};

}  // namespace qor
