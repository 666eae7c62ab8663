// Test-only plug-ins for the loader's edge cases, one library per variant,
// chosen by a compile definition. Each variant's pub answers 501 so a test can
// tell which transport served a scheme.
#include "zeb/base_transport.h"
#include "zeb/status.h"

namespace {

#if defined(EDGE_DUPLICATE)
// Claims "loop", the scheme of the loopback plug-in.
const char* const kName = "DUPLICATE";
const char* kSchemes[] = {"loop", "dup", nullptr};
#elif defined(EDGE_NINE)
// Nine schemes and no name.
const char* const kName = nullptr;
const char* kSchemes[] = {"s1", "s2", "s3", "s4", "s5", "s6", "s7", "s8", "s9", nullptr};
#elif defined(EDGE_EIGHT)
const char* const kName = "EIGHT";
const char* kSchemes[] = {"e1", "e2", "e3", "e4", "e5", "e6", "e7", "e8", nullptr};
#else
const char* const kName = "EDGE";
const char* kSchemes[] = {"edge", nullptr};
#endif

class EdgeTransport : public zeb::BaseTransport {
 public:
  explicit EdgeTransport(int id) : BaseTransport(id) {}
  const char* get_transport_name() override { return kName; }
  const char** get_schemes() override { return kSchemes; }
  int get_supported_methods() override { return zeb::kMethodPub; }
  int pub(const char*, void*, char*, size_t) override { return zeb::kNotImplemented; }
};

}  // namespace

extern "C" {

zeb::Transport* init_transport(int id, void*) {
#if defined(EDGE_NULL_INIT)
  (void)id;
  return nullptr;
#elif defined(EDGE_BASE)
  return new zeb::BaseTransport(id);
#else
  return new EdgeTransport(id);
#endif
}

#if !defined(EDGE_NO_VERSION)
const char* get_version() {
  return "edge";
}
#endif

#if !defined(EDGE_NO_CLEANUP)
int cleanup_transport(zeb::Transport* transport) {
  delete transport;
  return 1;
}
#endif
}
