#include "DownloadRecorder.h"

#include <unistd.h>

#include <climits>
#include <cmath>
#include <filesystem>
#include <random>

#include "HistoryDb.h"
#include "ImageDigest.h"
#include "IsoTime.h"
#include "LiveState.h"
#include "platform/Translate.h"

std::string HostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

std::string NewUuid() {
  std::random_device random;
  uint8_t bytes[16];
  for (size_t i = 0; i < sizeof bytes; i += 4) {
    const uint32_t word = random();
    for (size_t j = 0; j < 4; ++j) bytes[i + j] = static_cast<uint8_t>(word >> (8 * j));
  }
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0f) | 0x40);
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3f) | 0x80);
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < sizeof bytes; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += kHex[bytes[i] >> 4];
    text += kHex[bytes[i] & 0xf];
  }
  return text;
}

namespace {

std::string TrimmedRight(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
  return text;
}

}  // namespace

const char* ToolVersion() { return TARVISEL_VERSION; }

CDownloadRecorder::CDownloadRecorder(std::string path, Warn warn, CDeviceFacts* facts)
    : m_path(std::move(path)), m_warn(std::move(warn)), m_facts(facts) {}

void CDownloadRecorder::Begin(const DownloadStart& start, SteadyTime began) {
  m_inProgress = true;
  m_began = began;
  m_row = DownloadRecord{};
  m_imagePath = start.image;
  if (m_path.empty()) return;
  const auto ago = std::chrono::steady_clock::now() - began;
  m_row.start = IsoUtc(std::chrono::system_clock::now() -
                       std::chrono::duration_cast<std::chrono::system_clock::duration>(ago));
  m_row.uuid = NewUuid();
  m_row.host = HostName();
  // The station's name as given, else the one its ports' live state goes under (the host's
  // name unless the machine runs more stations than one).
  m_row.station = start.station.empty() ? StationName() : start.station;
  m_row.unit = start.unit;
  m_row.device = start.device;
  const DeviceIdentity id = IdentifyDevice(start.device, m_facts);
  m_row.tty = id.tty;
  m_row.serial = id.serial;
  m_row.byId = id.byId;
  // Which image a handset got: a path that still says so when read from another folder.
  std::error_code ec;
  const std::filesystem::path image = std::filesystem::absolute(start.image, ec);
  m_row.image = ec ? start.image : image.lexically_normal().string();
  const auto size = std::filesystem::file_size(start.image, ec);
  if (!ec) m_row.size = static_cast<int64_t>(size);
  m_row.sha256 = FileSha256(start.image);
  m_row.type = start.type;
  if (start.speed) m_row.speed = *start.speed;
  if (start.countsResends) m_row.resends = 0;
  m_row.toolVersion = ToolVersion();
}

void CDownloadRecorder::Image(const ImageInfo& image) {
  if (image.status == ImageStatus::Accepted) m_image = image;
}

void CDownloadRecorder::Phone(const PhoneInfo& info) {
  if (m_inProgress) m_row.phoneSw = TrimmedRight(info.swVersion);
}

void CDownloadRecorder::Resend() {
  if (m_inProgress && m_row.resends) ++*m_row.resends;
}

bool CDownloadRecorder::Finish(const std::string& outcome, int exitStatus) {
  if (!m_inProgress) return false;
  m_inProgress = false;
  if (m_path.empty()) return false;
  m_row.end = IsoUtc(std::chrono::system_clock::now());
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_began).count();
  m_row.elapsedS = std::round(elapsed * 1000.0) / 1000.0;
  m_row.outcome = outcome;
  m_row.exit = exitStatus;
  if (m_image && m_image->path == m_imagePath) {
    m_row.imageVersion = std::to_string(static_cast<int32_t>(m_image->version));
  }
  std::string error;
  const auto db = CHistoryDb::Open(m_path, CHistoryDb::Access::Append, error);
  if (db && db->Append(m_row, error)) return true;
  if (m_warn) m_warn(TrFormat("history: this download is not recorded in %s: %s", m_path.c_str(), error.c_str()));
  return false;
}
