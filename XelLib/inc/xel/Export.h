// The one export macro: marks a symbol that a shared library built from the runtime exports.
#pragma once

#if defined(_WIN32)
#define XEL_EXPORT __declspec(dllexport)
#elif defined(__GNUC__) || defined(__clang__)
#define XEL_EXPORT __attribute__((visibility("default")))
#else
#define XEL_EXPORT
#endif
