#pragma once
// The application: prepares Qt, runs the main window until it closes, then ends.
class CTarviselApp {
 public:
  // The whole run of the program; returns its exit status.
  int Run(int argc, char** argv);
};
