#include "framework/metric_families.h"

#include <cmath>
#include <cstdio>

namespace qor {

namespace {

std::string number(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  char text[32];
  // Counters are whole numbers well inside 2^53: print them without exponent.
  if (value == std::floor(value) && std::fabs(value) < 9.007199254740992e15) {
    std::snprintf(text, sizeof text, "%.0f", value);
  } else {
    std::snprintf(text, sizeof text, "%.6g", value);
  }
  return text;
}

}  // namespace

std::string MetricFamilies::escape(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

void MetricFamilies::add(const std::string& name, const char* type, const char* help,
                         const Labels& labels, double value) {
  auto it = families_.find(name);
  if (it == families_.end()) {
    order_.push_back(name);
    it = families_.emplace(name, Family{type, help, {}}).first;
  }
  std::string sample = name;
  if (!labels.empty()) {
    sample += '{';
    for (size_t i = 0; i < labels.size(); ++i) {
      if (i > 0) sample += ',';
      sample += labels[i].first + "=\"" + escape(labels[i].second) + '"';
    }
    sample += '}';
  }
  sample += ' ' + number(value);
  it->second.samples.push_back(std::move(sample));
}

std::string MetricFamilies::text() const {
  std::string out;
  for (const std::string& name : order_) {
    const Family& family = families_.at(name);
    out += "# HELP " + name + ' ' + family.help + '\n';
    out += "# TYPE " + name + ' ' + family.type + '\n';
    for (const std::string& sample : family.samples) out += sample + '\n';
  }
  return out;
}

}  // namespace qor
