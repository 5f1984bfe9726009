// Seccomp-based system call faults; see the header.
#include "syscall_faults.h"

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>

#include <cstddef>

namespace testing_support {

bool InstallSyscallFaults(const std::vector<SyscallFault>& faults) {
  std::vector<sock_filter> program;
  auto emit = [&](sock_filter instruction) { program.push_back(instruction); };
  emit(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)));
  emit(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0));
  emit(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  for (const SyscallFault& fault : faults) {
    const bool conditional = fault.argument >= 0;
    emit(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
    const std::uint8_t skip_to_next = conditional ? 4 : 1;
    emit(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(fault.number), 0,
                  skip_to_next));
    if (conditional) {
      emit(BPF_STMT(BPF_LD | BPF_W | BPF_ABS,
                    static_cast<std::uint32_t>(offsetof(seccomp_data, args) + 8 * fault.argument)));
      emit(BPF_STMT(BPF_ALU | BPF_AND | BPF_K, fault.mask));
      emit(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, fault.value, 0, 1));
    }
    const std::uint32_t action =
        fault.kill ? SECCOMP_RET_KILL_PROCESS
                   : SECCOMP_RET_ERRNO | (static_cast<std::uint32_t>(fault.error) & SECCOMP_RET_DATA);
    emit(BPF_STMT(BPF_RET | BPF_K, action));
  }
  emit(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  const sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}

}  // namespace testing_support
