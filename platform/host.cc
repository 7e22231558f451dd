#include "platform/host.h"

namespace platform {
namespace {
Host* g_installed = nullptr;
}  // namespace

Host& GetHost() { return g_installed != nullptr ? *g_installed : DefaultHost(); }

Host* InstallHost(Host* host) {
  Host* previous = g_installed;
  g_installed = host;
  return previous;
}

}  // namespace platform
