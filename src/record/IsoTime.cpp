#include "IsoTime.h"

#include <cstdio>
#include <ctime>

using Clock = std::chrono::system_clock;

std::string IsoUtc(Clock::time_point at) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
  const std::time_t secs = static_cast<std::time_t>(ms / 1000 - (ms % 1000 < 0 ? 1 : 0));
  const int milli = static_cast<int>(((ms % 1000) + 1000) % 1000);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, milli);
  return text;
}

std::optional<Clock::time_point> ParseUserTime(const std::string& text) {
  std::tm tm{};
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, used = 0;
  const char* c = text.c_str();
  if (std::sscanf(c, "%4d-%2d-%2d%n", &y, &mo, &d, &used) != 3 || used != 10) return std::nullopt;
  size_t at = 10;
  if (at < text.size() && (text[at] == 'T' || text[at] == ' ')) {
    int n = 0;
    if (std::sscanf(c + at + 1, "%2d:%2d%n", &h, &mi, &n) != 2 || n != 5) return std::nullopt;
    at += 1 + 5;
    if (at < text.size() && text[at] == ':') {
      if (std::sscanf(c + at + 1, "%2d%n", &s, &n) != 1 || n != 2) return std::nullopt;
      at += 3;
    }
  }
  const bool utc = at < text.size() && text[at] == 'Z';
  if (utc) ++at;
  if (at != text.size()) return std::nullopt;
  // The clock counts nanoseconds in 64 bits: years beyond 2262 do not fit.
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59 || y < 1970 || y > 2200) return std::nullopt;
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  tm.tm_isdst = -1;
  std::tm asGiven = tm;
  const std::time_t t = utc ? timegm(&tm) : mktime(&tm);
  if (t == static_cast<std::time_t>(-1)) return std::nullopt;
  // A 31st of February comes back as March: no real date.
  std::tm back{};
  if (utc) gmtime_r(&t, &back);
  else localtime_r(&t, &back);
  if (back.tm_year != asGiven.tm_year || back.tm_mon != asGiven.tm_mon || back.tm_mday != asGiven.tm_mday)
    return std::nullopt;
  return Clock::from_time_t(t);
}

std::string LocalTimeText(const std::string& iso) {
  std::tm tm{};
  int ms = 0;
  if (std::sscanf(iso.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                  &tm.tm_min, &tm.tm_sec, &ms) != 7)
    return iso;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  const std::time_t t = timegm(&tm);
  std::tm local{};
  localtime_r(&t, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}
