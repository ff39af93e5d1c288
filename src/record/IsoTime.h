#pragma once
// Times as the record writes them: ISO 8601 in UTC, to the millisecond, so that text order is
// time order ("2026-12-08T09:15:02.125Z").
#include <chrono>
#include <optional>
#include <string>

std::string IsoUtc(std::chrono::system_clock::time_point at);
// A date or time a user types for --since: "2026-12-08", "2026-12-08 09:15", "2026-12-08T09:15:02",
// local time, or UTC with a "Z" at the end, from 1970 to 2200. nullopt when it is none of these
// or no real date.
std::optional<std::chrono::system_clock::time_point> ParseUserTime(const std::string& text);
// The stored time as local time for people: "2026-12-08 10:15:02"; the text itself when it is
// not one of ours.
std::string LocalTimeText(const std::string& iso);
