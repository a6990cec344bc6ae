// Symbol visibility for the host SDK: everything is hidden unless marked.
#pragma once

#define KY_EXPORT __attribute__((visibility("default")))

#if defined(__GNUC__)
#define KY_UNLIKELY(x) __builtin_expect(!!(x), 0)
#else
#define KY_UNLIKELY(x) (x)
#endif
