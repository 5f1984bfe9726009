// Fault injection for child processes: a seccomp filter that makes chosen
// system calls fail with a chosen errno, to test what the tool does when
// the system refuses something real file systems here never refuse, or
// kills the process at a chosen call, to stop a run at an exact step.
#pragma once

#include <cstdint>
#include <vector>

namespace testing_support {

struct SyscallFault {
  long number;                 // the system call, e.g. SYS_fsync
  int error;                   // the errno it fails with
  int argument = -1;           // when >= 0: fail only if this argument...
  std::uint32_t mask = 0;      // ...masked with mask...
  std::uint32_t value = 0;     // ...equals value (low 32 bits)
  bool kill = false;           // kill the process at the call instead
};

// Installs the faults for this process and its exec'd program; returns
// false if the kernel refuses the filter.  Call in a child before exec.
bool InstallSyscallFaults(const std::vector<SyscallFault>& faults);

}  // namespace testing_support
