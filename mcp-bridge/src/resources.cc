#include "resources.h"

#include <cerrno>

namespace bridge {

bool is_resource_error(int error) {
  return error == EMFILE || error == ENFILE || error == ENOMEM || error == ENOBUFS;
}

}  // namespace bridge
