// Symbol visibility of avrecmux: everything is hidden except what carries AVRECMUX_API.
#pragma once

#if defined(AVRECMUX_BUILD)
#define AVRECMUX_API __attribute__((visibility("default")))
#else
#define AVRECMUX_API
#endif
