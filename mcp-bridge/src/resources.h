// Local resource failures: the process or the system has run out of
// descriptors, memory or buffers. They say nothing about the application, so
// a request that meets one is answered at once, and never taken for an
// application that is down.
#pragma once

namespace bridge {

// True for EMFILE, ENFILE, ENOMEM and ENOBUFS.
bool is_resource_error(int error);

}  // namespace bridge
