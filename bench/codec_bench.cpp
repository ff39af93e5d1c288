// The frame codec on its hot paths: a block write framed into a byte sink, and the replies
// the receive thread parses and decodes.
#include <benchmark/benchmark.h>

#include <vector>

#include "BenchSupport.h"
#include "HandsetCodes.h"
#include "HandsetWire.h"
#include "VersionInfo.h"

namespace {

using bench::Content;

void BM_FrameBlockWrite(benchmark::State& state) {
  auto device = std::make_unique<bench::CSinkDevice>();
  bench::CSinkDevice* sink = device.get();
  bench::OpenLink link(std::move(device));
  if (!link.ok) {
    state.SkipWithError("the link did not open");
    return;
  }
  const BlockRecord block = bench::MakeBlock(static_cast<Content>(state.range(0)));
  for (auto _ : state) {
    link.comm->SendWriteBlockReq(block);
    benchmark::ClobberMemory();
  }
  state.SetLabel(bench::ContentName(state.range(0)));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * BlockRecord::size()));
  state.counters["wire_bytes"] =
      benchmark::Counter(static_cast<double>(sink->Written()) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_FrameBlockWrite)->Arg(0)->Arg(1);

enum class Reply { DloadAck = 0, VersionCrc30 = 1, VersionPlain = 2 };

const char* ReplyName(int64_t r) {
  switch (static_cast<Reply>(r)) {
    case Reply::DloadAck: return "download ACK";
    case Reply::VersionCrc30: return "version reply, CRC-30";
    case Reply::VersionPlain: return "version reply, FCS-16";
  }
  return "?";
}

// A reply as it comes off the line. Without escapes when asked, so that decoding the same
// payload again does the same work (the decoders unescape in place).
std::vector<uint8_t> ReplyFrame(Reply r, bool noEscapes) {
  if (r == Reply::DloadAck) return sim::EncodeReply({sim::kAck}, sim::ReplyCheck::Fcs16);
  const sim::ReplyCheck check = r == Reply::VersionCrc30 ? sim::ReplyCheck::Crc30 : sim::ReplyCheck::Fcs16;
  const size_t checkLen = check == sim::ReplyCheck::Crc30 ? 4 : 2;
  sim::VersionInfo v;
  for (;; ++v.revision) {
    const std::vector<uint8_t> payload = sim::BuildVersionReply(v);
    std::vector<uint8_t> frame = sim::EncodeReply(payload, check);
    if (!noEscapes || frame.size() == payload.size() + checkLen + 1) return frame;
  }
}

void SetFraming(CBssComm& comm, Reply r) {
  comm.m_bDloadFraming = r == Reply::DloadAck ? 1 : 0;
  comm.m_bCrc30Mode = r == Reply::VersionCrc30 ? 1 : 0;
}

// One burst with one whole reply: assembly, flags, decoder, delivery.
void BM_ParseRxData(benchmark::State& state) {
  bench::OpenLink link(std::make_unique<bench::CSinkDevice>());
  const Reply r = static_cast<Reply>(state.range(0));
  SetFraming(*link.comm, r);
  const std::vector<uint8_t> frame = ReplyFrame(r, false);
  const int n = static_cast<int>(frame.size());
  for (auto _ : state) benchmark::DoNotOptimize(link.comm->ParseRxData(frame.data(), n, 0));
  if (link.target.Posted() != static_cast<uint64_t>(state.iterations())) {
    state.SkipWithError("a reply was rejected");
    return;
  }
  state.SetLabel(ReplyName(state.range(0)));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
}
BENCHMARK(BM_ParseRxData)->DenseRange(0, 2);

// The decoder alone, on the payload ParseRxData left in place.
template <bool (CBssComm::*Decode)(int, int&, int&)>
void BM_Decode(benchmark::State& state) {
  bench::OpenLink link(std::make_unique<bench::CSinkDevice>());
  const Reply r = static_cast<Reply>(state.range(0));
  SetFraming(*link.comm, r);
  const std::vector<uint8_t> frame = ReplyFrame(r, true);
  link.comm->ParseRxData(frame.data(), static_cast<int>(frame.size()), 0);
  const int count = static_cast<int>(frame.size()) - 1;  // without the closing flag
  bool ok = true;
  for (auto _ : state) {
    int decoded = 0;
    int checkSize = 0;
    ok &= (link.comm.get()->*Decode)(count, decoded, checkSize);
    benchmark::DoNotOptimize(decoded);
  }
  if (!ok) {
    state.SkipWithError("the decoder rejected the reply");
    return;
  }
  state.SetLabel(ReplyName(state.range(0)));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * count);
}
BENCHMARK_TEMPLATE(BM_Decode, &CBssComm::DecodeDload)->Arg(static_cast<int>(Reply::DloadAck));
BENCHMARK_TEMPLATE(BM_Decode, &CBssComm::DecodeCrc30)->Arg(static_cast<int>(Reply::VersionCrc30));
BENCHMARK_TEMPLATE(BM_Decode, &CBssComm::DecodePlain)->Arg(static_cast<int>(Reply::VersionPlain));

}  // namespace
