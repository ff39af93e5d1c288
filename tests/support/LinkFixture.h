#pragma once
// A link over the in-memory device, opened on COM1, with pauses recorded instead of slept.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "Comm/LinkFlags.h"
#include "Comm/QTextQ.h"
#include "Comm/bsscomm.h"
#include "support/FakeSerialDevice.h"
#include "support/RecordingTarget.h"

class LinkFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TARVISEL_COM1", "/fake/com1", 1);
    auto device = std::make_unique<CFakeSerialDevice>();
    dev = device.get();
    comm = std::make_unique<CBssComm>(std::move(device));
    comm->SetPause([this](unsigned ms) { pauses.push_back(ms); });
    comm->InitComm(&target, &textQ);
  }
  void TearDown() override {
    comm.reset();
    unsetenv("TARVISEL_COM1");
    g_bCommOpen = false;
  }
  void OpenLink() {
    ASSERT_TRUE(comm->Open());
    dev->TakeWritten();
    pauses.clear();
  }
  std::vector<CQTextEntry> DrainLog() {
    std::vector<CQTextEntry> out;
    CQTextEntry e;
    while (textQ.Get(e)) out.push_back(e);
    return out;
  }

  CRecordingTarget target;
  CQTextQ textQ;
  CFakeSerialDevice* dev = nullptr;
  std::unique_ptr<CBssComm> comm;
  std::vector<unsigned> pauses;
};
