#include "JsonSchema.h"

#include <algorithm>
#include <set>

#include "EventsSchemaText.h"

using json = nlohmann::json;

namespace {

bool HasType(const json& value, const std::string& type) {
  if (type == "object") return value.is_object();
  if (type == "array") return value.is_array();
  if (type == "string") return value.is_string();
  if (type == "integer") return value.is_number_integer();
  if (type == "number") return value.is_number();
  if (type == "boolean") return value.is_boolean();
  if (type == "null") return value.is_null();
  return false;
}

// Annotations only: they say nothing about a value.
const std::set<std::string> kAnnotations = {"$schema", "$id", "$defs", "title", "description"};

}  // namespace

std::vector<std::string> CJsonSchema::Errors(const json& value) const {
  std::vector<std::string> errors;
  Check(m_root, value, "", errors);
  return errors;
}

const json& CJsonSchema::Resolve(const std::string& ref) const {
  static const json kNothing;
  const std::string prefix = "#/$defs/";
  if (ref.rfind(prefix, 0) != 0 || !m_root.contains("$defs") || !m_root["$defs"].contains(ref.substr(prefix.size())))
    return kNothing;
  return m_root["$defs"][ref.substr(prefix.size())];
}

void CJsonSchema::Check(const json& schema, const json& value, const std::string& at,
                        std::vector<std::string>& errors) const {
  const std::string where = at.empty() ? "/" : at;
  for (const auto& [key, rule] : schema.items()) {
    if (kAnnotations.count(key)) continue;
    if (key == "$ref") {
      const json& target = Resolve(rule.get<std::string>());
      if (target.is_null()) errors.push_back(where + ": no such $ref " + rule.dump());
      else Check(target, value, at, errors);
    } else if (key == "type") {
      const std::vector<std::string> types = rule.is_array() ? rule.get<std::vector<std::string>>()
                                                             : std::vector<std::string>{rule.get<std::string>()};
      if (std::none_of(types.begin(), types.end(), [&](const std::string& t) { return HasType(value, t); }))
        errors.push_back(where + ": not of type " + rule.dump());
    } else if (key == "const") {
      if (value != rule) errors.push_back(where + ": not " + rule.dump());
    } else if (key == "enum") {
      if (std::find(rule.begin(), rule.end(), value) == rule.end()) errors.push_back(where + ": not one of " + rule.dump());
    } else if (key == "minimum") {
      if (value.is_number() && value.get<double>() < rule.get<double>()) errors.push_back(where + ": below " + rule.dump());
    } else if (key == "required") {
      for (const auto& name : rule)
        if (value.is_object() && !value.contains(name.get<std::string>()))
          errors.push_back(where + ": no \"" + name.get<std::string>() + "\"");
    } else if (key == "properties") {
      if (!value.is_object()) continue;
      for (const auto& [name, sub] : rule.items())
        if (value.contains(name)) Check(sub, value[name], at + "/" + name, errors);
    } else if (key == "additionalProperties") {
      if (rule != false) {
        errors.push_back(where + ": additionalProperties other than false is not supported");
        continue;
      }
      if (!value.is_object()) continue;
      const json& known = schema.contains("properties") ? schema["properties"] : json::object();
      for (const auto& [name, _] : value.items())
        if (!known.contains(name)) errors.push_back(where + ": \"" + name + "\" is not a field of this object");
    } else if (key == "oneOf") {
      size_t passed = 0;
      std::vector<std::string> closest;
      for (const auto& sub : rule) {
        std::vector<std::string> subErrors;
        Check(sub, value, at, subErrors);
        if (subErrors.empty()) ++passed;
        else if (closest.empty() || subErrors.size() < closest.size()) closest = std::move(subErrors);
      }
      if (passed == 0) {
        errors.push_back(where + ": matches none of oneOf; nearest: " + (closest.empty() ? "" : closest.front()));
      } else if (passed > 1) {
        errors.push_back(where + ": matches more than one of oneOf");
      }
    } else {
      errors.push_back(where + ": keyword \"" + key + "\" is not supported by this validator");
    }
  }
}

const CJsonSchema& EventsSchema() {
  static const CJsonSchema schema(json::parse(kEventsSchemaText));
  return schema;
}
