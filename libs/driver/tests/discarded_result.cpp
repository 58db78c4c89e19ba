// Never built with the rest: a build test compiles it and expects the compiler to refuse it,
// because an error the caller drops is an error nobody handles.
#include "zel_driver/device.hpp"

void drops_an_error(const zel_driver::Device& device) {
#ifdef ZEL_WRITTEN_AS_SUCH
  static_cast<void>(device.write_config(0x2000, 1));
#else
  device.write_config(0x2000, 1);
#endif
}
