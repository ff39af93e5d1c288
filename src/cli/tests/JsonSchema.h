#pragma once
// A validator of the part of JSON Schema (draft 2020-12) that docs/events-v1.schema.json uses:
// type, const, enum, minimum, properties, required, additionalProperties: false, oneOf, and
// $ref into $defs. A keyword outside that part is an error, never passed over in silence.
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

class CJsonSchema {
 public:
  explicit CJsonSchema(nlohmann::json schema) : m_root(std::move(schema)) {}
  // What is wrong with value, one line each ("/speed: not of type integer, null"); empty when it
  // is valid.
  std::vector<std::string> Errors(const nlohmann::json& value) const;

 private:
  void Check(const nlohmann::json& schema, const nlohmann::json& value, const std::string& at,
             std::vector<std::string>& errors) const;
  const nlohmann::json& Resolve(const std::string& ref) const;
  nlohmann::json m_root;
};

// The schema of --json's events as this tree holds it (docs/events-v1.schema.json).
const CJsonSchema& EventsSchema();
