// _TarnWriter: the binding of WriterCore.
#include <Python.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <optional>
#include <string>

#include "classes.h"
#include "convert.h"
#include "core/writer.h"
#include "errors.h"
#include "frame.h"

namespace tarn::py {
namespace {

using Writer = Instance<WriterCore>;

WriterCore& core(void* p) { return *static_cast<WriterCore*>(p); }

// The summary line of a successful build: "✅  {path}  —  {n} objects · {k}
// keys · {kib} KB\n", the size being that of the file now at the target (0
// when it cannot be read). Callers match the line byte for byte.
std::string summary_line(const std::string& path, const BuildReport& report) {
  struct stat st;
  const double kib = ::stat(path.c_str(), &st) == 0 ? double(st.st_size) * 0.0009765625 : 0.0;
  char text[64];
  // to_chars rounds the exact binary value, ties to even: 0.25 KiB prints 0.2.
  auto res = std::to_chars(text, text + sizeof text, kib, std::chars_format::fixed, 1);
  std::string line = "\u2705  " + path + "  \u2014  " + std::to_string(report.objects) + " objects \u00b7 " +
                     std::to_string(report.keys) + " keys \u00b7 ";
  line.append(text, res.ptr);
  line += " KB\n";
  return line;
}

// Writes the line straight to descriptor 1, not through sys.stdout. Returns
// the panic text when the write fails for any reason but a closed descriptor.
std::optional<std::string> print_summary(const std::string& line) {
  const char* p = line.data();
  size_t n = line.size();
  while (n > 0) {
    ssize_t w = ::write(1, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno == EBADF) return std::nullopt;  // no standard output: the line is dropped
    if (w < 0) return "failed printing to stdout: " + os_error_text(errno);
    if (w == 0) return std::string("failed printing to stdout: failed to write whole buffer");
    p += w;
    n -= size_t(w);
  }
  return std::nullopt;
}

PyObject* add_object_raw(PyObject*, void* self, PyObject* const* args) {
  std::span<const uint8_t> raw;
  if (!convert_raw_bytes(args[0], "raw_bytes", &raw)) return nullptr;
  auto id = core(self).add_object(raw);
  if (!id) return raise_core_error(id.error());
  return PyLong_FromUnsignedLongLong(*id);
}

PyObject* add_key(PyObject*, void* self, PyObject* const* args) {
  uint64_t obj_id;
  if (!convert_obj_id(args[1], "obj_id", &obj_id)) return nullptr;
  KeyArg key;
  if (!extract_key(args[0], &key)) return nullptr;
  if (auto r = core(self).add_key(key.bytes(), obj_id); !r) return raise_core_error(r.error());
  Py_RETURN_NONE;
}

PyObject* build(PyObject*, void* self, PyObject* const* args) {
  std::string path;
  if (!convert_path(args[0], "path", &path)) return nullptr;
  // A failed build's temporary file stays for the next build to the same
  // target to reuse, and the file carries nothing but the fixed layout.
  const SinkOptions options{SinkOptions::Leftover::kKeep, false};
  auto report = core(self).build(path, options);
  if (!report) return raise_core_error(report.error());
  if (auto failure = print_summary(summary_line(path, *report))) return raise_panic(*failure);
  Py_RETURN_NONE;
}

constexpr Signature kAddObjectSig{"_TarnWriter.add_object_raw()", {"raw_bytes"}, 1, 1};
constexpr Signature kAddKeySig{"_TarnWriter.add_key()", {"key", "obj_id"}, 2, 2};
constexpr Signature kBuildSig{"_TarnWriter.build()", {"path"}, 1, 1};
constexpr Signature kNewSig{"_TarnWriter.__new__()", {}, 0, 0};

constexpr MethodSpec kMethods[] = {
    {"add_object_raw",
     "add_object_raw($self, raw_bytes)\n--\n\nStore pre-encoded *raw_bytes* (msgpack). Returns the object ID.",
     &kAddObjectSig, BorrowKind::kExclusive, add_object_raw},
    {"add_key", "add_key($self, key, obj_id)\n--\n\nMap *key* (str or bytes) to *obj_id*.", &kAddKeySig,
     BorrowKind::kExclusive, add_key},
    {"build", "build($self, path)\n--\n\nAtomically write the `.tndb` file: tmp \u2192 fsync \u2192 rename.",
     &kBuildSig, BorrowKind::kShared, build},
};

constexpr ClassInfo kClass{"_TarnWriter", writer_type, counter_of<WriterCore>, core_of<WriterCore>, Calls::kOneAtATime};

PyObject* construct(PyTypeObject* type, PyObject* const*) {
  WriterCore fresh;
  return new_instance(type, std::move(fresh));
}

PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return run_ctor(kNewSig, construct, type, args, kwargs);
}

PyObject* repr_impl(void* self) {
  const WriterCore& w = core(self);
  return PyUnicode_FromFormat("_TarnWriter(objects=%llu, keys=%llu)", (unsigned long long)w.object_count(),
                              (unsigned long long)w.key_count());
}

PyObject* tp_repr(PyObject* self) { return run_repr(kClass, repr_impl, self); }

using Defs = MethodDefs<kClass, kMethods, std::size(kMethods)>;

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tp_new)},
    {Py_tp_repr, reinterpret_cast<void*>(tp_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<WriterCore>)},
    {Py_tp_doc, const_cast<char*>("_TarnWriter()\n--\n\nLow-level writer \u2014 accepts pre-serialised msgpack bytes "
                                  "per object.\n**Use `tarndb.TarnWriter` (Python wrapper) instead of this "
                                  "directly.**")},
    {Py_tp_methods, Defs::defs.data()},
    {0, nullptr},
};

PyType_Spec kSpec{"builtins._TarnWriter", int(sizeof(Writer)), 0, Py_TPFLAGS_DEFAULT, kSlots};

OnceType g_type(&kSpec);

}  // namespace

PyTypeObject* writer_type() { return g_type.get(); }

}  // namespace tarn::py
