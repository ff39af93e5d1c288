#pragma once
// Schedules drawn from the written adversary (docs/reliability.md): seeded "swarm" schedules,
// each turning a random subset of fault kinds on, and every schedule of up to two faults from a
// finite alphabet for downloads of 1 to 4 blocks.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "explore/Schedule.h"

namespace explore {

// Every config the explorer runs with up to maxBlocks blocks: five types, two speeds, two DM
// variants (the variant only matters where there is a DM phase), 1..maxBlocks blocks.
std::vector<Config> AllConfigs(int maxBlocks = 4);

// The index-th schedule of a seed: the same pair always gives the same schedule. With `only`,
// downloads of that type alone.
Schedule Swarm(uint64_t seed, uint64_t index, std::optional<DlType> only = std::nullopt);

// One fault of the exhaustive alphabet, as scenario items.
struct Fault {
  std::string items;
  bool loss = false;  // the request or its reply is lost, refused or damaged
  bool breaksLive = false;  // the adversary no longer promises a completed download
  std::string kind;
  uint32_t nth = 0;
};
std::vector<Fault> Alphabet(const Config& config);

class CExhaustive {
 public:
  explicit CExhaustive(int maxBlocks = 4);
  // The index-th schedule, configs taking turns; none for a config that is exhausted (configs
  // with fewer requests have fewer schedules) and none from Size() on.
  std::optional<Schedule> At(uint64_t index) const;
  uint64_t Size() const { return m_size; }  // indices, the exhausted configs' included
  uint64_t Count() const { return m_count; }  // schedules


 private:
  std::vector<Config> m_configs;
  std::vector<bool> m_usb;  // through a USB adapter both ways
  std::vector<std::vector<Fault>> m_alphabets;
  uint64_t m_size = 0;
  uint64_t m_count = 0;
};

// Whether bytes hold a frame that passes FCS-16: junk must never be a well-formed reply.
bool HoldsValidFrame(const std::vector<uint8_t>& bytes);

}  // namespace explore
