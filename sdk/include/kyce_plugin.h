/* The interface between libkyce and a plug-in of customized ops.
 *
 * A plug-in is a shared library that exports one C function,
 *     const kycePluginTable* kycePluginEntry(void);
 * returning a table that stays valid while the library is loaded.
 * kyceLoadCustomizedOps opens the library (dlopen, RTLD_NOW | RTLD_LOCAL),
 * calls the entry once and copies the op names; the library stays loaded
 * while its info or any op created from it lives.
 *
 * Every function returns 0 for success; any other value is the plug-in's
 * own code, which libkyce writes to the runtime log and reports to its
 * caller as kyceER_PLUGIN_FAILED. Calls on one instance never overlap (the
 * library serialises them); calls on different instances may run at once.
 * A plug-in must not let a C++ exception leave these functions.
 *
 * This header also gives the layout of the example configuration that the
 * Python module's setCustomizedOpConfigExample passes (kyceCustomCfgExample)
 * and the callback table of setCustomizedOpCfgCallbackExample. */
#ifndef KYCE_PLUGIN_H
#define KYCE_PLUGIN_H

#include "ky_api.h"

KY_BEGIN_DECLS

#define KYCE_PLUGIN_ABI_VERSION 1
#define KYCE_PLUGIN_ENTRY "kycePluginEntry"

/* One slot of a configuration callback table. The op knows the real
 * signature of each slot and casts it back before calling it. */
typedef void (*kycePluginCallback)(void);

typedef struct kycePluginTable {
  uint32_t abi_version; /* KYCE_PLUGIN_ABI_VERSION */
  uint32_t op_count;    /* 1 or more */
  /* op_count distinct, non-empty names, each shorter than OPNAME_MAX_LEN
   * (256) bytes with its terminator. */
  const char* const* op_names;
  /* Makes a new instance of the op called `name` (one of op_names). */
  int32_t (*create)(const char* name, void** instance);
  /* A configuration block of `size` bytes. The block is the library's copy,
   * valid only during the call. Null when the plug-in takes no blocks. */
  int32_t (*configure)(void* instance, const void* block, uint32_t size);
  /* A table of `count` callbacks (the caller's table without its closing
   * null). The callbacks, and whatever they return, are valid only during
   * the call: the op calls them here and copies what it keeps. Null when
   * the plug-in takes no callbacks. */
  int32_t (*configure_callbacks)(void* instance, const kycePluginCallback* callbacks, uint32_t count);
  /* Runs the op from `input` to `output`: host views of the device memory
   * the caller named, each from its address to the end of its block, so an
   * op must check that its picture fits. The input never overlaps the
   * output (the library hands over a copy when the caller's did). */
  int32_t (*execute)(void* instance, const uint8_t* input, uint64_t input_size, uint8_t* output, uint64_t output_size);
  /* Releases an instance; called exactly once for each created one. */
  void (*destroy)(void* instance);
} kycePluginTable;

typedef const kycePluginTable* (*kycePluginEntryFunction)(void);

/* The example configuration: an NV12 picture's shape (height before width,
 * pitches in pixels) and the 36-byte block built from the input shape, the
 * one output shape and a 32-bit float factor. */
typedef struct yuvNv12Shape {
  int32_t height;
  int32_t width;
  int32_t h_pitch;
  int32_t w_pitch;
} yuvNv12Shape;

typedef struct kyceCustomCfgExample {
  yuvNv12Shape iimage_shape;
  yuvNv12Shape oimage_shape;
  float scale;
} kyceCustomCfgExample;

/* The example callback table: six slots and a closing null.
 *   1 int32_t (*)(void)              number of inputs
 *   2 const int64_t* (*)(int32_t i)  shape of input i
 *   3 int32_t (*)(void)              number of outputs
 *   4 const int64_t* (*)(int32_t i)  shape of output i
 *   5 int32_t (*)(void)              horizontal factor, in per cent
 *   6 int32_t (*)(void)              vertical factor, in per cent
 * A shape is eight 64-bit values: the number of dimensions, then the
 * dimensions (N, C, H, W for a picture), unused ones 0. */
#define KYCE_EXAMPLE_CALLBACK_SLOTS 6
#define KYCE_EXAMPLE_SHAPE_VALUES 8
typedef int32_t (*kyceExampleCountCallback)(void);
typedef const int64_t* (*kyceExampleShapeCallback)(int32_t index);

KY_END_DECLS

#endif /* KYCE_PLUGIN_H */
