// Decoding a stored object: msgpack bytes to the Python object they hold,
// built straight from the caller's bytes (a span into the mapped file needs
// no intermediate bytes object).
//
// The results are the package's decoding of record: the values and types
// msgpack-python gives (its unpackb with strict_map_key=False), with an array
// that is a map key, or inside one, built as a tuple so that it hashes. The
// msgpack module is imported only when an ext value is met, for its ExtType
// and Timestamp classes. Call with the interpreter attached (the GIL held on
// builds that have one); each call keeps its state to itself.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

namespace tarn::fast {

// The object held in `payload`. New reference, or null with an exception
// set: tarndb.errors.TarnCorruptError when the bytes are not one valid
// msgpack value,
//   "object of key {key!r} is not valid msgpack: {detail}"
// (`key` is the caller's key object; if null: "object is not valid
// msgpack: {detail}"), or whatever the interpreter raised (MemoryError).
// The decoding may run Python code (the first import of msgpack, its
// ExtType and Timestamp classes, the hashing of map keys): `payload` must
// stay mapped across the call however that code uses the reader.
PyObject* decode_object(std::span<const uint8_t> payload, PyObject* key);

// None when `payload` is exactly what decode_object decodes; otherwise
// ValueError, "payload is not valid msgpack: {detail}" or "payload is not
// one msgpack value: N bytes after the first" (writers match these). So a
// writer stores no payload a reader would refuse: the same walk decides.
PyObject* check_payload(std::span<const uint8_t> payload);

}  // namespace tarn::fast
