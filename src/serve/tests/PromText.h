#pragma once
// A reader of Prometheus's text exposition format (version 0.0.4) that holds a text to the
// format's rules field by field, for the tests of /metrics: every line a comment, a HELP, a TYPE
// or a sample; names and label names of the allowed characters; label values with only the
// three escapes; values that are numbers; one TYPE per family, before its samples, whose lines
// stay together; no sample twice; a histogram's buckets cumulative, ending at +Inf, equal to its
// _count.
#include <map>
#include <string>
#include <vector>

struct PromSample {
  std::string name;
  std::map<std::string, std::string> labels;
  double value = 0;
};

struct PromText {
  std::map<std::string, std::string> types;  // family -> counter, gauge, histogram, ...
  std::vector<PromSample> samples;
  // The sum of the samples of name whose labels include these.
  double Sum(const std::string& name, const std::map<std::string, std::string>& labels = {}) const;
};

// The samples and types, or the first rule broken ("line 12: ...") in error.
bool ParsePromText(const std::string& text, PromText& out, std::string& error);
