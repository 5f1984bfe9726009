// Running the tessvane executable from tests.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace testing_support {

struct ProcessResult {
  int exit_code = -1;    // -1 when the process was killed by a signal
  int signal = 0;        // the signal that ended it, or 0
  std::string output;    // standard output
  std::string errors;    // standard error
};

struct ProcessOptions {
  std::string input{};                // standard input, then end of input
  bool close_input = false;           // start with standard input closed
  bool close_output = false;          // standard output is a pipe closed at once
  std::function<void()> in_child{};   // runs in the child before exec
};

// Runs program with arguments and waits for it.
ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const ProcessOptions& options = {});

// Runs the tessvane executable under test.
ProcessResult RunTessvane(const std::vector<std::string>& arguments,
                          const ProcessOptions& options = {});

}  // namespace testing_support
