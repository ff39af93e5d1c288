#pragma once
// --log-dir: each handset's log in a file of its own, named by its device and the time it
// started. Names are one to one: two devices never share a name, and a file that is there
// already (another command's, the same second) is never written to: the next name is taken.
#include <ctime>
#include <string>

#include "platform/UniqueFd.h"

// The device's part of a log name, one to one: the absolute path without its "/dev/" (other
// paths keep their leading "/"), each "/" as "+", letters, digits, ".", "_" and "-" as they are,
// every other byte as %XX. "/dev/serial/by-id/usb-X-port0" -> "serial+by-id+usb-X-port0",
// "/tmp/h 1" -> "+tmp+h%201". A name longer than 200 bytes keeps its first 183 and ends in "~"
// and 16 hex digits of its SHA-256, so that every log name fits in a file name.
std::string LogNameOfDevice(const std::string& device);
// "DIR/serial+by-id+usb-X-port0-20261208-091502.log" for a start at 2026-12-08 09:15:02 (local).
std::string HandsetLogPath(const std::string& dir, const std::string& device, std::time_t start);

// A handset's log file: made for it alone (never one that exists), closed on exec so that no
// other handset's process holds it, one time-stamped line at a time.
class CHandsetLog {
 public:
  // Creates the file of HandsetLogPath, or with "-2", "-3", ... before ".log" when that exists.
  // False with why.
  bool Create(const std::string& dir, const std::string& device, std::time_t start, std::string& error);
  bool IsOpen() const { return m_fd.Valid(); }
  const std::string& Path() const { return m_path; }
  void Line(const std::string& text);
  void Close() { m_fd.Reset(); }

 private:
  CUniqueFd m_fd;
  std::string m_path;
};

// The folder exists, or is made, and a file can be created in it. False with why.
bool LogFolderWritable(const std::string& dir, std::string& error);
