#pragma once
// Gives each settings test its own temporary folder and the settings path inside it, and puts
// TARVISEL_SETTINGS, XDG_CONFIG_HOME and HOME back as they were afterwards.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

namespace fs = std::filesystem;

class CScopedEnv {
 public:
  explicit CScopedEnv(const char* name) : m_name(name) {
    if (const char* old = std::getenv(name)) m_old = old;
  }
  ~CScopedEnv() {
    if (m_old) {
      ::setenv(m_name, m_old->c_str(), 1);
    } else {
      ::unsetenv(m_name);
    }
  }
  CScopedEnv(const CScopedEnv&) = delete;
  CScopedEnv& operator=(const CScopedEnv&) = delete;

 private:
  const char* m_name;
  std::optional<std::string> m_old;
};

inline void SetEnv(const char* name, const fs::path& value) { ::setenv(name, value.c_str(), 1); }

inline void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Root reads and writes through any permission bits.
inline bool PermissionsApply() { return ::geteuid() != 0; }

class SettingsEnvTest : public ::testing::Test {
 protected:
  SettingsEnvTest() {
    std::string name = (fs::temp_directory_path() / "tarvisel-settings-XXXXXX").string();
    if (::mkdtemp(name.data())) m_folder = name;
    SetEnv("TARVISEL_SETTINGS", Settings());
    ::unsetenv("XDG_CONFIG_HOME");
    SetEnv("HOME", m_folder / "home");
  }
  ~SettingsEnvTest() override {
    std::error_code ec;
    fs::permissions(m_folder, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(m_folder, ec);
  }
  void SetUp() override { ASSERT_FALSE(m_folder.empty()); }

  const fs::path& Folder() const { return m_folder; }
  fs::path Settings() const { return m_folder / "settings"; }

 private:
  CScopedEnv m_settingsEnv{"TARVISEL_SETTINGS"};
  CScopedEnv m_xdgEnv{"XDG_CONFIG_HOME"};
  CScopedEnv m_homeEnv{"HOME"};
  fs::path m_folder;
};
