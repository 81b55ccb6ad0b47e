#pragma once
// Takes from this thread what lets root write into any folder, so that a folder's
// permissions count as they do for a user.

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace sim {

class WithoutFileOverride {
 public:
  WithoutFileOverride() {
    ::syscall(SYS_capget, &header_, saved_);
    __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
    reduced[0].effective &= ~(1u << CAP_DAC_OVERRIDE);
    ::syscall(SYS_capset, &header_, reduced);
  }
  ~WithoutFileOverride() { ::syscall(SYS_capset, &header_, saved_); }
  WithoutFileOverride(const WithoutFileOverride&) = delete;
  WithoutFileOverride& operator=(const WithoutFileOverride&) = delete;

 private:
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct saved_[2] = {};
};

}  // namespace sim
