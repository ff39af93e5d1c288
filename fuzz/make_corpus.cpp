// Writes the fuzz targets' seeds: handset replies as they come off the line, images, settings
// files, dialog entries and command lines, each in its target's input layout (see the targets).
//   fuzz_make_corpus DIR    writes DIR/<target>/<name>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Comm/Crc.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

fs::path g_root;

void Put(const std::string& target, const std::string& name, const Bytes& bytes) {
  const fs::path dir = g_root / target;
  fs::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}
void Put(const std::string& target, const std::string& name, const std::string& text) {
  Put(target, name, Bytes(text.begin(), text.end()));
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// On the wire: 7D..7F escaped, then the closing flag.
Bytes Escaped(const Bytes& body) {
  Bytes out;
  for (uint8_t b : body) {
    if (b >= 0x7D && b <= 0x7F) {
      out.push_back(0x7D);
      out.push_back(b ^ 0x20);
    } else {
      out.push_back(b);
    }
  }
  out.push_back(0x7E);
  return out;
}
Bytes WithFcs16(Bytes body) {
  const uint16_t fcs = crc::Fcs16(body.data(), body.size());
  body.push_back(static_cast<uint8_t>(fcs & 0xFF));
  body.push_back(static_cast<uint8_t>(fcs >> 8));
  return body;
}
Bytes WithCrc30(Bytes body) {
  const uint32_t c = crc::Crc30(body.data(), body.size() * 8);
  for (int s = 24; s >= 0; s -= 8) body.push_back(static_cast<uint8_t>(c >> s));
  return body;
}

// Receive-target operations.
enum : uint8_t { kRead = 0, kState = 1, kReset = 2, kLongRead = 3 };
enum : uint8_t { kRaw = 0, kDload = 1, kCrc30 = 2, kPlain = 3 };
Bytes Read(uint8_t gap, const Bytes& bytes) { return Bytes{kRead, gap, static_cast<uint8_t>(bytes.size())} + bytes; }
Bytes LongRead(uint8_t gap, const Bytes& bytes) {
  return Bytes{kLongRead, gap, static_cast<uint8_t>(bytes.size()), static_cast<uint8_t>(bytes.size() >> 8)} + bytes;
}
Bytes State(uint8_t s) { return {kState, s}; }

Bytes VersionReply() {
  Bytes body = {0x00};
  for (char c : std::string("Jan 12 2004 10:20:30 V1.203 PCB 04")) body.push_back(static_cast<uint8_t>(c));
  body.resize(52, 0x20);
  return Escaped(WithCrc30(body));
}
Bytes Ack() { return Bytes{0x7E} + Escaped(WithFcs16({0x02})); }

void RxFrames() {
  const std::string t = "rx_frames";
  const Bytes version = VersionReply();
  Put(t, "crc30-version-one-read", Read(0, version));
  Put(t, "crc30-version-split-16ms", Read(0, Bytes(version.begin(), version.begin() + 20)) +
                                         Read(16, Bytes(version.begin() + 20, version.end())));
  Put(t, "crc30-opening-7f-and-status", Read(0, Bytes{0x7F} + Escaped(WithCrc30({0x0C, 0x1E}))));
  const Bytes ack = Ack();
  Put(t, "dload-ack-split", State(kDload) + Read(0, Bytes(ack.begin(), ack.begin() + 2)) +
                                Read(17, Bytes(ack.begin() + 2, ack.end())));
  Put(t, "dload-ack-nak-one-read", State(kDload) + Read(0, ack + Escaped(WithFcs16({0xA1}))));
  Put(t, "dload-unchecked-handset", State(kDload) + Read(0, Bytes{0x02, 0x00, 0x00, 0x7E}) +
                                        Read(5, Bytes{0x02, 0x11, 0x22, 0x7E}) + Read(5, Bytes{0x02, 0x33, 0x44, 0x7E}));
  Put(t, "plain-escapes", State(kPlain) + Read(0, Escaped(WithFcs16({0x13, 0x7D, 0x7E, 0xAA}))));
  Put(t, "plain-learn-then-reset", State(kPlain) + Read(0, Escaped(WithFcs16({0x29}))) + Bytes{kReset} +
                                       Read(3, Bytes{0x29, 0x01, 0x02, 0x7E}) + Read(3, Bytes{0x29, 0x03, 0x04, 0x7E}));
  Put(t, "raw-9600", State(kRaw) + Read(0, Bytes{0x7F, 0xAA, 0xAF, 0x7D, 0x5E, 0x7E}));
  Put(t, "silence-drops-a-start", Read(0, Bytes{0x0C, 0x1E}) + Read(101, version));
  Put(t, "overlong-then-ack", State(kDload) + LongRead(0, Bytes(600, 0x55)) + Read(0, Bytes{0x7E}) + Read(0, ack));
}

// Stamp-target operations.
enum : uint8_t { kSend = 3, kPending = 4, kFail = 5, kEcho = 6 };
Bytes Send(const Bytes& payload) {
  return Bytes{kSend, static_cast<uint8_t>(payload.size()), static_cast<uint8_t>(payload.size() >> 8)} + payload;
}

void RxStamp() {
  const std::string t = "rx_stamp";
  Put(t, "version-request-and-reply", Send({0x00}) + Bytes{kPending, 3, 0, 0, 0} + Read(0, VersionReply()));
  Bytes block = {0xDD, 0x00, 0x40, 0x00, 0x00, 0x00, 0x10};
  for (int i = 0; i < 4096; ++i) block.push_back(static_cast<uint8_t>(0x7C + i % 5));
  Put(t, "dload-block-then-ack", State(kDload) + Send(block) + Bytes{kPending, 0x00, 0x10, 0, 0} + Read(0, Ack()) +
                                     Bytes{kPending, 0, 0, 0, 0} + Read(2, Ack()));
  Put(t, "dload-echo", State(kDload) + Send({0x02}) + Bytes{kEcho, 120});
  Put(t, "plain-echo-escapes", State(kPlain) + Send({0x29, 0x7E, 0x7D, 0x7F}) + Bytes{kEcho, 0});
  Put(t, "a-write-that-fails", State(kDload) + Bytes{kFail, 3} + Send({0xEE, 0, 0, 1, 0, 0, 0, 0x0F, 0}) +
                                   Read(0, Ack()));
  Put(t, "raw-echo", State(kRaw) + Send({0x41, 0x7E}) + Bytes{kEcho, 200});
}

void Le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
// flash bytes, then the 37-byte trailer: FF 1D 00, version at 17, start address at 21.
Bytes Image(size_t flash, uint32_t version, uint32_t start, Bytes sig = {0xFF, 0x1D, 0x00}) {
  Bytes b(flash + 37, 0xA5);
  for (size_t i = 0; i < flash; ++i) b[i] = static_cast<uint8_t>(i * 7 + i / 4096);
  std::copy(sig.begin(), sig.end(), b.begin() + static_cast<long>(flash));
  Le32(b.data() + flash + 17, version);
  Le32(b.data() + flash + 21, start);
  return b;
}
struct BlockRead {
  uint32_t base, index;
  bool font;
};
Bytes DloadInput(uint8_t type, uint8_t answer, const std::vector<BlockRead>& reads, const Bytes& file) {
  Bytes out = {type, answer, static_cast<uint8_t>(reads.size())};
  for (const auto& r : reads) {
    uint8_t f[9];
    Le32(f, r.base);
    Le32(f + 4, r.index);
    f[8] = r.font;
    out.insert(out.end(), f, f + 9);
  }
  return out + file;
}

void DloadFile() {
  const std::string t = "dload_file";
  enum : uint8_t { kYes = 0, kNo = 1, kClosed = 2 };
  Put(t, "normal-minimal", DloadInput(0, kYes, {}, Image(0, 1, 0)));
  Put(t, "normal-one-block", DloadInput(0, kNo, {{0, 0, false}, {0xFFFFF000u, 1, false}}, Image(4096, 203, 0)));
  Put(t, "emergency-start-4000", DloadInput(1, kNo, {{0x4000, 0, false}}, Image(100, 7, 0x4000)));
  Put(t, "start-4001-yes", DloadInput(0, kYes, {{0x4001, 0, false}}, Image(300, 2, 0x4001)));
  Put(t, "start-3000-no", DloadInput(3, kNo, {}, Image(0, 2, 0x3000)));
  Put(t, "start-1000-closed", DloadInput(4, kClosed, {}, Image(0, 2, 0x1000)));
  Put(t, "bad-signature", DloadInput(0, kYes, {}, Image(10, 1, 0, {0xFF, 0x1D, 0x01})));
  Put(t, "version-all-ff", DloadInput(0, kYes, {}, Image(0, 0xFFFFFFFF, 0)));
  Put(t, "36-bytes", DloadInput(0, kYes, {}, Bytes(36, 0xFF)));
  Put(t, "font-padded", DloadInput(2, kYes, {{0x200000, 0, true}, {0x200000, 1, true}, {0, 0x100000, true}},
                                   Bytes(5000, 0x3C)));
  Put(t, "font-empty", DloadInput(2, kYes, {{0, 0, true}}, {}));
}

void Settings() {
  const std::string t = "settings";
  const std::string head = "[SOFTWARE\\KORVANE\\DOWNLOADER]\n";
  Put(t, "written-by-the-tool", head + "class=\"Korvane Integrated Downloader\"\n\"PORT\"=\"1\"\n\"BAUD\"=\"1\"\n"
                                      "\"BIN_PATH\"=\"/home/kim/\\xED\\x8E\\x8C \\\"new\\\"/\"\n");
  Put(t, "crlf-and-no-last-break", "[SOFTWARE\\KORVANE\\DOWNLOADER]\r\n\"PORT\"=\"2\"\r\n\"BAUD\"=\"0\"");
  Put(t, "escapes", head + "\"A\"=\"\\\\\\n\\r\\t\\x01\\x7F\"\n\"B\"=\"\\q\"\n\"C\"=\"cut\n");
  Put(t, "twice-the-later-wins", head + "\"PORT\"=\"1\"\n; a note\n\n\"PORT\"=\"2\"\n");
  Put(t, "foreign", std::string("[SOFTWARE\\OTHER]\n\"PORT\"=\"1\"\n"));
  Put(t, "empty", std::string());
}

void FontDialog() {
  const std::string t = "font_dialog";
  auto text = [](uint8_t op, const std::string& s) {
    Bytes b = {op};
    b.insert(b.end(), s.begin(), s.end());
    b.push_back(0);
    return b;
  };
  const Bytes ok = {5};
  Put(t, "typed-200000-8", text(0, "200000") + text(2, "8") + ok);
  Put(t, "set-seven-digits", text(1, "1234567") + ok + text(1, "FFFFFF") + ok);
  Put(t, "not-hex-then-fixed", text(0, "0x20") + ok + text(0, "20") + ok);
  Put(t, "count-out-of-range", text(3, "0") + ok + text(3, " +100 ") + ok);
  Put(t, "spin-then-ok", Bytes{4, 100, 0, 0, 0, 1, 0, 0, 0} + Bytes{4, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0x7F} + ok);
  Put(t, "hangul-address", text(0, "가나다라마바사") + ok + Bytes{6});
}

void CliOptions() {
  const std::string t = "cli_options";
  auto line = [](std::vector<std::string> args) {
    std::string s;
    for (const auto& a : args) s += a + '\0';
    return s;
  };
  Put(t, "download-normal", line({"download", "fw.bin", "--device", "/dev/ttyUSB0", "--speed", "115200"}));
  Put(t, "download-font", line({"download", "font.bin", "--type", "font", "--font-address", "200000",
                                "--font-blocks", "8", "--port", "2"}));
  Put(t, "station", line({"download", "fw.bin", "--yes", "--timeout", "600", "--log", "station.log",
                          "--type", "CHANGE(NORMAL)", "--quiet"}));
  Put(t, "info", line({"info", "--port", "COM1", "--trace-wire", "w.txt"}));
  Put(t, "todm-yes-and-no", line({"todm", "--yes", "--no"}));
  Put(t, "help", line({"--help"}));
  Put(t, "ports", line({"ports"}));
  Put(t, "watch", line({"watch", "fw.bin", "--ports-dir", "/tmp/by-id", "--match", "0403:6001", "--match", "1A86:7523",
                        "--yes", "--retry", "2", "--new-only", "--json", "--log-dir", "logs", "--no-history"}));
  Put(t, "history", line({"history", "--history", "h.sqlite", "--since", "2026-12-08 09:15", "--outcome", "no-reply",
                          "--device", "/dev/ttyUSB0", "--csv"}));
  // Once the clock's 64-bit nanoseconds overflowed on it.
  Put(t, "history-since-year-4052", line({"history", "--history", "h.sqlite", "--since", "4052-12-08 09:15", "--outcome",
                                          "no-seply", "--device", "/d*ev/ttyUSB0", "--csv"}));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  g_root = argv[1];
  RxFrames();
  RxStamp();
  DloadFile();
  Settings();
  FontDialog();
  CliOptions();
  return 0;
}
