// A program for the authority's end-to-end test: takes the authorisation its parent
// passed on standard input and exits 0 when the machine accepted it, 3 otherwise.
#include "platform/host.h"

int main() {
  platform::AuthorizationExternalForm form{};
  return platform::GetHost().authority().CopyPrivilegedReference(&form) == 0 ? 0 : 3;
}
