// numpy arrays stored as one msgpack extension value, decoded natively.
//
// The writer (tarndb._codec.pack_array) stores an array as ext type
// kArrayExt whose data is:
//
//   layout u8 (= 1) · dtype length u8 · dtype text (numpy's dtype.str, e.g.
//   "<f4": byte order, kind, item size) · ndim u8 · ndim dimensions, u64
//   big-endian · the items in C order, in the dtype's own byte order
//
// decode_array builds the ndarray with numpy's own constructor and copies
// the items into it once; the array owns its memory. numpy is imported on
// the first array met. Without numpy, or for data that is not such an
// array (another layout, another program's use of the code), the caller
// keeps the plain ExtType. Call with the interpreter attached; the dtype
// cache is a dict, safe on builds without the GIL too.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

namespace tarn::fast {

inline constexpr int8_t kArrayExt = 78;

// The ndarray held in `data` (a new reference); null with an exception set
// on an interpreter failure (MemoryError); null with *fallback set and no
// exception when the value should stay an ExtType.
PyObject* decode_array(std::span<const uint8_t> data, bool* fallback);

}  // namespace tarn::fast
