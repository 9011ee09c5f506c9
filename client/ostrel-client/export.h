#pragma once

// Only the classes of the ostrel namespace are the library's interface; everything else it
// holds is hidden.
#if defined(OSTREL_CLIENT_LIBRARY)
#define OSTREL_CLIENT_EXPORT __attribute__((visibility("default")))
#else
#define OSTREL_CLIENT_EXPORT
#endif
