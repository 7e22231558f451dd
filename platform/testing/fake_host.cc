#include "platform/testing/fake_host.h"

#include <sys/stat.h>

namespace platform::testing {

FakeHost::FakeHost() : paths_(root_.path()) {
  for (const char* dir : {"/tmp", "/var", "/var/log", "/dev", "/Volumes", "/System",
                          "/System/Library", "/System/Library/Extensions"}) {
    ::mkdir(paths_.Resolve(dir).c_str(), 0755);
  }
  previous_ = InstallHost(this);
}

FakeHost::~FakeHost() { InstallHost(previous_); }

}  // namespace platform::testing
