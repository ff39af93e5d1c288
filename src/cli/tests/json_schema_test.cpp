// The events' schema file and the validator the stream checks use: what passes and what each
// kind of fault looks like to it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "JsonSchema.h"

namespace {

using json = nlohmann::json;

json Event(const char* event, json fields) {
  json o = {{"v", 1}, {"t", 0.25}, {"device", "/dev/ttyUSB0"}, {"event", event}};
  if (fields.is_object()) o.update(fields);
  return o;
}

TEST(EventsSchema, TheObjectsTarviselWritesPass) {
  const json valid[] = {
      Event("started", {{"command", "download"}, {"type", "normal"}, {"image", "fw.bin"}, {"speed", 115200}}),
      Event("started", {{"command", "info"}, {"type", nullptr}, {"image", nullptr}, {"speed", nullptr}}),
      Event("phase", {{"name", "dm-offline"}}),
      Event("phone", {{"sw", "Ver02.03    KVH100A"}, {"compiled", ""}, {"pcb", "PCB"}, {"revision", 203}}),
      Event("progress", {{"block", 0}, {"blocks", 64}, {"address", 16384}, {"bytes", 0}, {"bytes_per_s", 0}, {"eta_s", nullptr}}),
      Event("progress", {{"block", 1}, {"blocks", 64}, {"address", 16384}, {"bytes", 4096}, {"bytes_per_s", 9000}, {"eta_s", 2.5}}),
      Event("log", {{"kind", "result"}, {"text", "result: info completed (exit 0)"}}),
      Event("finished", {{"outcome", "completed"}, {"exit", 0}, {"elapsed_s", 8.891}}),
      Event("finished", {{"outcome", "crashed"}, {"exit", 139}, {"elapsed_s", 1.5}, {"signal", 11}}),
      Event("port", {{"state", "gone"}}),
  };
  for (const json& o : valid) EXPECT_EQ(EventsSchema().Errors(o), std::vector<std::string>{}) << o;
}

TEST(EventsSchema, EachFaultIsFound) {
  json noSpeed = Event("started", {{"command", "todm"}, {"type", nullptr}, {"image", nullptr}});
  json signalled = Event("progress", {{"block", 1}, {"blocks", 2}, {"address", 0}, {"bytes", 4096}, {"bytes_per_s", 1},
                                      {"eta_s", 1}, {"signal", 9}});
  const struct {
    const char* what;
    json object;
  } cases[] = {
      {"another version", [] { json o = Event("port", {{"state", "gone"}}); o["v"] = 2; return o; }()},
      {"a time before the start", [] { json o = Event("port", {{"state", "gone"}}); o["t"] = -0.001; return o; }()},
      {"no device", [] { json o = Event("port", {{"state", "gone"}}); o.erase("device"); return o; }()},
      {"an unknown event", Event("paused", {})},
      {"a required field missing", noSpeed},
      {"a field of another event", signalled},
      {"a text that is a number", Event("phone", {{"sw", 203}, {"compiled", ""}, {"pcb", ""}, {"revision", 203}})},
      {"a revision that is a text", Event("phone", {{"sw", ""}, {"compiled", ""}, {"pcb", ""}, {"revision", "203"}})},
      {"an unknown phase", Event("phase", {{"name", "flash"}})},
      {"an unknown log kind", Event("log", {{"kind", "debug"}, {"text", "x"}})},
      {"an unknown outcome", Event("finished", {{"outcome", "done"}, {"exit", 0}, {"elapsed_s", 1}})},
      {"a fractional block", Event("progress", {{"block", 1.5}, {"blocks", 2}, {"address", 0}, {"bytes", 0},
                                                 {"bytes_per_s", 0}, {"eta_s", nullptr}})},
      {"an unknown port state", Event("port", {{"state", "plugged"}})},
      {"not an object", json::array({1, 2})},
  };
  for (const auto& c : cases) EXPECT_FALSE(EventsSchema().Errors(c.object).empty()) << c.what << ": " << c.object;
}

// A keyword the validator does not know must not pass as if it held.
TEST(EventsSchema, TheValidatorRefusesKeywordsItDoesNotKnow) {
  const CJsonSchema schema(json{{"type", "string"}, {"pattern", "^a"}});
  const std::vector<std::string> errors = schema.Errors("b");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors.front().find("\"pattern\" is not supported"), std::string::npos) << errors.front();
  const CJsonSchema dangling(json{{"$ref", "#/$defs/none"}});
  EXPECT_FALSE(dangling.Errors(1).empty());
}

}  // namespace
