#include "PromText.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <set>
#include <sstream>

namespace {

bool NameChar(char c, bool first, bool colon) {
  const bool letter = std::isalpha(static_cast<unsigned char>(c)) || c == '_' || (colon && c == ':');
  return first ? letter : letter || std::isdigit(static_cast<unsigned char>(c));
}

bool ValidName(const std::string& name, bool colon) {
  if (name.empty()) return false;
  for (size_t i = 0; i < name.size(); ++i)
    if (!NameChar(name[i], i == 0, colon)) return false;
  return true;
}

bool ParseValue(const std::string& text, double& value) {
  if (text == "+Inf" || text == "Inf") return value = INFINITY, true;
  if (text == "-Inf") return value = -INFINITY, true;
  if (text == "NaN") return value = NAN, true;
  if (text.empty()) return false;
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return end == text.c_str() + text.size() && !std::isinf(value) && !std::isnan(value);
}

// The family a sample belongs to: a histogram's _bucket, _sum and _count are its own.
std::string FamilyOf(const std::string& name, const std::map<std::string, std::string>& types) {
  for (const char* suffix : {"_bucket", "_sum", "_count"}) {
    const std::string s = suffix;
    if (name.size() > s.size() && name.compare(name.size() - s.size(), s.size(), s) == 0) {
      const std::string base = name.substr(0, name.size() - s.size());
      const auto t = types.find(base);
      if (t != types.end() && (t->second == "histogram" || t->second == "summary")) return base;
    }
  }
  return name;
}

}  // namespace

double PromText::Sum(const std::string& name, const std::map<std::string, std::string>& labels) const {
  double sum = 0;
  for (const auto& s : samples) {
    if (s.name != name) continue;
    bool all = true;
    for (const auto& [k, v] : labels) all = all && s.labels.count(k) && s.labels.at(k) == v;
    if (all) sum += s.value;
  }
  return sum;
}

bool ParsePromText(const std::string& text, PromText& out, std::string& error) {
  if (!text.empty() && text.back() != '\n') return error = "the text does not end with a line feed", false;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  std::set<std::string> helped, closed;
  std::string current;  // the family of the lines just read
  std::set<std::string> seen;
  auto fail = [&](const std::string& why) { return error = "line " + std::to_string(number) + ": " + why, false; };
  auto enter = [&](const std::string& family) {
    if (family == current) return true;
    if (closed.count(family)) return false;  // its lines came apart
    if (!current.empty()) closed.insert(current);
    current = family;
    return true;
  };
  while (std::getline(in, line)) {
    ++number;
    if (line.empty()) continue;
    if (line[0] == '#') {
      std::istringstream words(line.substr(1));
      std::string keyword, name;
      words >> keyword >> name;
      if (keyword != "HELP" && keyword != "TYPE") continue;  // a plain comment
      if (!ValidName(name, true)) return fail("bad metric name \"" + name + "\"");
      if (!enter(name)) return fail(name + "'s lines are not together");
      if (keyword == "HELP") {
        if (!helped.insert(name).second) return fail("a second HELP for " + name);
        // The help text may hold \\ and \n only as escapes.
        const auto at = line.find(name) + name.size();
        const std::string help = at < line.size() ? line.substr(at + 1) : "";
        for (size_t i = 0; i < help.size(); ++i)
          if (help[i] == '\\' && (i + 1 == help.size() || (help[i + 1] != '\\' && help[i + 1] != 'n')))
            return fail("a bad escape in HELP");
          else if (help[i] == '\\') ++i;
        continue;
      }
      std::string type, extra;
      words >> type >> extra;
      static const std::set<std::string> kTypes = {"counter", "gauge", "histogram", "summary", "untyped"};
      if (!kTypes.count(type) || !extra.empty()) return fail("bad TYPE line");
      if (out.types.count(name)) return fail("a second TYPE for " + name);
      for (const auto& s : out.samples)
        if (FamilyOf(s.name, {{name, type}}) == name) return fail("TYPE of " + name + " after its samples");
      out.types[name] = type;
      continue;
    }
    PromSample s;
    size_t i = 0;
    while (i < line.size() && line[i] != '{' && line[i] != ' ') ++i;
    s.name = line.substr(0, i);
    if (!ValidName(s.name, true)) return fail("bad metric name \"" + s.name + "\"");
    std::string key = s.name + "{";
    if (i < line.size() && line[i] == '{') {
      ++i;
      while (i < line.size() && line[i] != '}') {
        size_t start = i;
        while (i < line.size() && line[i] != '=') ++i;
        const std::string label = line.substr(start, i - start);
        if (!ValidName(label, false) || label.rfind("__", 0) == 0) return fail("bad label name \"" + label + "\"");
        if (i + 1 >= line.size() || line[i + 1] != '"') return fail("label value not quoted");
        i += 2;
        std::string value;
        for (;; ++i) {
          if (i >= line.size()) return fail("label value not closed");
          if (line[i] == '"') break;
          if (line[i] == '\\') {
            if (i + 1 >= line.size()) return fail("a bad escape");
            const char e = line[++i];
            if (e == '\\') value += '\\';
            else if (e == '"') value += '"';
            else if (e == 'n') value += '\n';
            else return fail(std::string("a bad escape \\") + e);
          } else {
            value += line[i];
          }
        }
        ++i;
        if (!s.labels.emplace(label, value).second) return fail("label " + label + " twice");
        if (i < line.size() && line[i] == ',') ++i;
        else if (i < line.size() && line[i] != '}') return fail("labels not separated by a comma");
      }
      if (i >= line.size()) return fail("labels not closed");
      ++i;
    }
    for (const auto& [k, v] : s.labels) key += k + "=" + v + ",";
    if (i >= line.size() || line[i] != ' ') return fail("no space before the value");
    std::istringstream rest(line.substr(i + 1));
    std::string value, stamp, extra;
    rest >> value >> stamp >> extra;
    if (!ParseValue(value, s.value)) return fail("bad value \"" + value + "\"");
    if (!stamp.empty() && stamp.find_first_not_of("-0123456789") != std::string::npos) return fail("bad time stamp");
    if (!extra.empty()) return fail("more after the value");
    const std::string family = FamilyOf(s.name, out.types);
    if (!out.types.count(family)) return fail(s.name + " has no TYPE");
    if (!enter(family)) return fail(family + "'s lines are not together");
    if (out.types[family] == "counter" && s.value < 0) return fail("a counter below 0");
    if (!seen.insert(key).second) return fail("the sample " + key + "} twice");
    out.samples.push_back(std::move(s));
  }
  // Histograms: per label set (le aside), buckets that only grow, up to +Inf, which is _count.
  for (const auto& [family, type] : out.types) {
    if (type != "histogram") continue;
    std::map<std::map<std::string, std::string>, std::vector<std::pair<double, double>>> buckets;
    std::map<std::map<std::string, std::string>, double> counts;
    for (const auto& s : out.samples) {
      auto labels = s.labels;
      if (s.name == family + "_bucket") {
        if (!labels.count("le")) return error = family + ": a bucket without le", false;
        double le = 0;
        if (!ParseValue(labels["le"], le)) return error = family + ": bad le \"" + labels["le"] + "\"", false;
        labels.erase("le");
        buckets[labels].push_back({le, s.value});
      } else if (s.name == family + "_count") {
        counts[labels] = s.value;
      } else if (s.name == family) {
        return error = family + ": a sample without _bucket, _sum or _count", false;
      }
    }
    for (const auto& [labels, list] : buckets) {
      for (size_t k = 1; k < list.size(); ++k)
        if (!(list[k].first > list[k - 1].first) || list[k].second < list[k - 1].second)
          return error = family + ": buckets not in order or not cumulative", false;
      if (list.empty() || !std::isinf(list.back().first)) return error = family + ": no +Inf bucket", false;
      if (!counts.count(labels) || counts[labels] != list.back().second)
        return error = family + ": the +Inf bucket is not _count", false;
    }
  }
  return true;
}
