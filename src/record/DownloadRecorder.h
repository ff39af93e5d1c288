#pragma once
// Gathers one download's row of the record from what its front-end knows and what the engine
// reports, and appends it to the history database when the download ends. A database that
// cannot be opened or written costs a warning, never the download.
#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "DeviceFacts.h"
#include "DownloadRecord.h"
#include "EngineEvents.h"

// What a front-end knows of a download as it starts.
struct DownloadStart {
  std::string device;  // as given
  std::string image;   // as given (the row keeps it absolute)
  std::string type;    // DownloadTypeName
  std::optional<int> speed;
  bool countsResends = true;  // false: the engine's resends are not seen (a station's crashed handset)
  std::string unit = {};      // the handset's identity; empty: none
  std::string station = {};   // the station's name; empty: the host name
};

class CDownloadRecorder {
 public:
  using Warn = std::function<void(const std::string& text)>;
  using SteadyTime = std::chrono::steady_clock::time_point;

  // path: the database; empty records nothing. facts: for the adapter's serial number and
  // by-id name; may be null.
  CDownloadRecorder(std::string path, Warn warn, CDeviceFacts* facts = nullptr);

  // The download started at began (now by default): the image's size and digest and the
  // device's tty and adapter are taken now.
  void Begin(const DownloadStart& start, SteadyTime began = std::chrono::steady_clock::now());
  bool InProgress() const { return m_inProgress; }
  // What the engine reports; kept for the row of the download in progress (an image opened
  // before it started is the window's way).
  void Image(const ImageInfo& image);
  void Phone(const PhoneInfo& info);
  void Resend();
  // The download ended with outcome (the names of --json's "finished") and the exit status
  // tarvisel-cli gives it: its row is appended. False when it is not (a warning said why).
  bool Finish(const std::string& outcome, int exitStatus);

  const DownloadRecord& Row() const { return m_row; }

 private:
  std::string m_path;
  Warn m_warn;
  CDeviceFacts* m_facts;
  DownloadRecord m_row;
  std::optional<ImageInfo> m_image;
  std::string m_imagePath;  // as given: the engine reports it so
  SteadyTime m_began{};
  bool m_inProgress = false;
};

// This program's version, for the record.
const char* ToolVersion();
// A random (version 4) UUID, lower-case: the key of a download in every record.
std::string NewUuid();
// This machine's name, the station's name unless another is given.
std::string HostName();
