#pragma once
// The programs the tests run: as built, or the copies the ordinary-user pass of the tests made
// (tests/run_as_ordinary_user.sh names them in TARVISEL_TEST_CLI and TARVISEL_TEST_SIM), since
// another user may not reach the build folder.
#include <cstdlib>
#include <string>

inline std::string CliProgram() {
  const char* copy = std::getenv("TARVISEL_TEST_CLI");
  return copy && *copy ? copy : TARVISEL_CLI_PATH;
}
inline std::string SimProgram() {
  const char* copy = std::getenv("TARVISEL_TEST_SIM");
  return copy && *copy ? copy : TARVISEL_SIM_PATH;
}
